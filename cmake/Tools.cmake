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
  # --simulate takes the simulator from MERLOXSIM.dll, built beside merloxctl.exe.
  add_test(NAME merloxctl_windows_simulate COMMAND merloxctl --simulate list)
  set_tests_properties(merloxctl_windows_simulate PROPERTIES
                       PASS_REGULAR_EXPRESSION
                       "card 0: product 0x8080, \"MERLOX-8\", serial 0x0000004D584F0A01\r?\n  watchdog: stopped[^\n]*\n  sensors: 22.5 C, 45.0 % relative humidity\r?\ncard 1: product 0x8081"
                       TIMEOUT 120)
  add_test(NAME merloxctl_windows_simulate_outputs
           COMMAND merloxctl --simulate --json do 1 set 5 1)
  set_tests_properties(merloxctl_windows_simulate_outputs PROPERTIES
                       PASS_REGULAR_EXPRESSION "^\\{\"card\":1,\"outputs\":32\\}" TIMEOUT 120)
  # Watch mode under Wine, ended by SIGINT, which Wine turns into the console's
  # Ctrl+C: the waits are aborted and merloxctl prints its last line and exits 0
  # (timeout passes that exit code on).
  find_program(MERLOX_TIMEOUT NAMES timeout REQUIRED)
  add_test(NAME merloxctl_windows_watch
           COMMAND ${MERLOX_TIMEOUT} --preserve-status -s INT 8 ${CMAKE_CROSSCOMPILING_EMULATOR}
                   $<TARGET_FILE:merloxctl> --simulate --json watch)
  set_tests_properties(merloxctl_windows_watch PROPERTIES
                       PASS_REGULAR_EXPRESSION "\"event\":\"inputs\",\"inputs\":1,.*\\{\"stopped\":true\\}"
                       FAIL_REGULAR_EXPRESSION "\"status\":" TIMEOUT 60)
  add_test(NAME merloxctl_windows_bad_card COMMAND merloxctl wdg status 40)
  set_tests_properties(merloxctl_windows_bad_card PROPERTIES
                       PASS_REGULAR_EXPRESSION "not a selector, or a channel out of range \\(status 1413\\)"
                       TIMEOUT 120)
else()
  find_program(MERLOXCTL_PYTHON NAMES python3 REQUIRED)
  target_compile_definitions(merloxctl PRIVATE MERLOX_WITH_SIMULATOR)
  target_include_directories(merloxctl PRIVATE ${MERLOX_SIM_INCLUDES})
  merlox_link_host(merloxctl)
  # The README's demo, exactly as scripts/setup.sh runs it.
  add_test(NAME merloxctl_simulate COMMAND merloxctl --simulate list)
  set_tests_properties(merloxctl_simulate PROPERTIES
                       PASS_REGULAR_EXPRESSION "card 1: product 0x8081.*watchdog: .*sensors: 31.0 C")
  add_test(NAME merloxctl_commands
           COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/merloxctl_test.py
                   $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxctl_commands PROPERTIES TIMEOUT 300)
endif()
