# The MerloxCards assembly (Card, exceptions, enums, Task waits, the simulator's
# declarations) compiled with Mono's mcs, and its NuGet package made with Debian's
# nuget, for this build's platform:
#   build/windows  MerloxCards.<version>.nupkg, with MERLOX.dll and MERLOXSIM.dll
#   build/host     MerloxCards.Development.<version>.nupkg, with libmerlox.so
#                  (simulated cards only), for development and CI on Linux
# The assembly is not called Merlox.dll: Windows file names ignore case, and it would
# take the place of MERLOX.dll beside the program.
#   merlox_csharp_package(<id> <runtime id> "<description>" <native library target>...)
# sets MERLOX_CSHARP_ASSEMBLY and MERLOX_NUGET_PACKAGE and defines csharp_package.
find_program(MERLOX_MCS mcs)
find_program(MERLOX_MONO mono)
find_program(MERLOX_NUGET nuget)

set(MERLOX_CSHARP_LIBRARY_SOURCES
  ${PROJECT_SOURCE_DIR}/bindings/csharp/Merlox.cs
  ${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxSim.cs
  ${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxStatus.cs
  ${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxTypes.cs
  ${PROJECT_SOURCE_DIR}/bindings/csharp/EventPump.cs
  ${PROJECT_SOURCE_DIR}/bindings/csharp/Card.cs)

function(merlox_csharp_package id rid description)
  set(directory ${CMAKE_BINARY_DIR}/csharp)
  set(assembly ${directory}/MerloxCards.dll)
  add_custom_command(
    OUTPUT ${assembly} ${assembly}.config
    COMMAND ${CMAKE_COMMAND} -E make_directory ${directory}
    COMMAND ${MERLOX_MCS} -warnaserror -target:library -out:${assembly}
            ${MERLOX_CSHARP_LIBRARY_SOURCES}
    COMMAND ${CMAKE_COMMAND} -E copy
            ${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxCards.dll.config ${assembly}.config
    DEPENDS ${MERLOX_CSHARP_LIBRARY_SOURCES}
            ${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxCards.dll.config
    COMMENT "Compiling the MerloxCards assembly")

  set(MERLOX_NUGET_ID ${id})
  set(MERLOX_NUGET_RID ${rid})
  set(MERLOX_NUGET_DESCRIPTION "${description}")
  set(targets ${directory}/${id}.targets)
  configure_file(${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxCards.targets.in ${targets} @ONLY)
  # The package manifest (NuGet names it .nuspec), made from its template.
  configure_file(${PROJECT_SOURCE_DIR}/bindings/csharp/MerloxCards.nuget.in
                 ${directory}/${id}.nuspec @ONLY)

  # The package's layout is staged first: this nuget takes relative paths only.
  set(stage ${directory}/package)
  set(natives "")
  foreach(target IN LISTS ARGN)
    list(APPEND natives $<TARGET_FILE:${target}>)
  endforeach()
  set(package ${CMAKE_BINARY_DIR}/nuget/${id}.${PROJECT_VERSION}.nupkg)
  add_custom_command(
    OUTPUT ${package}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/lib/net45 ${stage}/build
            ${stage}/runtimes/${rid}/native ${CMAKE_BINARY_DIR}/nuget
    COMMAND ${CMAKE_COMMAND} -E copy ${assembly} ${assembly}.config ${stage}/lib/net45
    COMMAND ${CMAKE_COMMAND} -E copy ${targets} ${stage}/build
    COMMAND ${CMAKE_COMMAND} -E copy ${natives} ${stage}/runtimes/${rid}/native
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${stage}/LICENSE.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${stage}
    COMMAND ${MERLOX_NUGET} pack ${directory}/${id}.nuspec -OutputDirectory
            ${CMAKE_BINARY_DIR}/nuget -NoPackageAnalysis -NonInteractive > ${directory}/pack.log
    DEPENDS ${assembly} ${assembly}.config ${directory}/${id}.nuspec ${targets}
            ${ARGN} ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    COMMENT "Packing ${id}.${PROJECT_VERSION}.nupkg")
  add_custom_target(csharp_package ALL DEPENDS ${package})
  set(MERLOX_CSHARP_ASSEMBLY ${assembly} PARENT_SCOPE)
  set(MERLOX_NUGET_PACKAGE ${package} PARENT_SCOPE)
endfunction()
