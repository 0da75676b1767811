# Installs the Windows build into a scratch prefix, checks the layout, the components
# and every binary's version resource, and builds a C program against the installed
# package through find_package(MERLOX <version>).
# Usage: cmake -DBUILD_DIR=<build/windows> -DPREFIX=<scratch dir> -DSOURCE_DIR=<tree>
#              -DTOOLCHAIN=<mingw toolchain file> -DVERSION=<x.y.z> -P CheckInstall.cmake
include(${CMAKE_CURRENT_LIST_DIR}/CheckVersionResource.cmake)
file(REMOVE_RECURSE "${PREFIX}")

function(install_into root)
  execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${root}" ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install ${ARGN} failed:\n${output}")
  endif()
endfunction()

function(expect_files root)
  foreach(file IN LISTS ARGN)
    if(NOT EXISTS "${root}/${file}")
      message(FATAL_ERROR "the installation in ${root} lacks ${file}")
    endif()
  endforeach()
endfunction()

set(runtime bin/MERLOX.dll bin/merloxctl.exe bin/merloxd.exe README.txt LICENSE.txt CHANGELOG.md)
set(development lib/libMERLOX.dll.a lib/MERLOX.lib include/merlox.h include/merloxd_client.h
                lib/cmake/MERLOX/MERLOXConfig.cmake lib/cmake/MERLOX/MERLOXConfigVersion.cmake)
set(simulator bin/MERLOXSIM.dll lib/libMERLOXSIM.dll.a include/merloxsim.h)

install_into("${PREFIX}/root")
expect_files("${PREFIX}/root" ${runtime} ${development} ${simulator})
file(GLOB_RECURSE installed RELATIVE "${PREFIX}/root" "${PREFIX}/root/*")
foreach(file IN LISTS installed)
  if(file MATCHES "test")
    message(FATAL_ERROR "the installation holds ${file}")
  endif()
  if(file MATCHES "\\.(dll|exe)$")
    merlox_check_version_resource("${PREFIX}/root/${file}" "${VERSION}")
  endif()
endforeach()
file(READ "${PREFIX}/root/README.txt" readme)
if(NOT readme MATCHES "MERLOX ${VERSION} for 64-bit Windows")
  message(FATAL_ERROR "README.txt does not name version ${VERSION}")
endif()

# An application's installer takes the runtime alone: nothing of the simulator.
install_into("${PREFIX}/runtime" --component Runtime)
expect_files("${PREFIX}/runtime" ${runtime})
file(GLOB_RECURSE runtime_installed RELATIVE "${PREFIX}/runtime" "${PREFIX}/runtime/*")
list(SORT runtime_installed)
list(SORT runtime)
if(NOT runtime_installed STREQUAL runtime)
  message(FATAL_ERROR "the Runtime component holds ${runtime_installed}, not ${runtime}")
endif()

# A program of its own, configured against the installed package only: once asking
# for this version, once for the next major version, which must be refused.
function(configure_consumer dir wanted)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/install/consumer" -B "${dir}"
            -G Ninja -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_PREFIX_PATH=${PREFIX}/root
            -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH -DMERLOX_WANTED=${wanted}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(result ${result} PARENT_SCOPE)
  set(output "${output}" PARENT_SCOPE)
endfunction()

string(REGEX MATCH "^[0-9]+" major "${VERSION}")
math(EXPR next_major "${major} + 1")
configure_consumer("${PREFIX}/next-major" ${next_major}.0)
if(result EQUAL 0 OR NOT output MATCHES "compatible[ \n]+with[ \n]+requested[ \n]+version")
  message(FATAL_ERROR
          "find_package(MERLOX ${next_major}.0) did not refuse version ${VERSION}:\n${output}")
endif()

configure_consumer("${PREFIX}/consumer" ${VERSION})
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
message(STATUS "installed layout, components, versions and package config: ok")
