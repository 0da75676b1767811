# The examples in examples/, one small C program per feature. The host build links
# each with the library and a harness that plugs a simulated card in first, and
# runs it as a test; the Windows build compiles and links them against MERLOX.dll's
# import library, as an application would.
set(MERLOX_EXAMPLES watchdog_keepalive watchdog_events sensor_logging input_changes)
# What each example prints last when all went well.
set(MERLOX_EXAMPLE_PASS_watchdog_keepalive "pet 5\nwatchdog stopped")
set(MERLOX_EXAMPLE_PASS_watchdog_events "the watchdog ran out after about [0-9]+ ms")
set(MERLOX_EXAMPLE_PASS_input_changes
    "inputs changed: 0x01\ninputs changed: 0x00\n.*wait ended: the wait was aborted [(]status 995[)]\nabort: success")
set(MERLOX_EXAMPLE_PASS_sensor_logging "\n4,20[.]18,43[.]6,190[.]741,")

foreach(example IN LISTS MERLOX_EXAMPLES)
  # Any status an example reports is a failure, but for the abort it expects.
  set(fail "[(]status [0-9]+[)]|no card")
  if(example STREQUAL "input_changes")
    set(fail "no card")
  endif()
  set(target example_${example})
  set(source ${PROJECT_SOURCE_DIR}/examples/${example}.c)
  if(WIN32)
    add_executable(${target} ${source})
    target_link_libraries(${target} PRIVATE MERLOX)
  else()
    add_executable(${target} ${source} ${PROJECT_SOURCE_DIR}/examples/host/SimulatedCard.cpp)
    # The example's main becomes a function the harness calls.
    # nanosleep is POSIX, not C11.
    set_source_files_properties(${source} PROPERTIES COMPILE_DEFINITIONS
                                                     "main=merlox_example_main;_POSIX_C_SOURCE=200809L")
    target_include_directories(${target} PRIVATE ${MERLOX_SIM_INCLUDES})
    merlox_link_host(${target})
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES PASS_REGULAR_EXPRESSION
                                              "${MERLOX_EXAMPLE_PASS_${example}}"
                                              FAIL_REGULAR_EXPRESSION "${fail}"
                                              TIMEOUT 60)
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                               ${PROJECT_SOURCE_DIR}/examples)
  set_target_properties(${target} PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
                                             C_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Werror -pedantic>)
endforeach()

# The example that tests an application against simulated cards through
# merloxsim.h alone: it has its own main and plugs its own cards, so it runs
# without the harness. On Windows it links with MERLOXSIM.dll as an application's
# test program would.
set(target example_testing_with_simulated_cards)
add_executable(${target} ${PROJECT_SOURCE_DIR}/examples/testing_with_simulated_cards.c)
if(WIN32)
  # Run under Wine from the build directory, beside MERLOX.dll and MERLOXSIM.dll.
  target_link_libraries(${target} PRIVATE MERLOX MERLOXSIM)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
else()
  merlox_link_host(${target})
  # The simulator inside is C++.
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  add_test(NAME ${target} COMMAND ${target})
endif()
set_tests_properties(${target} PROPERTIES
  PASS_REGULAR_EXPRESSION "vanished card: handled\nhung shutdown: the card reset the host 90 s later"
  FAIL_REGULAR_EXPRESSION "FAILED" TIMEOUT 120)
target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(${target} PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Werror -pedantic>)
