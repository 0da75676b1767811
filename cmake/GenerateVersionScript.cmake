# Writes the linker version script of the host shared library: the operations of
# the export table and the functions of merloxsim.h are global, everything else
# (the C++ of the library and the simulator) stays inside, so that the library
# cannot clash with whatever else a process such as Python has loaded.
# Usage: cmake -DTABLE=<ExportTable.txt> -DOUTPUT=<merlox.map> -P GenerateVersionScript.cmake
file(STRINGS "${TABLE}" rows REGEX "^[0-9]")
set(operations "")
foreach(row IN LISTS rows)
  if(NOT row MATCHES "^[0-9]+ +[A-Za-z0-9_]+ +([A-Za-z0-9_]+)$")
    message(FATAL_ERROR "malformed export row: ${row}")
  endif()
  list(APPEND operations ${CMAKE_MATCH_1})
endforeach()
list(REMOVE_DUPLICATES operations)
set(script "{\n  global:\n")
foreach(operation IN LISTS operations)
  string(APPEND script "    ${operation};\n")
endforeach()
string(APPEND script "    MERLOXSIM_*;\n  local:\n    *;\n};\n")
file(WRITE "${OUTPUT}.tmp" "${script}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
