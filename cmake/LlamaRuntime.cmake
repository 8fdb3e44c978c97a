# Local-model runtime: stages llama-server, its shared libraries and
# runtime-config.json into the build tree, installs the same layout, generates
# the tiny test model and exposes libllama as ulvo::llama.
#
# Include after project(). Input: ULVO_LLAMA_PREFIX, the path printed by
# scripts/build-llama-runtime.
#
# Layout (build tree and install prefix alike, so the app finds its runtime
# relative to its own executable in both):
#   bin/ulvo-install-model
#   lib/ulvo/runtime/llama-server
#   lib/ulvo/runtime/lib/<machine>/lib*.so*   (CPU backends: libggml-cpu-<level>.so)
#   lib/ulvo/runtime/lib/<machine>/vulkan/libggml-vulkan.so  (when built; loaded only to use a GPU)
#   lib/ulvo/runtime/models/            (empty: a user installs a model)
#   lib/ulvo/runtime/runtime-config.json
#
# Outputs for the including project:
#   ULVO_RUNTIME_STAGE_DIR   <build>/lib/ulvo/runtime
#   ULVO_RUNTIME_MACHINE     lib/ subdirectory name (uname -m)
#   ULVO_RUNTIME_LIB_DIR     <stage>/lib/<machine>
#   ULVO_LLAMA_SERVER_BIN    staged llama-server
#   ULVO_TEST_MODEL          <build>/test-models/ulvo-test.gguf
#   ULVO_TEST_PYTHON         interpreter for the Python test tools
#   targets: ulvo_runtime, ulvo_test_model (both in ALL), ulvo::llama
#   ulvo_link_llama(<target>): links ulvo::llama and sets the RPATH.
#
# The same file also runs in script mode (ULVO_RT_ACTION set) to do the
# build-time staging.

# --- script mode --------------------------------------------------------------

if(DEFINED ULVO_RT_ACTION)
  # Script mode starts with every policy unset (IN_LIST needs CMP0057).
  cmake_policy(VERSION 3.20)
  if(ULVO_RT_ACTION STREQUAL "stage")
    # Inputs: PREFIX STAGE MACHINE CONFIG CATALOGUE
    set(libdir "${STAGE}/lib/${MACHINE}")
    file(MAKE_DIRECTORY "${libdir}" "${STAGE}/models")
    # file(COPY) keeps symlinks and skips files whose timestamp is unchanged.
    file(COPY "${PREFIX}/bin/llama-server" DESTINATION "${STAGE}")
    file(GLOB libs LIST_DIRECTORIES false RELATIVE "${PREFIX}/lib" "${PREFIX}/lib/lib*.so*")
    file(GLOB staged LIST_DIRECTORIES false RELATIVE "${libdir}" "${libdir}/*")
    foreach(name IN LISTS staged)
      if(NOT name IN_LIST libs)
        # Left over from another llama.cpp build; would shadow nothing but confuse ldd.
        file(REMOVE "${libdir}/${name}")
      endif()
    endforeach()
    list(TRANSFORM libs PREPEND "${PREFIX}/lib/")
    file(COPY ${libs} DESTINATION "${libdir}")
    if(EXISTS "${PREFIX}/lib/vulkan")
      file(COPY "${PREFIX}/lib/vulkan" DESTINATION "${libdir}")
    else()
      file(REMOVE_RECURSE "${libdir}/vulkan")
    endif()
    # The server's key is each user's own (created on first use), never part of the runtime.
    file(COPY "${CATALOGUE}" "${CONFIG}" DESTINATION "${STAGE}")
  else()
    message(FATAL_ERROR "unknown ULVO_RT_ACTION '${ULVO_RT_ACTION}'")
  endif()
  return()
endif()

# --- project mode -------------------------------------------------------------

include_guard(GLOBAL)

set(ULVO_LLAMA_PREFIX "" CACHE PATH "llama runtime prefix printed by scripts/build-llama-runtime")
set(ULVO_TEST_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python with numpy/yaml/tqdm (Debian's) for the test model and tool tests")

if(ULVO_LLAMA_PREFIX STREQUAL "" OR NOT EXISTS "${ULVO_LLAMA_PREFIX}/.complete")
  message(FATAL_ERROR
    "ULVO_LLAMA_PREFIX is not set or is not a complete llama runtime ('${ULVO_LLAMA_PREFIX}').\n"
    "Run scripts/setup, or run scripts/build-llama-runtime and configure with "
    "-DULVO_LLAMA_PREFIX=<the path it prints on its last line>.")
endif()
foreach(required bin/llama-server lib/libllama.so lib/libggml.so lib/libggml-base.so
                 lib/libggml-cpu-x64.so include/llama.h include/ggml.h src/gguf-py/gguf
                 src/models/ggml-vocab-phi-3.gguf)
  if(NOT EXISTS "${ULVO_LLAMA_PREFIX}/${required}")
    message(FATAL_ERROR "llama runtime ${ULVO_LLAMA_PREFIX} lacks ${required}; "
                        "rerun scripts/build-llama-runtime (delete that directory first if it persists)")
  endif()
endforeach()

set(ULVO_RUNTIME_MACHINE "${CMAKE_SYSTEM_PROCESSOR}")
file(STRINGS "${ULVO_LLAMA_PREFIX}/BUILD-INFO" _ulvo_built_for REGEX "^machine=")
if(_ulvo_built_for AND NOT _ulvo_built_for STREQUAL "machine=${ULVO_RUNTIME_MACHINE}")
  message(FATAL_ERROR "llama runtime ${ULVO_LLAMA_PREFIX} was built for ${_ulvo_built_for}, "
                      "this build targets ${ULVO_RUNTIME_MACHINE}")
endif()

set(_ulvo_rt_rel ${ULVO_RUNTIME_RELATIVE_DIR})
set(ULVO_RUNTIME_LIB_DIR "${ULVO_RUNTIME_STAGE_DIR}/lib/${ULVO_RUNTIME_MACHINE}")
set(ULVO_LLAMA_SERVER_BIN "${ULVO_RUNTIME_STAGE_DIR}/llama-server")
set(ULVO_TEST_MODEL "${CMAKE_BINARY_DIR}/test-models/ulvo-test.gguf")

get_filename_component(_ulvo_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_ulvo_rt_config "${_ulvo_repo}/runtime/runtime-config.json")
set(_ulvo_rt_catalogue "${_ulvo_repo}/runtime/models.json")
set(_ulvo_rt_make_model "${_ulvo_repo}/scripts/make-test-model.py")

# Always runs; the copy is timestamp-checked, so a no-op rebuild costs ~10 ms.
add_custom_target(ulvo_runtime ALL
  COMMAND "${CMAKE_COMMAND}"
          -DULVO_RT_ACTION=stage
          "-DPREFIX=${ULVO_LLAMA_PREFIX}"
          "-DSTAGE=${ULVO_RUNTIME_STAGE_DIR}"
          "-DMACHINE=${ULVO_RUNTIME_MACHINE}"
          "-DCONFIG=${_ulvo_rt_config}"
          "-DCATALOGUE=${_ulvo_rt_catalogue}"
          -P "${CMAKE_CURRENT_LIST_FILE}"
  BYPRODUCTS "${ULVO_LLAMA_SERVER_BIN}" "${ULVO_RUNTIME_STAGE_DIR}/runtime-config.json"
             "${ULVO_RUNTIME_STAGE_DIR}/models.json"
  COMMENT "Staging llama runtime in ${ULVO_RUNTIME_STAGE_DIR}"
  VERBATIM)

# Kept out of the runtime's models/ on purpose: a fresh runtime has no model.
add_custom_command(
  OUTPUT "${ULVO_TEST_MODEL}"
  COMMAND "${ULVO_TEST_PYTHON}" "${_ulvo_rt_make_model}"
          --llama-src "${ULVO_LLAMA_PREFIX}/src" --out "${ULVO_TEST_MODEL}"
  DEPENDS "${_ulvo_rt_make_model}" "${ULVO_LLAMA_PREFIX}/.complete"
  COMMENT "Generating test model ${ULVO_TEST_MODEL}"
  VERBATIM)
add_custom_target(ulvo_test_model ALL DEPENDS "${ULVO_TEST_MODEL}")

# libllama for in-process use. Links against the prefix copy; at run time the
# SONAMEs resolve through the RPATH to the runtime's copy. The CPU backend is
# not a link dependency (GGML_BACKEND_DL): call
# ggml_backend_load_all_from_path("<runtime>/lib/<machine>"), which picks the
# best CPU variant there.
if(NOT TARGET ulvo::llama)
  foreach(_lib ggml-base ggml)
    add_library(ulvo::${_lib} SHARED IMPORTED GLOBAL)
    set_target_properties(ulvo::${_lib} PROPERTIES
      IMPORTED_LOCATION "${ULVO_LLAMA_PREFIX}/lib/lib${_lib}.so"
      INTERFACE_INCLUDE_DIRECTORIES "${ULVO_LLAMA_PREFIX}/include")
  endforeach()
  set_target_properties(ulvo::ggml PROPERTIES INTERFACE_LINK_LIBRARIES ulvo::ggml-base)
  add_library(ulvo::llama SHARED IMPORTED GLOBAL)
  set_target_properties(ulvo::llama PROPERTIES
    IMPORTED_LOCATION "${ULVO_LLAMA_PREFIX}/lib/libllama.so"
    INTERFACE_INCLUDE_DIRECTORIES "${ULVO_LLAMA_PREFIX}/include"
    INTERFACE_LINK_LIBRARIES "ulvo::ggml;ulvo::ggml-base")
endif()

# For an executable installed in bin/: finds the runtime's libraries in the
# build tree and when installed, since both share the layout.
function(ulvo_link_llama target)
  target_link_libraries(${target} PRIVATE ulvo::llama)
  set(rpath "\$ORIGIN/../${_ulvo_rt_rel}/lib/${ULVO_RUNTIME_MACHINE}")
  # The build tree has the install layout, so one RPATH serves both and no
  # absolute path into the llama cache ends up in the binary.
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}" BUILD_WITH_INSTALL_RPATH ON)
  add_dependencies(${target} ulvo_runtime)
endfunction()

# --- install ------------------------------------------------------------------

install(PROGRAMS "${ULVO_LLAMA_PREFIX}/bin/llama-server" DESTINATION "${_ulvo_rt_rel}")
# Shared libraries are not programs: mode 0644.
install(DIRECTORY "${ULVO_LLAMA_PREFIX}/lib/" DESTINATION "${_ulvo_rt_rel}/lib/${ULVO_RUNTIME_MACHINE}"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES_MATCHING PATTERN "lib*.so*")
install(DIRECTORY DESTINATION "${_ulvo_rt_rel}/models")
install(FILES "${_ulvo_rt_catalogue}" "${_ulvo_rt_config}" DESTINATION "${_ulvo_rt_rel}")
