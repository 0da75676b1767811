# Installs the Windows build into a scratch prefix, checks the layout, and builds a
# C program against the installed package through find_package(MERLOX).
# Usage: cmake -DBUILD_DIR=<build/windows> -DPREFIX=<scratch dir> -DSOURCE_DIR=<tree>
#              -DTOOLCHAIN=<mingw toolchain file> -P CheckInstall.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}/root"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

foreach(file bin/MERLOX.dll bin/merloxctl.exe lib/libMERLOX.dll.a lib/MERLOX.lib
             include/merlox.h lib/cmake/MERLOX/MERLOXConfig.cmake)
  if(NOT EXISTS "${PREFIX}/root/${file}")
    message(FATAL_ERROR "the installation lacks ${file}")
  endif()
endforeach()
# Nothing but the three directories: no test programs, no simulator.
file(GLOB top RELATIVE "${PREFIX}/root" "${PREFIX}/root/*")
list(SORT top)
if(NOT top STREQUAL "bin;include;lib")
  message(FATAL_ERROR "unexpected top-level entries in the installation: ${top}")
endif()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}/root" "${PREFIX}/root/*")
foreach(file IN LISTS installed)
  if(file MATCHES "(test|sim)")
    message(FATAL_ERROR "the installation holds ${file}")
  endif()
endforeach()

# A program of its own, configured against the installed package only.
execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/install/consumer" -B "${PREFIX}/consumer"
          -G Ninja -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_PREFIX_PATH=${PREFIX}/root
          -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring against the installed package failed:\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${PREFIX}/consumer"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building against the installed package failed:\n${output}")
endif()
if(NOT EXISTS "${PREFIX}/consumer/consumer.exe")
  message(FATAL_ERROR "the program built against the package is missing")
endif()
message(STATUS "installed layout and package config: ok")
