# CPack pre-build script: strips the llama.cpp runtime's programs and libraries in the staging tree.
file(GLOB_RECURSE _ulvo_runtime_files LIST_DIRECTORIES false
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/lib/ulvo/runtime/*")
foreach(_file IN LISTS _ulvo_runtime_files)
    if(IS_SYMLINK "${_file}")
        continue()
    endif()
    file(READ "${_file}" _magic LIMIT 4 HEX)
    if(_magic STREQUAL "7f454c46") # ELF
        execute_process(COMMAND strip --strip-unneeded --remove-section=.comment --remove-section=.note
                                "${_file}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
