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

add_executable(merloxctl tools/merloxctl.cpp)
merlox_target_defaults(merloxctl)
target_compile_definitions(merloxctl PRIVATE MERLOX_WITH_SIMULATOR)
target_link_libraries(merloxctl PRIVATE merlox_host)
add_test(NAME merloxctl_simulate COMMAND merloxctl --simulate list)
set_tests_properties(merloxctl_simulate PROPERTIES PASS_REGULAR_EXPRESSION "card numbers in use: 2")

# The shared library for the language bindings, in the tree without sanitizers.
if(MERLOX_SANITIZER STREQUAL "none")
  include(cmake/Bindings.cmake)
endif()
