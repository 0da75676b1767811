# Windows build: the import library for MSVC-style linkers, the install step in three
# components, and the release zip.
#
# The MinGW import library (libMERLOX.dll.a) comes from linking the DLL. Linkers
# that read only COFF import libraries get MERLOX.lib, made from the same
# module-definition file by llvm-dlltool, so both list exactly the exported names.
find_program(MERLOX_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15
                                       llvm-dlltool-14 REQUIRED)
find_program(MERLOX_LLVM_NM NAMES llvm-nm llvm-nm-16 llvm-nm-15 llvm-nm-14 REQUIRED)
set(MERLOX_MSVC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/MERLOX.lib)
add_custom_command(
  OUTPUT ${MERLOX_MSVC_IMPORT_LIBRARY}
  COMMAND ${MERLOX_LLVM_DLLTOOL} -m i386:x86-64 -d ${MERLOX_DEF} -l ${MERLOX_MSVC_IMPORT_LIBRARY}
  DEPENDS ${MERLOX_DEF}
  COMMENT "Making MERLOX.lib, the import library for MSVC-style linkers")
add_custom_target(merlox_msvc_import_library ALL DEPENDS ${MERLOX_MSVC_IMPORT_LIBRARY})

# The import library holds one import member per exported name: three names per
# row of the export table.
add_test(NAME msvc_import_library
         COMMAND ${CMAKE_COMMAND} -DLIBRARY=${MERLOX_MSVC_IMPORT_LIBRARY}
                 -DTABLE=${MERLOX_EXPORT_TABLE} -DNM=${MERLOX_LLVM_NM}
                 -P ${PROJECT_SOURCE_DIR}/tests/install/CheckImportLibrary.cmake)

# The C header test once more, linked against MERLOX.lib instead of the MinGW
# import library: GNU ld reads COFF import libraries too.
merlox_header_test(header_c_msvc_lib tests/header/HeaderTest.c C 11 ${MERLOX_MSVC_IMPORT_LIBRARY})
add_dependencies(header_c_msvc_lib merlox_msvc_import_library MERLOX)

# Install layout, in components an installer or a packager can pick from:
#   Runtime      bin/MERLOX.dll, bin/merloxctl.exe, and README.txt, LICENSE.txt and
#                CHANGELOG.md at the top
#   Development  lib/ both import libraries and the package config, include/merlox.h,
#                include/merloxd_client.h (applications' heartbeats to merloxd)
#   Simulator    bin/MERLOXSIM.dll (and merloxsim.exe), lib/libMERLOXSIM.dll.a,
#                include/merloxsim.h: for applications' own tests, never shipped with
#                an application
# Without --component, cmake --install installs all three.
install(TARGETS MERLOX RUNTIME DESTINATION bin COMPONENT Runtime
                       ARCHIVE DESTINATION lib COMPONENT Development)
set(VERSION ${PROJECT_VERSION})
configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/README.txt @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION . COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT Runtime)
install(FILES ${MERLOX_MSVC_IMPORT_LIBRARY} DESTINATION lib COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/include/merlox.h ${PROJECT_SOURCE_DIR}/include/merloxd_client.h
        DESTINATION include COMPONENT Development)

# find_package(MERLOX 1.0) accepts any 1.x at or above 1.0: minor versions only add.
include(CMakePackageConfigHelpers)
set(MERLOX_CONFIG_VERSION ${CMAKE_BINARY_DIR}/MERLOXConfigVersion.cmake)
write_basic_package_version_file(${MERLOX_CONFIG_VERSION} VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/MERLOXConfig.cmake ${MERLOX_CONFIG_VERSION}
        DESTINATION lib/cmake/MERLOX COMPONENT Development)

install(TARGETS MERLOXSIM RUNTIME DESTINATION bin COMPONENT Simulator
                          ARCHIVE DESTINATION lib COMPONENT Simulator)
install(FILES ${PROJECT_SOURCE_DIR}/include/merloxsim.h DESTINATION include COMPONENT Simulator)
# The simulator's own program, where the tree has one.
if(TARGET merloxsim)
  merlox_version_resource(merloxsim "MERLOX simulated cards")
  install(TARGETS merloxsim RUNTIME DESTINATION bin COMPONENT Simulator)
endif()

# Installs into a scratch prefix, checks the layout, the components and the version
# resources, and builds a program against the installed package with
# find_package(MERLOX <this version>).
add_test(NAME install_layout
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                 -DPREFIX=${CMAKE_BINARY_DIR}/install-test
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -DTOOLCHAIN=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
                 -DVERSION=${PROJECT_VERSION}
                 -P ${PROJECT_SOURCE_DIR}/tests/install/CheckInstall.cmake)
set_tests_properties(install_layout PROPERTIES TIMEOUT 300)

# The release zip (`ninja package`, or cpack in this tree): the whole install tree
# under one top directory named after the version.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME MERLOX)
set(CPACK_PACKAGE_VENDOR "The MERLOX developers")
set(MERLOX_ZIP_NAME MERLOX-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_FILE_NAME ${MERLOX_ZIP_NAME})
include(CPack)

add_test(NAME release_zip
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                 -DWORK_DIR=${CMAKE_BINARY_DIR}/release-zip-test
                 -DNAME=${MERLOX_ZIP_NAME}
                 -P ${PROJECT_SOURCE_DIR}/tests/install/CheckReleaseZip.cmake)
set_tests_properties(release_zip PROPERTIES TIMEOUT 300)
