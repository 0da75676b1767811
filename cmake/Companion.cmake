# MERLOXSIM.dll: the simulated driver and system recorder behind the C interface of
# include/merloxsim.h, for applications' own tests. Never shipped with an
# application; it points an already loaded MERLOX.dll at itself.
add_library(MERLOXSIM SHARED sim/SimControlApi.cpp ${PROJECT_SOURCE_DIR}/sim/MERLOXSIM.def)
merlox_sim_target(MERLOXSIM)
set_target_properties(MERLOXSIM PROPERTIES PREFIX "" OUTPUT_NAME MERLOXSIM IMPORT_PREFIX "lib"
                                           IMPORT_SUFFIX ".dll.a")
# Like MERLOX.dll, it loads on a bare system: the compiler's runtime is linked in.
target_link_options(MERLOXSIM PRIVATE -static-libgcc -static-libstdc++ -static)
target_link_libraries(MERLOXSIM PRIVATE merlox_sim)
merlox_version_resource(MERLOXSIM "MERLOX simulated cards for applications' tests")

# The Wine tests load it from beside the test program.
add_dependencies(merlox_wine_tests MERLOXSIM)

add_test(NAME companion_dll
         COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:MERLOXSIM>
                 -DDEF=${PROJECT_SOURCE_DIR}/sim/MERLOXSIM.def
                 -DOBJDUMP=x86_64-w64-mingw32-objdump
                 -P ${PROJECT_SOURCE_DIR}/tests/windows/CheckCompanionDll.cmake)
