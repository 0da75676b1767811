# Writes the module-definition file of MERLOX.dll from the export table, and with
# LIST_OUTPUT also the same rows as a C++ initialiser list for the tests.
# Usage: cmake -DTABLE=<ExportTable.txt> -DOUTPUT=<MERLOX.def> [-DLIST_OUTPUT=<file.inc>]
#              -P GenerateDef.cmake
file(STRINGS "${TABLE}" rows REGEX "^[0-9]")
set(def "LIBRARY MERLOX.dll\nEXPORTS\n")
set(list "// Generated from the export table: VB ordinal, plain name, operation.\n")
foreach(row IN LISTS rows)
  string(REGEX MATCH "^([0-9]+) +([A-Za-z0-9_]+) +([A-Za-z0-9_]+)$" matched "${row}")
  if(NOT matched)
    message(FATAL_ERROR "malformed export row: ${row}")
  endif()
  set(vb_ordinal ${CMAKE_MATCH_1})
  set(name ${CMAKE_MATCH_2})
  set(operation ${CMAKE_MATCH_3})
  math(EXPR underscore_ordinal "${vb_ordinal} + 1")
  math(EXPR plain_ordinal "${vb_ordinal} + 2")
  string(APPEND def "  VB${name} = VBEntry_${operation} @${vb_ordinal}\n")
  string(APPEND def "  _${name} = ${operation} @${underscore_ordinal}\n")
  string(APPEND def "  ${name} = ${operation} @${plain_ordinal}\n")
  string(APPEND list "{${vb_ordinal}, \"${name}\", \"${operation}\"},\n")
endforeach()
if(LIST_OUTPUT)
  file(WRITE "${LIST_OUTPUT}.tmp" "${list}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${LIST_OUTPUT}.tmp"
                          "${LIST_OUTPUT}")
endif()
file(WRITE "${OUTPUT}.tmp" "${def}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
