# Host build: the library sources against the Win32 stand-in, backed by the
# simulator, with the unit and concurrency tests.
add_library(merlox_core STATIC ${MERLOX_LIBRARY_SOURCES} src/platform/HostWin32.cpp)
merlox_library_target(merlox_core)
target_link_libraries(merlox_core PUBLIC pthread)
# An object library: every program it is linked into gets all of it, so the
# simulator is always the driver behind the seam there.
add_library(merlox_sim_host OBJECT ${MERLOX_SIM_HOST_SOURCES})
merlox_sim_target(merlox_sim_host)

# A host program with the library and the simulated cards behind it.
function(merlox_link_host target)
  target_link_libraries(${target} PRIVATE merlox_sim_host merlox_core)
endfunction()

file(GLOB MERLOX_HOST_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/host/*.cpp)
add_executable(merlox_host_tests ${MERLOX_HOST_TEST_SOURCES})
merlox_internal_target(merlox_host_tests)
merlox_link_host(merlox_host_tests)
target_link_libraries(merlox_host_tests PRIVATE GTest::gtest_main GTest::gmock)
add_test(NAME host_tests COMMAND merlox_host_tests)
set_tests_properties(host_tests PROPERTIES TIMEOUT 900)

set(MERLOX_HEADER_TEST_LIBRARY merlox_sim_host merlox_core)
include(cmake/HeaderTests.cmake)
include(cmake/Tools.cmake)
include(cmake/Examples.cmake)

# The shared library for the language bindings, in the tree without sanitizers.
if(MERLOX_SANITIZER STREQUAL "none")
  include(cmake/Bindings.cmake)
endif()

# The performance benchmark, off by default: scripts/bench.sh turns it on in its
# own Release tree.
option(MERLOX_BENCHMARKS "Build the performance benchmark (merlox_bench)" OFF)
if(MERLOX_BENCHMARKS)
  include(cmake/Benchmarks.cmake)
endif()

# The tables that must cover every operation: unplug at every step, bad input,
# stress and the fuzzer, checked against the export table.
set(MERLOX_OPERATION_TABLES
    ${PROJECT_SOURCE_DIR}/tests/host/UnplugTest.cpp ${PROJECT_SOURCE_DIR}/tests/host/BadInputTest.cpp
    ${PROJECT_SOURCE_DIR}/tests/host/StressTest.cpp
    ${PROJECT_SOURCE_DIR}/tests/fuzz/HostileCardFuzzer.cpp
    ${PROJECT_SOURCE_DIR}/src/exports/VBEntryPoints.cpp)
add_test(NAME operation_coverage
         COMMAND ${CMAKE_COMMAND} -DTABLE=${PROJECT_SOURCE_DIR}/src/exports/ExportTable.txt
                 "-DSOURCES=${MERLOX_OPERATION_TABLES}"
                 -P ${PROJECT_SOURCE_DIR}/tests/common/CheckOperationCoverage.cmake)

# The process's first call, one case per process.
add_executable(merlox_first_call tests/first-call/FirstCall.cpp)
merlox_internal_target(merlox_first_call)
merlox_link_host(merlox_first_call)
foreach(case port_last_error handle_event_action speaker_frequency pwm_high_byte analog_channel
             input_channel timeout_not_a_number)
  add_test(NAME first_call_${case} COMMAND merlox_first_call ${case})
  set_tests_properties(first_call_${case} PROPERTIES PASS_REGULAR_EXPRESSION "first call: ok")
endforeach()
