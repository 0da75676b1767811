# Checks the built MERLOXSIM.dll: it exports exactly the names of its .def file, and
# it imports only Windows system DLLs, so that it loads into an application's test
# process on a bare system, beside MERLOX.dll.
# Usage: cmake -DDLL=<MERLOXSIM.dll> -DDEF=<MERLOXSIM.def> -DOBJDUMP=<objdump>
#              -P CheckCompanionDll.cmake
cmake_minimum_required(VERSION 3.25)

foreach(var DLL DEF OBJDUMP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckCompanionDll: -D${var}=... is required")
  endif()
endforeach()

file(STRINGS "${DEF}" def_lines REGEX "^  [A-Za-z]")
set(wanted "")
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" name)
  list(APPEND wanted "${name}")
endforeach()
list(SORT wanted)

execute_process(COMMAND ${OBJDUMP} -p "${DLL}" OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "CheckCompanionDll: ${OBJDUMP} -p ${DLL} failed")
endif()

# The names are the rows "[   n] NAME" of the name pointer table, which ends at the
# first empty line after its heading.
set(exported "")
set(names_section "")
string(FIND "${listing}" "[Ordinal/Name Pointer] Table" heading)
if(heading GREATER -1)
  string(SUBSTRING "${listing}" ${heading} -1 names_section)
  string(FIND "${names_section}" "\n\n" section_end)
  string(SUBSTRING "${names_section}" 0 ${section_end} names_section)
endif()
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_][A-Za-z0-9_@]*" rows "${names_section}")
foreach(row IN LISTS rows)
  string(REGEX REPLACE ".* " "" name "${row}")
  list(APPEND exported "${name}")
endforeach()
list(SORT exported)

set(errors "")
if(NOT exported STREQUAL wanted)
  string(APPEND errors "  exports: ${exported}\n  wanted:  ${wanted}\n")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${listing}")
if(NOT imports)
  string(APPEND errors "  no imports found in the listing\n")
endif()
foreach(import IN LISTS imports)
  string(REGEX REPLACE "DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|user32|advapi32|setupapi|msvcrt|api-ms-win-[a-z0-9-]+|ucrtbase|ntdll)\\.dll$")
    string(APPEND errors "  imports ${dll}, which is not a Windows system DLL\n")
  endif()
endforeach()

if(errors)
  message(FATAL_ERROR "CheckCompanionDll: ${DLL}\n${errors}")
endif()
