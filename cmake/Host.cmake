# Host build: the library sources against the Win32 stand-in, backed by the
# simulator, with the unit and concurrency tests.
add_library(merlox_host STATIC ${MERLOX_LIBRARY_SOURCES} ${MERLOX_SIM_SOURCES}
                               src/platform/HostWin32.cpp)
merlox_target_defaults(merlox_host)
target_link_libraries(merlox_host PUBLIC pthread)

file(GLOB MERLOX_HOST_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/host/*.cpp)
add_executable(merlox_host_tests ${MERLOX_HOST_TEST_SOURCES})
merlox_target_defaults(merlox_host_tests)
target_link_libraries(merlox_host_tests PRIVATE merlox_host GTest::gtest_main GTest::gmock)
add_test(NAME host_tests COMMAND merlox_host_tests)
set_tests_properties(host_tests PROPERTIES TIMEOUT 900)

set(MERLOX_HEADER_TEST_LIBRARY merlox_host)
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
