# Writes every function merlox.h declares as an initialiser list of their
# addresses, so that the header tests refer to each one and a name the library
# does not provide fails to link.
# Usage: cmake -DHEADER=<merlox.h> -DOUTPUT=<file.inc> -P ListHeaderFunctions.cmake
file(READ "${HEADER}" header)
string(REGEX MATCHALL "MERLOX_API +[A-Za-z0-9_]+\\(" declarations "${header}")
set(list "/* Generated from merlox.h: every declared function. */\n")
set(count 0)
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE "MERLOX_API +([A-Za-z0-9_]+)\\(" "\\1" name "${declaration}")
  string(APPEND list "MERLOX_FUNCTION(${name})\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no function declarations found in ${HEADER}")
endif()
file(WRITE "${OUTPUT}.tmp" "${list}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
