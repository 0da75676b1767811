# Checks that the Python, C# and VB bindings declare every operation of the export
# table, that the Python and C# simulator bindings declare every function of
# merloxsim.h, and that each VB declaration goes to a VB entry point the DLL exports for
# that very operation (a wrong alias would call another operation with the same
# arguments). Usage:
#   cmake -DTABLE=<ExportTable.txt> -DSOURCE_DIR=<project> -P CheckBindingDeclarations.cmake
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${TABLE}" rows REGEX "^[0-9]")
set(operations "")
foreach(row IN LISTS rows)
  if(NOT row MATCHES "^[0-9]+ +([A-Za-z0-9_]+) +([A-Za-z0-9_]+)$")
    message(FATAL_ERROR "malformed export row: ${row}")
  endif()
  set(operation_of_VB${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
  list(APPEND operations ${CMAKE_MATCH_2})
endforeach()
list(REMOVE_DUPLICATES operations)

file(READ "${SOURCE_DIR}/bindings/python/merlox/_native.py" python)
file(READ "${SOURCE_DIR}/bindings/csharp/Merlox.cs" csharp)
file(READ "${SOURCE_DIR}/bindings/vb/Merlox.vb" vb)

set(errors "")
foreach(operation IN LISTS operations)
  if(NOT python MATCHES "\\(\"${operation}\", ")
    string(APPEND errors "  Python: no prototype of ${operation}\n")
  endif()
  if(NOT csharp MATCHES "static extern [a-z]+ ${operation}\\(")
    string(APPEND errors "  C#: no DllImport of ${operation}\n")
  endif()
  if(NOT vb MATCHES "Declare (Ansi )?Function ${operation} Lib \"MERLOX.dll\" Alias \"VB")
    string(APPEND errors "  VB: no declaration of ${operation}\n")
  endif()
endforeach()

string(REGEX MATCHALL "Declare (Ansi )?Function [A-Za-z0-9_]+ Lib \"MERLOX.dll\" Alias \"[A-Za-z0-9_]+\""
       declarations "${vb}")
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "Function ([A-Za-z0-9_]+) .* Alias \"([A-Za-z0-9_]+)\"" matched "${declaration}")
  set(function ${CMAKE_MATCH_1})
  set(alias ${CMAKE_MATCH_2})
  if(NOT DEFINED operation_of_${alias})
    string(APPEND errors "  VB: ${function} goes to ${alias}, which the DLL does not export\n")
  elseif(NOT operation_of_${alias} STREQUAL function)
    string(APPEND errors
           "  VB: ${function} goes to ${alias}, the entry point of ${operation_of_${alias}}\n")
  endif()
endforeach()

# The simulator's functions (include/merloxsim.h), in the Python and C# simulator
# bindings: an application's tests reach every fault and observation from either.
file(READ "${SOURCE_DIR}/include/merloxsim.h" sim_header)
file(READ "${SOURCE_DIR}/bindings/python/merlox/sim.py" python_sim)
file(READ "${SOURCE_DIR}/bindings/csharp/MerloxSim.cs" csharp_sim)
string(REGEX MATCHALL "MERLOXSIM_API MERLOXSIM_[A-Za-z]+\\(" sim_declarations "${sim_header}")
foreach(declaration IN LISTS sim_declarations)
  string(REGEX REPLACE "MERLOXSIM_API (MERLOXSIM_[A-Za-z]+)\\(" "\\1" function "${declaration}")
  if(NOT python_sim MATCHES "\\(\"${function}\", ")
    string(APPEND errors "  Python: no prototype of ${function}\n")
  endif()
  if(NOT csharp_sim MATCHES "static extern [a-z]+ ${function}\\(")
    string(APPEND errors "  C#: no DllImport of ${function}\n")
  endif()
endforeach()

if(errors)
  message(FATAL_ERROR "CheckBindingDeclarations:\n${errors}")
endif()
