# Package config of an installed MERLOX: find_package(MERLOX) gives the imported
# target MERLOX::MERLOX, MERLOX.dll with its import library and merlox.h.
#   find_package(MERLOX REQUIRED)
#   target_link_libraries(app PRIVATE MERLOX::MERLOX)
# MinGW links libMERLOX.dll.a, other toolchains MERLOX.lib; the program needs
# MERLOX.dll beside it at run time (MERLOX_DLL names it, for copying).
get_filename_component(_merlox_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET MERLOX::MERLOX)
  if(MINGW)
    set(_merlox_implib "${_merlox_prefix}/lib/libMERLOX.dll.a")
  else()
    set(_merlox_implib "${_merlox_prefix}/lib/MERLOX.lib")
  endif()
  foreach(_merlox_file "${_merlox_prefix}/bin/MERLOX.dll" "${_merlox_implib}"
                       "${_merlox_prefix}/include/merlox.h")
    if(NOT EXISTS "${_merlox_file}")
      set(MERLOX_FOUND FALSE)
      set(MERLOX_NOT_FOUND_MESSAGE "MERLOX installation is missing ${_merlox_file}")
      return()
    endif()
  endforeach()
  add_library(MERLOX::MERLOX SHARED IMPORTED)
  set_target_properties(MERLOX::MERLOX PROPERTIES
    IMPORTED_LOCATION "${_merlox_prefix}/bin/MERLOX.dll"
    IMPORTED_IMPLIB "${_merlox_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_merlox_prefix}/include")
  unset(_merlox_implib)
  unset(_merlox_file)
endif()

set(MERLOX_DLL "${_merlox_prefix}/bin/MERLOX.dll")
set(MERLOX_FOUND TRUE)
unset(_merlox_prefix)
