# Script mode: stages one packaging of the extension.
# Inputs: SRC (this directory), OUT (directory to fill), FLAVOR (chromium|firefox), TEST (ON adds the
# test hook for pages on 127.0.0.1), XPI (optional: zip the result to this file).
cmake_policy(VERSION 3.20)
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
file(COPY "${SRC}/src/background.js" "${SRC}/src/content.js" DESTINATION "${OUT}")
file(READ "${SRC}/${FLAVOR}/manifest.json" manifest)
set(files manifest.json background.js content.js)
if(TEST)
  string(JSON manifest SET "${manifest}" content_scripts
         [[ [{"matches": ["http://127.0.0.1/*"], "js": ["content.js", "hook.js"], "run_at": "document_idle"}] ]])
  string(JSON manifest SET "${manifest}" host_permissions [[ ["http://127.0.0.1/*"] ]])
  file(COPY "${SRC}/test/hook.js" DESTINATION "${OUT}")
  list(APPEND files hook.js)
endif()
file(WRITE "${OUT}/manifest.json" "${manifest}\n")
if(XPI)
  file(REMOVE "${XPI}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${XPI}" --format=zip ${files}
                  WORKING_DIRECTORY "${OUT}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not zip ${OUT} into ${XPI}")
  endif()
endif()
