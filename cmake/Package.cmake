# Desktop integration and the Debian package (scripts/package builds it with CPack).
# The build tree stages the same files under share/, so it mirrors the installed prefix.

set(_ulvo_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_ulvo_icon ${PROJECT_SOURCE_DIR}/platform/linux/x11/icons/com.zvk.ULVO.svg)
find_program(ULVO_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(ULVO_GZIP gzip REQUIRED)

# hicolor icons: the SVG and PNGs rendered from it.
set(_ulvo_icon_outputs ${CMAKE_BINARY_DIR}/share/icons/hicolor/scalable/apps/com.zvk.ULVO.svg)
set(_ulvo_icon_commands
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/share/icons/hicolor/scalable/apps
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_ulvo_icon} ${CMAKE_BINARY_DIR}/share/icons/hicolor/scalable/apps/)
foreach(size 16 24 32 48 64 128 256 512)
    set(_dir ${CMAKE_BINARY_DIR}/share/icons/hicolor/${size}x${size}/apps)
    list(APPEND _ulvo_icon_outputs ${_dir}/com.zvk.ULVO.png)
    list(APPEND _ulvo_icon_commands
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
        COMMAND ${ULVO_RSVG_CONVERT} -w ${size} -h ${size} -o ${_dir}/com.zvk.ULVO.png ${_ulvo_icon})
endforeach()
add_custom_command(OUTPUT ${_ulvo_icon_outputs} ${_ulvo_icon_commands} DEPENDS ${_ulvo_icon}
    COMMENT "Rendering the hicolor icons" VERBATIM)

# Manual pages and the changelog compressed as Debian wants them (gzip -9n: no name, no time stamp).
set(_ulvo_docs)
foreach(page ulvo ulvo-app ulvo-install-model ulvo-foundation-runtime ulvo-runtime-host)
    set(_out ${CMAKE_BINARY_DIR}/share/man/man1/${page}.1.gz)
    add_custom_command(OUTPUT ${_out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/share/man/man1
        COMMAND sh -c "${ULVO_GZIP} -9n -c '${_ulvo_packaging}/${page}.1' > '${_out}'"
        DEPENDS ${_ulvo_packaging}/${page}.1 VERBATIM)
    list(APPEND _ulvo_docs ${_out})
endforeach()
set(_ulvo_changelog ${CMAKE_BINARY_DIR}/share/doc/ulvo/changelog.gz)
add_custom_command(OUTPUT ${_ulvo_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/share/doc/ulvo
    COMMAND sh -c "${ULVO_GZIP} -9n -c '${_ulvo_packaging}/changelog' > '${_ulvo_changelog}'"
    DEPENDS ${_ulvo_packaging}/changelog VERBATIM)
configure_file(${_ulvo_packaging}/com.zvk.ULVO.desktop ${CMAKE_BINARY_DIR}/share/applications/com.zvk.ULVO.desktop
    COPYONLY)
configure_file(${_ulvo_packaging}/com.zvk.ULVO.metainfo.xml
    ${CMAKE_BINARY_DIR}/share/metainfo/com.zvk.ULVO.metainfo.xml COPYONLY)
configure_file(${_ulvo_packaging}/copyright ${CMAKE_BINARY_DIR}/share/doc/ulvo/copyright COPYONLY)
add_custom_target(ulvo_desktop_files ALL DEPENDS ${_ulvo_icon_outputs} ${_ulvo_docs} ${_ulvo_changelog})

install(DIRECTORY ${CMAKE_BINARY_DIR}/share/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${_ulvo_docs} DESTINATION ${CMAKE_INSTALL_DATADIR}/man/man1)
install(FILES ${_ulvo_changelog} ${_ulvo_packaging}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ulvo)
install(FILES ${_ulvo_packaging}/com.zvk.ULVO.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_ulvo_packaging}/com.zvk.ULVO.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# ulvo_<version>_<arch>.deb for /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ulvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZVK <ulvo@zvk.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
# CPack strips the project's own targets; the runtime's llama.cpp files are stripped here, in the staging
# tree, before they are packed.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/StripRuntime.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zvk.example/ulvo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "explains selected text in plain language")
set(CPACK_PACKAGE_DESCRIPTION "Select text in any application, or frame a region of the screen, and ULVO
shows a short plain-language explanation in a floating card, at a level from
telegraphic fragments to professor depth, with follow-up questions answered
only from the selected text. Answers come from a built-in local model or from
an OpenAI-compatible cloud provider; API keys stay in the desktop keyring.")
# Shared libraries through dpkg-shlibdeps (the runtime's own llama.cpp libraries are private to it),
# and the programs ULVO runs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(DEFINED ULVO_RUNTIME_MACHINE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${ULVO_RUNTIME_STAGE_DIR}/lib/${ULVO_RUNTIME_MACHINE}
        ${ULVO_RUNTIME_STAGE_DIR}/lib/${ULVO_RUNTIME_MACHINE}/vulkan)
endif()
# libvulkan1 for the runtime's GPU backend, which is loaded at run time (so shlibdeps may not see it);
# a Vulkan driver is recommended: without one the model runs on the CPU.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "maim, tesseract-ocr-eng, grim, slurp, libvulkan1")
# libsqlite3-0 and libspeechd2 come through the shared-library dependencies; the speech service itself
# is recommended: without it only read aloud is missing, and Settings says so.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "gnome-keyring | kwalletmanager, xdg-desktop-portal, at-spi2-core, speech-dispatcher, speech-dispatcher-espeak-ng | speech-dispatcher-espeak, mesa-vulkan-drivers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
