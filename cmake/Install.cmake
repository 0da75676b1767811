# Windows build: the import library for MSVC-style linkers and the install step.
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

# Install layout: bin/ the DLL and merloxctl, lib/ both import libraries and the
# package config, include/ the header.
include(GNUInstallDirs)
install(TARGETS MERLOX RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${MERLOX_MSVC_IMPORT_LIBRARY} DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/merlox.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/MERLOXConfig.cmake DESTINATION lib/cmake/MERLOX)

# Installs into a scratch prefix, checks the layout, and builds a program against
# the installed package with find_package(MERLOX).
add_test(NAME install_layout
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                 -DPREFIX=${CMAKE_BINARY_DIR}/install-test
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -DTOOLCHAIN=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
                 -P ${PROJECT_SOURCE_DIR}/tests/install/CheckInstall.cmake)
set_tests_properties(install_layout PROPERTIES TIMEOUT 300)
