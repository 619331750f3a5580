# cmake -P script: install the build into a fresh prefix, configure and build the
# consumer project against it, and run the consumer. Any failing step fails the test.
foreach(var KESTRUP_BUILD_DIR CONSUMER_SOURCE_DIR WORK_ROOT EXPECT_PLUGIN GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "InstallAndConsume: ${var} is not set")
  endif()
endforeach()

string(RANDOM LENGTH 10 _suffix)
set(work "${WORK_ROOT}/install-consumer-${_suffix}")
set(prefix "${work}/prefix")
set(consumer_build "${work}/build")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")

function(run_step name)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${name} failed (${result}):\n${out}\n${err}")
  endif()
  message(STATUS "${name}: ok\n${out}")
endfunction()

run_step("install" ${CMAKE_COMMAND} --install "${KESTRUP_BUILD_DIR}" --prefix "${prefix}")
run_step("configure consumer" ${CMAKE_COMMAND} -S "${CONSUMER_SOURCE_DIR}" -B "${consumer_build}"
  -G "${GENERATOR}" -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DKESTRUP_EXPECT_PLUGIN=${EXPECT_PLUGIN})
run_step("build consumer" ${CMAKE_COMMAND} --build "${consumer_build}")
# The consumer checks that it runs on the libraries under the prefix.
run_step("run consumer" "${consumer_build}/kestrup_consumer" "${prefix}")

file(REMOVE_RECURSE "${work}")
