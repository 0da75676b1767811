# merloxd, the guard that feeds a card's watchdog only while the machine is healthy:
# its configuration and its decision, a library of their own in both builds, tested
# on the host.
file(GLOB MERLOXD_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/merloxd/*.cpp)
add_library(merloxd_guard STATIC ${MERLOXD_SOURCES})
target_compile_options(merloxd_guard PRIVATE ${MERLOX_WARNINGS})
target_include_directories(merloxd_guard PUBLIC ${PROJECT_SOURCE_DIR}/tools/merloxd)
target_link_libraries(merloxd_guard PUBLIC merlox_toml)

if(NOT WIN32)
  file(GLOB MERLOXD_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/merloxd/*.cpp)
  add_executable(merloxd_tests ${MERLOXD_TEST_SOURCES})
  target_compile_options(merloxd_tests PRIVATE ${MERLOX_WARNINGS})
  target_link_libraries(merloxd_tests PRIVATE merloxd_guard GTest::gtest_main GTest::gmock)
  add_test(NAME merloxd_tests COMMAND merloxd_tests)
endif()
