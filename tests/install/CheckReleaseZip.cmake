# Builds the release zip with cpack into a scratch directory and checks that it holds
# the install tree under one top directory, with the README, the licence and the DLLs.
# Usage: cmake -DBUILD_DIR=<build/windows> -DWORK_DIR=<scratch> -DNAME=<zip name
#              without .zip> -P CheckReleaseZip.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND cpack -G ZIP -B "${WORK_DIR}" --config "${BUILD_DIR}/CPackConfig.cmake"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(zip "${WORK_DIR}/${NAME}.zip")
if(NOT result EQUAL 0 OR NOT EXISTS "${zip}")
  message(FATAL_ERROR "cpack did not make ${NAME}.zip:\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf "${zip}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot list ${zip}")
endif()
foreach(file README.txt LICENSE.txt CHANGELOG.md bin/MERLOX.dll bin/merloxctl.exe bin/merloxd.exe
             bin/MERLOXSIM.dll lib/MERLOX.lib include/merlox.h include/merloxd_client.h
             lib/cmake/MERLOX/MERLOXConfigVersion.cmake)
  if(NOT listing MATCHES "(^|\n)${NAME}/${file}\n")
    message(FATAL_ERROR "${NAME}.zip lacks ${NAME}/${file}; it holds:\n${listing}")
  endif()
endforeach()
string(REGEX REPLACE "(^|\n)${NAME}/[^\n]*" "" outside "${listing}")
string(STRIP "${outside}" outside)
if(NOT outside STREQUAL "")
  message(FATAL_ERROR "${NAME}.zip holds files outside ${NAME}/:\n${outside}")
endif()
message(STATUS "release zip ${NAME}.zip: ok")
