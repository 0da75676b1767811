# merloxctl, the command-line tool over the library: against the host library with
# the simulator linked in (--simulate), or against MERLOX.dll's import library.
# Everything but main() is a library of its own, so that the host tests can run
# merloxctl's commands in their own process, beside the simulated driver.
include(cmake/HeaderLibraries.cmake)

# What the tools share: threads, locks, timed waits and Ctrl+C on both builds.
file(GLOB MERLOX_TOOLS_COMMON_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/common/*.cpp)
add_library(merlox_tools_common STATIC ${MERLOX_TOOLS_COMMON_SOURCES})
target_compile_options(merlox_tools_common PRIVATE ${MERLOX_WARNINGS})
target_include_directories(merlox_tools_common PUBLIC ${PROJECT_SOURCE_DIR}/tools/common)
if(NOT WIN32)
  target_link_libraries(merlox_tools_common PUBLIC pthread)
endif()

file(GLOB MERLOXCTL_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/merloxctl/*.cpp)
list(REMOVE_ITEM MERLOXCTL_SOURCES ${PROJECT_SOURCE_DIR}/tools/merloxctl/Main.cpp)
add_library(merloxctl_commands STATIC ${MERLOXCTL_SOURCES})
target_compile_options(merloxctl_commands PRIVATE ${MERLOX_WARNINGS})
target_include_directories(merloxctl_commands PUBLIC ${PROJECT_SOURCE_DIR}/tools/merloxctl
                                                     ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(merloxctl_commands PUBLIC merlox_cli11 merlox_json merlox_tools_common)

add_executable(merloxctl ${PROJECT_SOURCE_DIR}/tools/merloxctl/Main.cpp)
target_compile_options(merloxctl PRIVATE ${MERLOX_WARNINGS})
target_link_libraries(merloxctl PRIVATE merloxctl_commands)

find_program(MERLOXCTL_PYTHON NAMES python3 REQUIRED)
if(WIN32)
  # Only MERLOX.dll and system DLLs beside it: the compiler's runtime is linked in.
  target_link_libraries(merloxctl_commands PUBLIC MERLOX)
  # The sim commands speak to the shared simulator themselves: its client side is
  # linked in (the rest of the simulator comes from MERLOXSIM.dll with --simulate).
  target_include_directories(merloxctl_commands PRIVATE ${MERLOX_SIM_INCLUDES})
  target_link_libraries(merloxctl_commands PUBLIC merlox_sim)
  # GCC 12 at -O3 takes "text" + std::string for a copy that overlaps itself (a false
  # -Wrestrict inside libstdc++'s insert at the front); the host build has no -O3.
  target_compile_options(merloxctl_commands PRIVATE -Wno-restrict)
  target_link_options(merloxctl PRIVATE -static)
  merlox_version_resource(merloxctl "MERLOX command-line tool")
  install(TARGETS merloxctl RUNTIME DESTINATION bin COMPONENT Runtime)
  # A few commands under Wine, with the simulator from MERLOXSIM.dll beside
  # merloxctl.exe: the shipped DLL, the console's Ctrl+C, the exit codes.
  add_test(NAME merloxctl_windows
           COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/merloxctl_test.py
                   --wine ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxctl_windows PROPERTIES TIMEOUT 300)
else()
  target_compile_definitions(merloxctl_commands PRIVATE MERLOX_WITH_SIMULATOR)
  target_include_directories(merloxctl_commands PRIVATE ${MERLOX_SIM_INCLUDES})
  merlox_link_host(merloxctl)
  # The README's demo, exactly as scripts/setup.sh runs it.
  add_test(NAME merloxctl_simulate COMMAND merloxctl --simulate list)
  set_tests_properties(merloxctl_simulate PROPERTIES
                       PASS_REGULAR_EXPRESSION "card 1: product 0x8081.*watchdog: .*sensors: 31.00 C")
  # Whole processes: output, exit codes, signals.
  add_test(NAME merloxctl_commands
           COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/merloxctl_test.py
                   $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxctl_commands PROPERTIES TIMEOUT 300)
  # The commands in the test's own process, against the simulated driver: what
  # each sends to the card, and what a refused command does not send.
  file(GLOB MERLOXCTL_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/tools/*.cpp)
  add_executable(merloxctl_tests ${MERLOXCTL_TEST_SOURCES})
  merlox_internal_target(merloxctl_tests)
  target_include_directories(merloxctl_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/host)
  target_link_libraries(merloxctl_tests PRIVATE merloxctl_commands)
  merlox_link_host(merloxctl_tests)
  target_link_libraries(merloxctl_tests PRIVATE GTest::gtest_main GTest::gmock)
  add_test(NAME merloxctl_tests COMMAND merloxctl_tests)
  set_tests_properties(merloxctl_tests PROPERTIES TIMEOUT 300)
endif()

# merloxsim, the shared simulator: simulated cards that several processes use at
# once. Its server side is a library of its own, for its tests.
add_library(merlox_sim_server STATIC ${MERLOX_SIM_SERVER_SOURCES})
merlox_sim_target(merlox_sim_server)
target_link_libraries(merlox_sim_server PUBLIC merlox_tools_common)
file(GLOB MERLOXSIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/merloxsim/*.cpp)
add_executable(merloxsim ${MERLOXSIM_SOURCES})
target_compile_options(merloxsim PRIVATE ${MERLOX_WARNINGS})
target_include_directories(merloxsim PRIVATE ${PROJECT_SOURCE_DIR}/tools/merloxsim
                                             ${MERLOX_SIM_INCLUDES})
target_link_libraries(merloxsim PRIVATE merlox_sim_server merlox_cli11)
if(WIN32)
  # The simulated driver is linked in, with the compiler's runtime: merloxsim.exe
  # needs no DLL but the system's. Install.cmake installs it with the simulator.
  target_link_libraries(merlox_sim_server PUBLIC merlox_sim)
  target_link_options(merloxsim PRIVATE -static)
  # The Wine tests serve a simulator from their own process, and run merloxsim.exe.
  target_link_libraries(merlox_wine_tests PRIVATE merlox_sim_server)
  target_include_directories(merlox_wine_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/shared-simulator)
  add_dependencies(merlox_wine_tests merloxsim)
  # Whole Windows processes sharing one running merloxsim.exe under Wine, one of
  # them killed; every process of the test in the build tree's one Wine prefix.
  add_test(NAME merloxsim_windows
           COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/merloxsim_test.py
                   --wine ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:merloxsim>
                   $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxsim_windows PROPERTIES TIMEOUT 300)
  # Figure 6 of the benchmark under Wine (scripts/bench.sh, docs/performance.md); a
  # smoke run here keeps it working. Its figures are not checked.
  add_executable(merlox_wine_roundtrip ${PROJECT_SOURCE_DIR}/bench/WineRoundTrip.cpp)
  merlox_internal_target(merlox_wine_roundtrip)
  target_link_libraries(merlox_wine_roundtrip PRIVATE merlox_sim_server)
  target_link_options(merlox_wine_roundtrip PRIVATE -static)
  add_dependencies(merlox_wine_roundtrip MERLOX)
  add_test(NAME wine_roundtrip_smoke COMMAND merlox_wine_roundtrip --quick)
  set_tests_properties(wine_roundtrip_smoke PROPERTIES LABELS benchmark TIMEOUT 120)
else()
  merlox_link_host(merloxsim)
  # The shared simulator in the test's own process, the library's seam pointed at
  # it: sessions, cleanup after a process, concurrency, refused messages.
  file(GLOB MERLOXSIM_TEST_SOURCES CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/tests/shared-simulator/*.cpp)
  add_executable(merloxsim_tests ${MERLOXSIM_TEST_SOURCES})
  merlox_internal_target(merloxsim_tests)
  target_include_directories(merloxsim_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/host)
  target_link_libraries(merloxsim_tests PRIVATE merlox_sim_server)
  merlox_link_host(merloxsim_tests)
  target_link_libraries(merloxsim_tests PRIVATE GTest::gtest_main GTest::gmock)
  add_test(NAME merloxsim_tests COMMAND merloxsim_tests)
  set_tests_properties(merloxsim_tests PROPERTIES TIMEOUT 300)
  # Whole processes sharing one running simulator, one of them killed.
  add_test(NAME merloxsim_processes
           COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/merloxsim_test.py
                   $<TARGET_FILE:merloxsim> $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxsim_processes PROPERTIES TIMEOUT 300)
  # A shared simulator the developer runs (merloxsim serve) must not stand in for the
  # cards these tests expect, so they look for simulators in a folder of their own.
  set(MERLOX_TEST_RUNTIME ${CMAKE_BINARY_DIR}/test-runtime)
  file(MAKE_DIRECTORY ${MERLOX_TEST_RUNTIME})
  set_tests_properties(merloxctl_simulate merloxctl_commands merloxctl_tests merloxsim_tests
                       merloxsim_processes PROPERTIES ENVIRONMENT
                       XDG_RUNTIME_DIR=${MERLOX_TEST_RUNTIME})
endif()

include(cmake/Merloxd.cmake)
