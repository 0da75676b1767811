# Shows that CheckDllExports.cmake rejects what it exists to reject: it is run on the
# real DLL's listing (which must pass) and on copies of the table and the listing
# with one fault each, every one of which must fail with the matching complaint.
# Usage: cmake -DDLL=<MERLOX.dll> -DTABLE=<ExportTable.txt> -DOBJDUMP=<objdump>
#              -DWORK_DIR=<scratch directory> -P CheckDllExportsSelfTest.cmake
cmake_minimum_required(VERSION 3.25)

set(checker ${CMAKE_CURRENT_LIST_DIR}/CheckDllExports.cmake)
file(MAKE_DIRECTORY "${WORK_DIR}")

execute_process(COMMAND "${OBJDUMP}" -p -h -t "${DLL}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${DLL}")
endif()
file(READ "${TABLE}" table)

# The first and last rows of the table, and the address of an export by ordinal.
file(STRINGS "${TABLE}" rows REGEX "^[0-9]")
list(GET rows 0 first_row)
list(GET rows -1 last_row)
string(REGEX MATCH "^([0-9]+) +([A-Za-z0-9_]+) +([A-Za-z0-9_]+)$" _ "${first_row}")
set(first_ordinal ${CMAKE_MATCH_1})
set(first_name ${CMAKE_MATCH_2})
set(first_operation ${CMAKE_MATCH_3})
string(REGEX MATCH "^[0-9]+ +[A-Za-z0-9_]+ +([A-Za-z0-9_]+)$" _ "${last_row}")
set(last_operation ${CMAKE_MATCH_1})
if(first_operation STREQUAL last_operation)
  message(FATAL_ERROR "the first and last rows of ${TABLE} name one operation")
endif()
function(address_line ordinal out)
  if(NOT listing MATCHES "\t\\[ *[0-9]+\\] \\+base\\[ *${ordinal}\\] [0-9a-f]+ Export RVA")
    message(FATAL_ERROR "no address for ordinal ${ordinal} in the listing")
  endif()
  set(${out} "${CMAKE_MATCH_0}" PARENT_SCOPE)
endfunction()
math(EXPR first_plain "${first_ordinal} + 2")
address_line(${first_ordinal} first_vb_line)
address_line(${first_plain} first_plain_line)
string(REGEX REPLACE ".* ([0-9a-f]+) Export RVA$" "\\1" first_plain_rva "${first_plain_line}")
string(REGEX REPLACE "[0-9a-f]+ Export RVA$" "${first_plain_rva} Export RVA" vb_on_plain
                     "${first_vb_line}")
string(REPLACE "Export RVA" "Forwarder RVA" vb_forwarded "${first_vb_line}")
string(REGEX REPLACE ".* ([0-9a-f]+) Export RVA$" "\\1" first_vb_rva "${first_vb_line}")
string(REGEX REPLACE "[0-9a-f]+ Export RVA$" "${first_vb_rva} Export RVA" plain_on_vb
                     "${first_plain_line}")
# Another operation's VB forwarder, in place of the first row's.
string(REGEX MATCH "[0-9]+ +[A-Za-z0-9_]+ +${last_operation}\n" last_operation_row "${table}")
string(REGEX MATCH "^[0-9]+" other_vb_ordinal "${last_operation_row}")
address_line(${other_vb_ordinal} other_vb_line)
string(REGEX REPLACE ".* ([0-9a-f]+) Export RVA$" "\\1" other_vb_rva "${other_vb_line}")
string(REGEX REPLACE "[0-9a-f]+ Export RVA$" "${other_vb_rva} Export RVA" vb_elsewhere
                     "${first_vb_line}")
math(EXPR shifted_ordinal "${first_ordinal} + 1")

function(run_checker table_text listing_text out_result out_output)
  file(WRITE "${WORK_DIR}/table.txt" "${table_text}")
  file(WRITE "${WORK_DIR}/listing.txt" "${listing_text}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DDLL=${DLL} -DTABLE=${WORK_DIR}/table.txt -DOBJDUMP=${OBJDUMP}
            -DOBJDUMP_OUTPUT=${WORK_DIR}/listing.txt -P ${checker}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_output} "${output}" PARENT_SCOPE)
endfunction()

set(failures "")
run_checker("${table}" "${listing}" result output)
if(NOT result EQUAL 0)
  string(APPEND failures "the real DLL was rejected:\n${output}\n")
endif()

# One fault: in the table or the listing, old text becomes new; the checker must
# fail and say complaint.
function(expect_rejected what part old new complaint)
  set(altered_table "${table}")
  set(altered_listing "${listing}")
  string(FIND "${${part}}" "${old}" found)
  if(found EQUAL -1)
    set(failures "${failures}${what}: the text to alter is not in the ${part}\n" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "${old}" "${new}" altered_${part} "${${part}}")
  run_checker("${altered_table}" "${altered_listing}" result output)
  if(result EQUAL 0)
    set(failures "${failures}${what}: accepted\n" PARENT_SCOPE)
    return()
  endif()
  string(FIND "${output}" "${complaint}" found)
  if(found EQUAL -1)
    set(failures "${failures}${what}: rejected without \"${complaint}\":\n${output}\n"
        PARENT_SCOPE)
  endif()
endfunction()

expect_rejected("shifted ordinals" table "${first_row}\n"
                "${shifted_ordinal} ${first_name} ${first_operation}\n"
                "_${first_name} is at ordinal")
expect_rejected("a row missing from the table" table "${last_row}\n" ""
                "is exported but not in the export table")
expect_rejected("a name missing from the DLL" table "${first_row}\n"
                "${first_row}\n9000 SelfTestExtra ${first_operation}\n"
                "SelfTestExtra is missing from the exports")
expect_rejected("a synonym of another operation" table "${first_row}\n"
                "${first_ordinal} ${first_name} ${last_operation}\n"
                "both name ${last_operation}")
expect_rejected("a plain name away from its underscore twin" listing "${first_plain_line}"
                "${plain_on_vb}" "both name ${first_operation}")
expect_rejected("an extra name" listing "[Ordinal/Name Pointer] Table\n"
                "[Ordinal/Name Pointer] Table\n\t[   0] SelfTestExtra\n"
                "SelfTestExtra is exported but not")
expect_rejected("an export by ordinal only" listing "${first_vb_line}"
                "${first_vb_line}\n\t[9000] +base[9015] 1000 Export RVA"
                "ordinal 9015 is exported but belongs to no name")
expect_rejected("a VB name at the operation itself" listing "${first_vb_line}" "${vb_on_plain}"
                "shares its address")
expect_rejected("a VB name at another forwarder" listing "${first_vb_line}" "${vb_elsewhere}"
                "but VBEntry_${first_operation} is at")
expect_rejected("a forwarded export" listing "${first_vb_line}" "${vb_forwarded}"
                "is a Forwarder entry")
expect_rejected("the C++ runtime imported" listing "DLL Name: msvcrt.dll"
                "DLL Name: libstdc++-6.dll"
                "imports libstdc++-6.dll, which is not a Windows system DLL")
expect_rejected("the thread library imported" listing "DLL Name: SETUPAPI.dll"
                "DLL Name: libwinpthread-1.dll" "imports libwinpthread-1.dll")
expect_rejected("no export directory" listing "Export Address Table -- Ordinal Base" "Unrelated"
                "no export directory found")

if(failures)
  message(FATAL_ERROR "CheckDllExports.cmake does not do its job:\n${failures}")
endif()
message(STATUS "CheckDllExports.cmake accepts the DLL and rejects every altered copy")
