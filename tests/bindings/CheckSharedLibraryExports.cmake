# Checks that libmerlox.so exports exactly the operations of the export table and
# the functions of merloxsim.h: nothing of the library's or the simulator's C++,
# which could clash with other libraries in the same process (an interpreter's).
# Usage: cmake -DLIBRARY=<libmerlox.so> -DTABLE=<ExportTable.txt>
#              -DSIM_HEADER=<merloxsim.h> -DNM=<nm> -P CheckSharedLibraryExports.cmake
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${TABLE}" rows REGEX "^[0-9]")
set(wanted "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^[0-9]+ +[A-Za-z0-9_]+ +" "" operation "${row}")
  list(APPEND wanted ${operation})
endforeach()
file(READ "${SIM_HEADER}" header)
string(REGEX MATCHALL "MERLOXSIM_API MERLOXSIM_[A-Za-z]+\\(" declarations "${header}")
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE "MERLOXSIM_API (MERLOXSIM_[A-Za-z]+)\\(" "\\1" name "${declaration}")
  list(APPEND wanted ${name})
endforeach()
list(REMOVE_DUPLICATES wanted)
list(SORT wanted)

execute_process(COMMAND ${NM} -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "CheckSharedLibraryExports: ${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-f]+ [A-Za-z] [^\n]+" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)

if(NOT exported STREQUAL wanted)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${wanted})
  set(missing ${wanted})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "CheckSharedLibraryExports: ${LIBRARY}\n  exported but not wanted: "
                      "${extra}\n  wanted but not exported: ${missing}")
endif()
