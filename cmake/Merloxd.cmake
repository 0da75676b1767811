# merloxd, the guard that feeds a card's watchdog only while the machine is healthy.
# Everything but main() is a library of its own, so that the host tests run the
# engine in their own process beside the simulated card.
file(GLOB MERLOXD_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/merloxd/*.cpp)
# The program's own: its command line, and the simulated cards of --simulate.
set(MERLOXD_PROGRAM_SOURCES ${PROJECT_SOURCE_DIR}/tools/merloxd/Main.cpp
                            ${PROJECT_SOURCE_DIR}/tools/merloxd/Simulation.cpp)
list(REMOVE_ITEM MERLOXD_SOURCES ${MERLOXD_PROGRAM_SOURCES})
if(WIN32)
  # The service's entry starts the simulated cards of --simulate, as Main does.
  list(APPEND MERLOXD_PROGRAM_SOURCES ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/WindowsService.cpp)
endif()
if(WIN32)
  list(APPEND MERLOXD_SOURCES ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/WindowsProbes.cpp
                              ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/WindowsControlChannel.cpp
                              ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/WindowsDirectoryLock.cpp
                              ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/WindowsSecurity.cpp
                              ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/WindowsServiceManager.cpp)
else()
  list(APPEND MERLOXD_SOURCES ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/PosixProbes.cpp
                              ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/PosixControlChannel.cpp
                              ${PROJECT_SOURCE_DIR}/tools/merloxd/platform/PosixDirectoryLock.cpp)
endif()
add_library(merloxd_guard STATIC ${MERLOXD_SOURCES})
target_compile_options(merloxd_guard PRIVATE ${MERLOX_WARNINGS})
target_include_directories(merloxd_guard PUBLIC ${PROJECT_SOURCE_DIR}/tools/merloxd
                                                ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(merloxd_guard PUBLIC merlox_toml merlox_json merlox_boost
                                           merlox_tools_common)
if(MERLOX_SANITIZER STREQUAL "thread")
  # ThreadSanitizer cannot follow Asio's memory fences (GCC refuses them under -Wtsan);
  # without them Asio relies on its locked handler queues, which the sanitizer follows.
  target_compile_definitions(merloxd_guard PRIVATE BOOST_ASIO_DISABLE_FENCED_BLOCK)
endif()

add_executable(merloxd ${MERLOXD_PROGRAM_SOURCES})
target_compile_options(merloxd PRIVATE ${MERLOX_WARNINGS})
target_compile_definitions(merloxd PRIVATE MERLOXD_VERSION="${PROJECT_VERSION}")
target_link_libraries(merloxd PRIVATE merloxd_guard merlox_cli11)

if(WIN32)
  # Asio: Windows sockets (mswsock for AcceptEx). It asks for the Windows version it
  # builds for before any header could give mingw-w64's default, which this repeats.
  target_link_libraries(merloxd_guard PUBLIC MERLOX ws2_32 mswsock winmm advapi32 netapi32)
  target_compile_definitions(merloxd_guard PUBLIC _WIN32_WINNT=0x0A00)
  target_compile_options(merloxd_guard PRIVATE -Wno-restrict)  # as merloxctl: a GCC 12 false alarm
  target_compile_options(merloxd PRIVATE -Wno-restrict)
  target_link_options(merloxd PRIVATE -static)
  merlox_version_resource(merloxd "MERLOX guard")
  # The Event Log's texts: a message table compiled with windmc into merloxd.exe,
  # which the event source names as its message file.
  set(MERLOXD_MESSAGES ${CMAKE_BINARY_DIR}/generated/merloxd-messages)
  file(MAKE_DIRECTORY ${MERLOXD_MESSAGES})
  find_program(MERLOX_WINDMC NAMES x86_64-w64-mingw32-windmc REQUIRED)
  add_custom_command(
    OUTPUT ${MERLOXD_MESSAGES}/Messages.rc ${MERLOXD_MESSAGES}/Messages.h
           ${MERLOXD_MESSAGES}/MSG00409.bin
    COMMAND ${MERLOX_WINDMC} -h ${MERLOXD_MESSAGES} -r ${MERLOXD_MESSAGES}
            ${PROJECT_SOURCE_DIR}/tools/merloxd/windows/Messages.mc
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/merloxd/windows/Messages.mc
    COMMENT "Compiling merloxd's message table")
  target_sources(merloxd PRIVATE ${MERLOXD_MESSAGES}/Messages.rc)
  target_include_directories(merloxd PRIVATE ${MERLOXD_MESSAGES})
  install(TARGETS merloxd RUNTIME DESTINATION bin COMPONENT Runtime)
  # The checks that ask Windows itself, through merloxd check under Wine.
  add_test(NAME merloxd_windows_check
           COMMAND merloxd check --config ${PROJECT_SOURCE_DIR}/tests/merloxd/windows-check.toml)
  # An application's heartbeat through the C client header, from a Windows program,
  # to merloxd.exe with a card simulated in its own process.
  add_executable(merloxd_heartbeat_test
                 ${PROJECT_SOURCE_DIR}/tests/merloxd/windows/HeartbeatWineTest.c)
  target_include_directories(merloxd_heartbeat_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(merloxd_heartbeat_test PRIVATE -Wall -Wextra -Werror)
  target_link_options(merloxd_heartbeat_test PRIVATE -static)
  add_test(NAME merloxd_heartbeat COMMAND merloxd_heartbeat_test $<TARGET_FILE:merloxd>)
  set_tests_properties(merloxd_heartbeat PROPERTIES TIMEOUT 120 PASS_REGULAR_EXPRESSION
                       "merloxd heartbeat under Wine: ok")
  add_executable(merloxd_events_test ${PROJECT_SOURCE_DIR}/tests/merloxd/windows/EventMessagesTest.cpp)
  target_compile_options(merloxd_events_test PRIVATE ${MERLOX_WARNINGS})
  target_link_libraries(merloxd_events_test PRIVATE merloxd_guard)
  target_link_options(merloxd_events_test PRIVATE -static)
  add_test(NAME merloxd_event_messages COMMAND merloxd_events_test $<TARGET_FILE:merloxd>)
  set_tests_properties(merloxd_event_messages PROPERTIES TIMEOUT 120 PASS_REGULAR_EXPRESSION
                       "every event has its text: ok")
  add_executable(merloxd_security_test ${PROJECT_SOURCE_DIR}/tests/merloxd/windows/SecurityTest.cpp)
  target_compile_options(merloxd_security_test PRIVATE ${MERLOX_WARNINGS} -Wno-restrict)
  target_link_libraries(merloxd_security_test PRIVATE merloxd_guard)
  target_link_options(merloxd_security_test PRIVATE -static)
  add_test(NAME merloxd_security COMMAND merloxd_security_test)
  set_tests_properties(merloxd_security PROPERTIES TIMEOUT 120 PASS_REGULAR_EXPRESSION
                       "security: ok")
  # The service for real, under Wine's service manager, against merloxsim.exe.
  add_executable(merloxd_service_test ${PROJECT_SOURCE_DIR}/tests/merloxd/windows/ServiceWineTest.cpp)
  target_compile_options(merloxd_service_test PRIVATE ${MERLOX_WARNINGS} -Wno-restrict)
  target_include_directories(merloxd_service_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(merloxd_service_test PRIVATE merlox_json)
  target_link_options(merloxd_service_test PRIVATE -static)
  add_test(NAME merloxd_service
           COMMAND merloxd_service_test $<TARGET_FILE:merloxd> $<TARGET_FILE:merloxsim>
                   $<TARGET_FILE:merloxctl>)
  set_tests_properties(merloxd_service PROPERTIES TIMEOUT 180 PASS_REGULAR_EXPRESSION
                       "merloxd service under Wine: ok")
  set_tests_properties(merloxd_windows_check PROPERTIES TIMEOUT 120 PASS_REGULAR_EXPRESSION
    "card: card 0 is not there: FAILED\r?\ndisk-ok \\(disk\\): healthy: [0-9.]+ MiB free\r?\nmemory-ok \\(memory\\): healthy[^\n]*\nmemory-short \\(memory\\): FAILED: [0-9.]+ MiB available, less than[^\n]*\ncommand-ok \\(command\\): healthy: exit code 0\r?\ncommand-fails \\(command\\): FAILED: exit code 3\r?\nself \\(process\\): healthy: MERLOXD.EXE runs\r?\nno-such-process \\(process\\): FAILED: no-such-image.exe does not run\r?\nclosed-port \\(tcp\\): FAILED: 127.0.0.1:1: ")
  # The monitoring endpoint of merloxd.exe under Wine, asked from Linux.
  add_test(NAME merloxd_windows_metrics
           COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/monitoring/windows_metrics_test.py
                   ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:merloxd>)
  set_tests_properties(merloxd_windows_metrics PROPERTIES TIMEOUT 300)
else()
  merlox_link_host(merloxd)
  target_compile_definitions(merloxd PRIVATE MERLOX_WITH_SIMULATOR)
  target_include_directories(merloxd PRIVATE ${MERLOX_SIM_INCLUDES})
  file(GLOB MERLOXD_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/merloxd/*.cpp)
  add_executable(merloxd_tests ${MERLOXD_TEST_SOURCES})
  merlox_internal_target(merloxd_tests)
  target_include_directories(merloxd_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/host)
  target_link_libraries(merloxd_tests PRIVATE merloxd_guard)
  merlox_link_host(merloxd_tests)
  target_link_libraries(merloxd_tests PRIVATE GTest::gtest_main GTest::gmock)
  add_test(NAME merloxd_tests COMMAND merloxd_tests)
  # Whole processes against a shared simulator, once: in the AddressSanitizer tree.
  if(MERLOX_SANITIZER STREQUAL "address")
    add_test(NAME merloxd_processes
             COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/merloxd/merloxd_test.py
                     $<TARGET_FILE:merloxd> $<TARGET_FILE:merloxctl> $<TARGET_FILE:merloxsim>)
    set_tests_properties(merloxd_processes PROPERTIES TIMEOUT 300 ENVIRONMENT
                         XDG_RUNTIME_DIR=${MERLOX_TEST_RUNTIME})
  endif()
  # The monitoring endpoint with the real parts: a Prometheus server scraping merloxd on
  # a shared simulator, and the status page in headless Chromium. Once, in the tree
  # without sanitizers (build/host, label monitoring): they test the processes
  # together, which the sanitizer trees' unit tests of the same code do not.
  if(MERLOX_SANITIZER STREQUAL "none")
    find_program(MERLOX_PROMETHEUS prometheus REQUIRED)
    find_program(MERLOX_CHROMIUM chromium REQUIRED)
    set(MONITORING_PROGRAMS $<TARGET_FILE:merloxsim> $<TARGET_FILE:merloxd>
                            $<TARGET_FILE:merloxctl>)
    add_test(NAME merloxd_prometheus
             COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/monitoring/prometheus_test.py
                     ${MONITORING_PROGRAMS})
    # The screenshots stay in the build tree: artifacts/status-page*.png.
    add_test(NAME merloxd_status_page
             COMMAND ${MERLOXCTL_PYTHON} ${PROJECT_SOURCE_DIR}/tests/monitoring/status_page_test.py
                     ${MONITORING_PROGRAMS} ${CMAKE_BINARY_DIR}/artifacts)
    set_tests_properties(merloxd_prometheus merloxd_status_page PROPERTIES
                         LABELS monitoring TIMEOUT 120
                         ENVIRONMENT XDG_RUNTIME_DIR=${MERLOX_TEST_RUNTIME})
  endif()
endif()
