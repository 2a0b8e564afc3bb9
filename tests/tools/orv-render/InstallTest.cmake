# Installs Orv into a fresh prefix, then builds the example C host against the
# installed package twice (CMake's find_package(orv) and pkg-config) and runs
# both builds and the installed orv-render, which must find the installed
# library by itself.
#
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=... -DGENERATOR=... -P InstallTest.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

# Runs a command; stops the test with its output when it fails. Its standard
# output is left in RUN_OUTPUT.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

function(expect_in text part what)
  string(FIND "${text}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what}: '${part}' not in:\n${text}")
  endif()
endfunction()

# The hosts are built with the build's own C flags, so that a sanitizer build
# links its runtime into them as it did into the library.
separate_arguments(extraFlags UNIX_COMMAND "${C_FLAGS}")

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
file(GLOB_RECURSE pcFiles ${prefix}/*/orv.pc)
file(GLOB_RECURSE configFiles ${prefix}/*/orvConfig.cmake)
file(GLOB_RECURSE libraries ${prefix}/*/liborv.so)
foreach(found pcFiles configFiles libraries)
  list(LENGTH ${found} n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one installed ${found}, found: ${${found}}")
  endif()
endforeach()
foreach(file include/orv/orv.h bin/orv-render)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
get_filename_component(pcDir ${pcFiles} DIRECTORY)
get_filename_component(libDir ${libraries} DIRECTORY)

# 1. CMake: find_package(orv) and orv::orv.
set(cmakeBuild ${WORK_DIR}/cmake-build)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/host -B ${cmakeBuild} -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}")
run(${CMAKE_COMMAND} --build ${cmakeBuild})
run(${cmakeBuild}/orv-example-host)
expect_in("${RUN_OUTPUT}" "left RMS" "example host built with CMake")

# 2. pkg-config, the way the example's Makefile uses it.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcDir} pkg-config --cflags --libs orv)
string(STRIP "${RUN_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} ${extraFlags} -std=c11 -Wall -Wextra -Werror -o ${WORK_DIR}/host-pkg-config
    ${SOURCE_DIR}/examples/host/main.c ${flags} -lm)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libDir} ${WORK_DIR}/host-pkg-config)
expect_in("${RUN_OUTPUT}" "left RMS" "example host built with pkg-config")
find_program(MAKE_PROGRAM make)
if(MAKE_PROGRAM)
  file(COPY ${SOURCE_DIR}/examples/host/main.c ${SOURCE_DIR}/examples/host/Makefile
       DESTINATION ${WORK_DIR}/make-build)
  run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcDir} CC=${C_COMPILER}
      "CFLAGS=-O2 -Wall -Wextra ${C_FLAGS}" ${MAKE_PROGRAM} -C ${WORK_DIR}/make-build)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libDir} ${WORK_DIR}/make-build/orv-example-host)
endif()

# 3. The installed tool loads the installed library, not the build's.
run(${prefix}/bin/orv-render ${SOURCE_DIR}/examples/scenes/tests_local.json -o ${WORK_DIR}/local.wav)
expect_in("${RUN_OUTPUT}" "Library      ${prefix}/" "installed orv-render")

# The hosts are built with the build's own C flags, so that a sanitizer build
# links its runtime into them as it did into the library.
separate_arguments(extraFlags UNIX_COMMAND "${C_FLAGS}")

file(REMOVE_RECURSE ${WORK_DIR})
