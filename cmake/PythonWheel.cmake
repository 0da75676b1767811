# The Python package as a wheel for this build's platform, with the native library
# inside: build/windows makes merlox-<version>-py3-none-win_amd64.whl (MERLOX.dll and
# MERLOXSIM.dll), build/host merlox-<version>-py3-none-linux_x86_64.whl (libmerlox.so,
# simulated cards only). Debian's python3-build and hatchling, offline: no isolation.
#   merlox_python_wheel(<platform> <library target>...)
# sets MERLOX_PYTHON_WHEEL to the wheel's path and defines the target python_wheel.
set(MERLOX_PYTHON /usr/bin/python3 CACHE FILEPATH "Python interpreter with pytest")

function(merlox_python_wheel platform)
  set(directory ${CMAKE_BINARY_DIR}/wheels)
  set(wheel ${directory}/merlox-${PROJECT_VERSION}-py3-none-${platform}.whl)
  set(libraries "")
  foreach(target IN LISTS ARGN)
    list(APPEND libraries $<TARGET_FILE:${target}>)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/python/merlox/*)
  add_custom_command(
    OUTPUT ${wheel}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${wheel}
    COMMAND ${CMAKE_COMMAND} -E env MERLOX_WHEEL_PLATFORM=${platform}
            "MERLOX_WHEEL_LIBRARIES=$<JOIN:${libraries},:>" PYTHONDONTWRITEBYTECODE=1
            ${MERLOX_PYTHON} -m build --wheel --no-isolation --skip-dependency-check
            --outdir ${directory} ${PROJECT_SOURCE_DIR}/bindings/python > ${directory}.log
    DEPENDS ${ARGN} ${sources} ${PROJECT_SOURCE_DIR}/bindings/python/pyproject.toml
            ${PROJECT_SOURCE_DIR}/bindings/python/hatch_build.py
            ${PROJECT_SOURCE_DIR}/include/merlox.h
    COMMENT "Building the Python wheel for ${platform}")
  add_custom_target(python_wheel ALL DEPENDS ${wheel})
  set(MERLOX_PYTHON_WHEEL ${wheel} PARENT_SCOPE)
endfunction()
