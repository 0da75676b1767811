# The host shared library libmerlox.so, with the simulated card inside, for the
# language bindings and their tests. Built only in a tree without sanitizers: a
# sanitized shared library cannot be loaded into an interpreter that was not
# started with the sanitizer's runtime.
set(MERLOX_VERSION_SCRIPT ${CMAKE_BINARY_DIR}/merlox.map)
add_custom_command(
  OUTPUT ${MERLOX_VERSION_SCRIPT}
  COMMAND ${CMAKE_COMMAND} -DTABLE=${PROJECT_SOURCE_DIR}/src/exports/ExportTable.txt
          -DOUTPUT=${MERLOX_VERSION_SCRIPT}
          -P ${PROJECT_SOURCE_DIR}/cmake/GenerateVersionScript.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/src/exports/ExportTable.txt
          ${PROJECT_SOURCE_DIR}/cmake/GenerateVersionScript.cmake
  COMMENT "Generating the export list of libmerlox.so")
add_custom_target(merlox_version_script DEPENDS ${MERLOX_VERSION_SCRIPT})

# The simulator's C interface comes in with merlox_sim_host.
add_library(merlox_shared SHARED)
merlox_sim_target(merlox_shared)
# Every operation goes into the shared library, referenced or not.
target_link_libraries(merlox_shared PRIVATE merlox_sim_host "$<LINK_LIBRARY:WHOLE_ARCHIVE,merlox_core>")
set_target_properties(merlox_shared PROPERTIES OUTPUT_NAME merlox LINK_DEPENDS
                                                ${MERLOX_VERSION_SCRIPT})
add_dependencies(merlox_shared merlox_version_script)
target_link_options(merlox_shared PRIVATE -Wl,--version-script=${MERLOX_VERSION_SCRIPT}
                    -Wl,--no-undefined)
target_link_libraries(merlox_shared PRIVATE pthread)

# The Python package, as the wheel a user installs: the tests run in a fresh venv
# that has the wheel and Debian's pytest (the system site packages), and nothing of
# the source tree, so that they test what pip installs.
include(cmake/PythonWheel.cmake)
merlox_python_wheel(linux_x86_64 merlox_shared)
add_test(NAME python_bindings
         COMMAND ${PROJECT_SOURCE_DIR}/tests/bindings/run-python-tests.sh ${MERLOX_PYTHON}
                 ${MERLOX_PYTHON_WHEEL} ${CMAKE_BINARY_DIR}/python-venv
                 ${PROJECT_SOURCE_DIR}/bindings/python/tests)
set_tests_properties(python_bindings PROPERTIES LABELS bindings TIMEOUT 300)

# The Python binding's benchmark (scripts/bench.sh), once with tiny counts to show it
# still runs; its figures are not checked here.
add_test(NAME python_bench_smoke
         COMMAND ${MERLOX_PYTHON} ${PROJECT_SOURCE_DIR}/bench/python_bench.py --quick)
set_tests_properties(python_bench_smoke PROPERTIES
  LABELS benchmark TIMEOUT 120
  ENVIRONMENT "MERLOX_LIBRARY=$<TARGET_FILE:merlox_shared>;PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python;PYTHONDONTWRITEBYTECODE=1")

# Type hints: mypy in strict mode over the package and its tests.
find_program(MERLOX_MYPY mypy)
if(MERLOX_MYPY)
  add_test(NAME python_types
           COMMAND ${MERLOX_MYPY} --strict --no-incremental --cache-dir=/dev/null
                   ${PROJECT_SOURCE_DIR}/bindings/python/merlox
                   ${PROJECT_SOURCE_DIR}/bindings/python/tests)
  set_tests_properties(python_types PROPERTIES LABELS bindings TIMEOUT 300)
else()
  message(STATUS "mypy not found: the Python type hints are not checked")
endif()

# The C# declarations, compiled with Debian's Mono into a test program that runs
# them against libmerlox.so ("merlox" resolves to it on Linux).
include(cmake/CSharpPackage.cmake)
set(MERLOX_BINDINGS_TARGETS merlox_shared python_wheel)
if(MERLOX_MCS AND MERLOX_MONO)
  set(MERLOX_CSHARP_TEST ${CMAKE_BINARY_DIR}/MerloxCSharpTest.exe)
  set(MERLOX_CSHARP_SOURCES ${PROJECT_SOURCE_DIR}/bindings/csharp/Merlox.cs
                            ${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxSim.cs
                            ${PROJECT_SOURCE_DIR}/bindings/csharp/tests/MerloxTest.cs)
  # The simulator is in libmerlox.so itself on this build.
  add_custom_command(OUTPUT ${MERLOX_CSHARP_TEST}
                     COMMAND ${MERLOX_MCS} -warnaserror -define:MERLOXSIM_HOST
                             -out:${MERLOX_CSHARP_TEST}
                             ${MERLOX_CSHARP_SOURCES}
                     DEPENDS ${MERLOX_CSHARP_SOURCES}
                     COMMENT "Compiling the C# declarations and their test")
  add_custom_target(merlox_csharp_test DEPENDS ${MERLOX_CSHARP_TEST})
  list(APPEND MERLOX_BINDINGS_TARGETS merlox_csharp_test)
  add_test(NAME csharp_bindings COMMAND ${MERLOX_MONO} ${MERLOX_CSHARP_TEST})
  set_tests_properties(csharp_bindings PROPERTIES
    LABELS bindings TIMEOUT 120 PASS_REGULAR_EXPRESSION "all passed"
    ENVIRONMENT "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:merlox_shared>")

  # MerloxCards as a user gets it: packed with the Linux library, installed with nuget
  # from a local feed into a test project, and run there with Mono.
  if(MERLOX_NUGET)
    merlox_csharp_package(MerloxCards.Development linux-x64
                          "MERLOX for Linux development and CI: libmerlox.so with simulated cards inside; no hardware access."
                          merlox_shared)
    list(APPEND MERLOX_BINDINGS_TARGETS csharp_package)
    add_test(NAME csharp_package
             COMMAND ${PROJECT_SOURCE_DIR}/tests/bindings/run-csharp-package-test.sh
                     ${MERLOX_NUGET} ${MERLOX_MCS} ${MERLOX_MONO} ${MERLOX_NUGET_PACKAGE}
                     MerloxCards.Development ${PROJECT_VERSION} linux-x64
                     ${CMAKE_BINARY_DIR}/csharp-package-test
                     ${PROJECT_SOURCE_DIR}/bindings/csharp/tests/CardTest.cs)
    set_tests_properties(csharp_package PROPERTIES
      LABELS bindings TIMEOUT 300 PASS_REGULAR_EXPRESSION "all passed")
  else()
    message(STATUS "nuget not found: the C# package is not built")
  endif()
else()
  message(STATUS "mcs or mono not found: the C# declarations are not tested")
endif()

# What the binding tests need, and nothing else of the host tree.
add_custom_target(bindings DEPENDS ${MERLOX_BINDINGS_TARGETS})

# Every operation declared in each binding, and the VB aliases on the right entry points.
add_test(NAME binding_declarations
         COMMAND ${CMAKE_COMMAND} -DTABLE=${PROJECT_SOURCE_DIR}/src/exports/ExportTable.txt
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -P ${PROJECT_SOURCE_DIR}/tests/bindings/CheckBindingDeclarations.cmake)
set_tests_properties(binding_declarations PROPERTIES LABELS bindings)

# The bindings' status texts are those of MERLOX_StatusText in merlox.h.
add_test(NAME binding_status_texts
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -P ${PROJECT_SOURCE_DIR}/tests/bindings/CheckStatusTexts.cmake)
set_tests_properties(binding_status_texts PROPERTIES LABELS bindings)

add_test(NAME shared_library_exports
         COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:merlox_shared>
                 -DTABLE=${PROJECT_SOURCE_DIR}/src/exports/ExportTable.txt
                 -DSIM_HEADER=${PROJECT_SOURCE_DIR}/include/merloxsim.h -DNM=${CMAKE_NM}
                 -P ${PROJECT_SOURCE_DIR}/tests/bindings/CheckSharedLibraryExports.cmake)
set_tests_properties(shared_library_exports PROPERTIES LABELS bindings)
