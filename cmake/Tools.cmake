# merloxctl, the command-line tool over the library: against the host library with
# the simulator linked in (--simulate), or against MERLOX.dll's import library.
file(GLOB MERLOXCTL_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/merloxctl/*.cpp)
add_executable(merloxctl ${MERLOXCTL_SOURCES})
target_compile_options(merloxctl PRIVATE ${MERLOX_WARNINGS})
target_include_directories(merloxctl PRIVATE ${PROJECT_SOURCE_DIR}/include)

if(WIN32)
  # Only MERLOX.dll and system DLLs beside it: the compiler's runtime is linked in.
  target_link_libraries(merloxctl PRIVATE MERLOX)
  target_link_options(merloxctl PRIVATE -static)
  install(TARGETS merloxctl RUNTIME DESTINATION bin)
  # Without the simulator of its own, --simulate says so and exits 2.
  add_test(NAME merloxctl_windows_simulate COMMAND merloxctl --simulate list)
  set_tests_properties(merloxctl_windows_simulate PROPERTIES
                       PASS_REGULAR_EXPRESSION "--simulate needs the simulator" TIMEOUT 120)
  add_test(NAME merloxctl_windows_bad_card COMMAND merloxctl wdg status 40)
  set_tests_properties(merloxctl_windows_bad_card PROPERTIES
                       PASS_REGULAR_EXPRESSION "card numbers are 0 to 31, -2 or -3 \\(status 1413\\)"
                       TIMEOUT 120)
else()
  find_program(MERLOX_PYTHON NAMES python3 REQUIRED)
  target_compile_definitions(merloxctl PRIVATE MERLOX_WITH_SIMULATOR)
  target_include_directories(merloxctl PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(merloxctl PRIVATE merlox_host)
  # The README's demo, exactly as scripts/setup.sh runs it.
  add_test(NAME merloxctl_simulate COMMAND merloxctl --simulate list)
  set_tests_properties(merloxctl_simulate PROPERTIES
                       PASS_REGULAR_EXPRESSION "card 1: product 0x8081.*watchdog: .*sensors: 31.0 C")
  add_test(NAME merloxctl_commands
           COMMAND ${MERLOX_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/merloxctl_test.py
                   $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxctl_commands PROPERTIES TIMEOUT 300)
endif()
