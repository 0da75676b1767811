# Windows build: MERLOX.dll with its export table, the simulator for Windows test
# programs, and the tests that run the shipped DLL under Wine.
include(cmake/VersionResource.cmake)
set(MERLOX_DEF ${CMAKE_BINARY_DIR}/MERLOX.def)
set(MERLOX_EXPORT_LIST ${CMAKE_BINARY_DIR}/generated/ExportTable.inc)
set(MERLOX_EXPORT_TABLE ${PROJECT_SOURCE_DIR}/src/exports/ExportTable.txt)
add_custom_command(
  OUTPUT ${MERLOX_DEF} ${MERLOX_EXPORT_LIST}
  COMMAND ${CMAKE_COMMAND} -DTABLE=${MERLOX_EXPORT_TABLE} -DOUTPUT=${MERLOX_DEF}
          -DLIST_OUTPUT=${MERLOX_EXPORT_LIST} -P ${PROJECT_SOURCE_DIR}/cmake/GenerateDef.cmake
  DEPENDS ${MERLOX_EXPORT_TABLE} ${PROJECT_SOURCE_DIR}/cmake/GenerateDef.cmake
  COMMENT "Generating MERLOX.def from the export table")

add_library(MERLOX SHARED ${MERLOX_LIBRARY_SOURCES} src/exports/MERLOX.cpp ${MERLOX_DEF})
merlox_library_target(MERLOX)
target_include_directories(MERLOX INTERFACE ${PROJECT_SOURCE_DIR}/include)
set_target_properties(MERLOX PROPERTIES PREFIX "" OUTPUT_NAME MERLOX IMPORT_PREFIX "lib"
                                        IMPORT_SUFFIX ".dll.a")
# Only Windows system DLLs may be imported: the compiler's runtime is linked in.
target_link_options(MERLOX PRIVATE -static-libgcc -static-libstdc++ -static)
target_link_libraries(MERLOX PRIVATE setupapi)
merlox_version_resource(MERLOX "MERLOX library for USB watchdog and I/O cards")

# The simulated driver probes callers' buffers with the library's fault-safe copy.
add_library(merlox_sim STATIC ${MERLOX_SIM_SOURCES} ${MERLOX_SIM_CLIENT_SOURCES}
                              sim/SimChannelWindows.cpp sim/ImportPatch.cpp
                              src/platform/CallerMemory.cpp src/platform/SafeCopy.S)
merlox_sim_target(merlox_sim)

file(GLOB MERLOX_WINE_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/*.cpp)
add_executable(merlox_wine_tests ${MERLOX_WINE_TEST_SOURCES} ${MERLOX_EXPORT_LIST})
merlox_internal_target(merlox_wine_tests)
target_include_directories(merlox_wine_tests PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(merlox_wine_tests PRIVATE merlox_sim GTest::gtest_main)
target_link_options(merlox_wine_tests PRIVATE -static)
add_dependencies(merlox_wine_tests MERLOX)
add_test(NAME wine_tests COMMAND merlox_wine_tests)
set_tests_properties(wine_tests PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR} TIMEOUT 900)

add_test(NAME dll_exports
         COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:MERLOX> -DTABLE=${MERLOX_EXPORT_TABLE}
                 -DOBJDUMP=x86_64-w64-mingw32-objdump
                 -P ${PROJECT_SOURCE_DIR}/tests/windows/CheckDllExports.cmake)
# The export check itself, on altered copies of the table and of the DLL's listing.
add_test(NAME dll_exports_checker
         COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:MERLOX> -DTABLE=${MERLOX_EXPORT_TABLE}
                 -DOBJDUMP=x86_64-w64-mingw32-objdump
                 -DWORK_DIR=${CMAKE_BINARY_DIR}/dll_exports_checker
                 -P ${PROJECT_SOURCE_DIR}/tests/windows/CheckDllExportsSelfTest.cmake)
include(cmake/Companion.cmake)

# The Python wheel for Windows, with both DLLs; its contents and tags are checked
# here, its code runs in the host build's tests from the Linux wheel.
include(cmake/PythonWheel.cmake)
merlox_python_wheel(win_amd64 MERLOX MERLOXSIM)
add_test(NAME python_wheel_windows
         COMMAND ${MERLOX_PYTHON} ${PROJECT_SOURCE_DIR}/tests/bindings/check_windows_wheel.py
                 ${MERLOX_PYTHON_WHEEL} ${PROJECT_VERSION})

# The NuGet package for Windows, with both DLLs; its contents are checked here, the
# assembly runs in the host build's tests from the Linux package.
include(cmake/CSharpPackage.cmake)
if(MERLOX_MCS AND MERLOX_NUGET)
  merlox_csharp_package(MerloxCards win-x64
                        "MERLOX for .NET on 64-bit Windows: MERLOX.dll and MERLOXSIM.dll (simulated cards for tests) with the MerloxCards assembly."
                        MERLOX MERLOXSIM)
  add_test(NAME csharp_package_windows
           COMMAND ${MERLOX_PYTHON} ${PROJECT_SOURCE_DIR}/tests/bindings/check_windows_nuget.py
                   ${MERLOX_NUGET_PACKAGE} ${PROJECT_VERSION})
else()
  message(STATUS "mcs or nuget not found: the NuGet package is not built")
endif()

set(MERLOX_HEADER_TEST_LIBRARY MERLOX)
include(cmake/HeaderTests.cmake)
include(cmake/Tools.cmake)
include(cmake/Examples.cmake)
# Last: it installs targets the files above define.
include(cmake/Install.cmake)
