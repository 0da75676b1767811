# Checks that an import library names every exported name of the export table
# (plain, underscore and VB name of each row) and nothing else.
# Usage: cmake -DLIBRARY=<MERLOX.lib> -DTABLE=<ExportTable.txt> -DNM=<llvm-nm>
#              -P CheckImportLibrary.cmake
set(nm "${NM}")
execute_process(COMMAND ${nm} --defined-only "${LIBRARY}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${nm} failed on ${LIBRARY}: ${errors}")
endif()
string(REGEX MATCHALL "__imp_[A-Za-z0-9_]+" imports "${listing}")
list(TRANSFORM imports REPLACE "^__imp_" "")
list(SORT imports)

file(STRINGS "${TABLE}" rows REGEX "^[0-9]")
set(expected "")
foreach(row IN LISTS rows)
  string(REGEX MATCH "^[0-9]+ +([A-Za-z0-9_]+) " matched "${row}")
  list(APPEND expected "${CMAKE_MATCH_1}" "_${CMAKE_MATCH_1}" "VB${CMAKE_MATCH_1}")
endforeach()
list(SORT expected)

if(NOT imports STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${imports})
  set(extra ${imports})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "${LIBRARY} does not match the export table\n"
                      "missing: ${missing}\nnot exported: ${extra}")
endif()
list(LENGTH imports count)
message(STATUS "${LIBRARY}: ${count} import members, as the export table lists")
