# Header compile tests: a C program (as C99 and as C11) and a C++ program include
# merlox.h with every warning an error, refer to every function it declares and
# link against MERLOX_HEADER_TEST_LIBRARY (the DLL's import library on Windows, the
# host library elsewhere); running them checks that all of it loads.
set(MERLOX_HEADER_FUNCTIONS ${CMAKE_BINARY_DIR}/generated/header/HeaderFunctions.inc)
add_custom_command(
  OUTPUT ${MERLOX_HEADER_FUNCTIONS}
  COMMAND ${CMAKE_COMMAND} -DHEADER=${PROJECT_SOURCE_DIR}/include/merlox.h
          -DOUTPUT=${MERLOX_HEADER_FUNCTIONS} -P ${PROJECT_SOURCE_DIR}/cmake/ListHeaderFunctions.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/include/merlox.h ${PROJECT_SOURCE_DIR}/cmake/ListHeaderFunctions.cmake
  COMMENT "Listing the functions merlox.h declares")

function(merlox_header_test name source language standard)
  add_executable(${name} ${source} ${MERLOX_HEADER_FUNCTIONS})
  # Only the public header: no library internals on the include path.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                             ${CMAKE_BINARY_DIR}/generated/header)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror -pedantic)
  set_target_properties(${name} PROPERTIES ${language}_STANDARD ${standard}
                                           ${language}_STANDARD_REQUIRED ON
                                           ${language}_EXTENSIONS OFF)
  target_link_libraries(${name} PRIVATE ${ARGN})
  if(WIN32)
    # MERLOX_StatusText keeps its "Windows error N" text in thread-local storage,
    # which MinGW's GCC provides through libgcc; g++ would link that as a DLL the
    # test could not find beside it, so it is linked in as merloxctl's is.
    target_link_options(${name} PRIVATE -static-libgcc)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "merlox.h from C[+]*: ok"
                                          TIMEOUT 120)
endfunction()

merlox_header_test(header_c99 tests/header/HeaderTest.c C 99 ${MERLOX_HEADER_TEST_LIBRARY})
merlox_header_test(header_c11 tests/header/HeaderTest.c C 11 ${MERLOX_HEADER_TEST_LIBRARY})
merlox_header_test(header_cxx tests/header/HeaderTest.cpp CXX 20 ${MERLOX_HEADER_TEST_LIBRARY})
