# Installs the build into a fresh prefix, runs the installed programs, then
# configures, builds and runs a consumer project against it through
# find_package, and compiles it once more through pkg-config. Everything
# installed runs in a clean environment (no LD_LIBRARY_PATH), so each must find
# the libraries through its own run path.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

# Runs a program with the loader's search path emptied.
function(run_clean)
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${ARGN})
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(program qel qel-devserver)
  if(EXISTS ${prefix}/bin/${program})
    run_clean(${prefix}/bin/${program} --help)
  endif()
endforeach()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run_clean(${WORK_DIR}/consumer/consumer)

find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CXX NAMES c++ g++ REQUIRED)
file(GLOB pcdir ${prefix}/lib*/pkgconfig)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} ${PKG_CONFIG} --cflags --libs QelAccess
  RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know QelAccess")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} ${PKG_CONFIG} --variable=libdir QelAccess
  OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
run(${CXX} -std=c++17 ${CONSUMER_DIR}/main.cpp ${flags} -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer-pc)
run_clean(${WORK_DIR}/consumer-pc)
