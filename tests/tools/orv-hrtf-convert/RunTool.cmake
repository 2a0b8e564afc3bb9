# Runs orv-hrtf-convert once and checks its exit status, its message and what
# it left at the output path. Used as: cmake -DTOOL=... -DARGS=a|b|c -DEXIT=n
#   [-DMESSAGE=regex] -DOUTPUT=path -DOUTPUT_STATE=absent|unchanged|created
#   [-DCOMPARE_WITH=file] -P RunTool.cmake
# A failing run must report on stderr and leave the output path as it was:
# no file where there was none, the former file intact where there was one,
# and no temporary file beside it.
string(REPLACE "|" ";" args "${ARGS}")
set(sentinel "content from before the run\n")

file(GLOB stale "${OUTPUT}.*")
if(stale)
  file(REMOVE ${stale})
endif()
if(OUTPUT_STATE STREQUAL "unchanged")
  file(WRITE ${OUTPUT} "${sentinel}")
else()
  file(REMOVE ${OUTPUT})
endif()

execute_process(COMMAND ${TOOL} ${args}
  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "exit status ${code}\nstdout:\n${out}\nstderr:\n${err}")

if(NOT code STREQUAL "${EXIT}")
  message(FATAL_ERROR "expected exit status ${EXIT}, got ${code}")
endif()
if(DEFINED MESSAGE)
  if(EXIT EQUAL 0)
    set(where stdout)
    set(text "${out}")
  else()
    set(where stderr)
    set(text "${err}")
  endif()
  if(NOT text MATCHES "${MESSAGE}")
    message(FATAL_ERROR "${where} does not match: ${MESSAGE}")
  endif()
endif()
if(NOT EXIT EQUAL 0 AND NOT out STREQUAL "")
  message(FATAL_ERROR "a failing run printed to stdout")
endif()

if(OUTPUT_STATE STREQUAL "absent")
  if(EXISTS ${OUTPUT})
    message(FATAL_ERROR "${OUTPUT} was written")
  endif()
elseif(OUTPUT_STATE STREQUAL "unchanged")
  file(READ ${OUTPUT} after)
  if(NOT after STREQUAL sentinel)
    message(FATAL_ERROR "${OUTPUT} was changed by a failing run")
  endif()
elseif(OUTPUT_STATE STREQUAL "created")
  if(NOT EXISTS ${OUTPUT})
    message(FATAL_ERROR "${OUTPUT} was not written")
  endif()
else()
  message(FATAL_ERROR "unknown OUTPUT_STATE '${OUTPUT_STATE}'")
endif()
file(GLOB leftovers "${OUTPUT}.*")
if(leftovers)
  message(FATAL_ERROR "temporary files left behind: ${leftovers}")
endif()

if(DEFINED COMPARE_WITH)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT} ${COMPARE_WITH}
    RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "${OUTPUT} differs from ${COMPARE_WITH}")
  endif()
endif()
