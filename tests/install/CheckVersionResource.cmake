# merlox_check_version_resource(<binary> <major.minor.patch>): fails unless the
# Windows binary carries a version resource with this version, both in its fixed part
# (what Explorer shows as "File version") and as the FileVersion and ProductVersion
# strings.
function(merlox_check_version_resource binary version)
  # VS_FIXEDFILEINFO: signature 0xFEEF04BD, structure version, then the file version
  # as two 32-bit words, major<<16|minor and patch<<16|build, little-endian.
  file(READ "${binary}" hex HEX)
  string(FIND "${hex}" "bd04effe" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${binary} has no version resource")
  endif()
  math(EXPR at "${at} + 16")
  string(SUBSTRING "${hex}" ${at} 16 words)
  set(numbers "")
  foreach(offset 4 0 12 8)
    string(SUBSTRING "${words}" ${offset} 4 half)
    string(SUBSTRING "${half}" 0 2 low)
    string(SUBSTRING "${half}" 2 2 high)
    math(EXPR number "0x${high}${low}")
    list(APPEND numbers ${number})
  endforeach()
  list(JOIN numbers "." fixed)
  if(NOT fixed STREQUAL "${version}.0")
    message(FATAL_ERROR "${binary}: file version ${fixed} in its resource, not ${version}.0")
  endif()

  # Only the keys and the numbers: other strings of a binary may hold brackets, which
  # would join list elements.
  file(STRINGS "${binary}" texts ENCODING UTF-16LE
       REGEX "^(FileVersion|ProductVersion|[0-9][0-9.]*)$")
  foreach(key FileVersion ProductVersion)
    list(FIND texts "${key}" key_at)
    if(key_at EQUAL -1)
      message(FATAL_ERROR "${binary}: no ${key} in its version resource")
    endif()
    math(EXPR value_at "${key_at} + 1")
    list(GET texts ${value_at} value)
    if(NOT value STREQUAL version)
      message(FATAL_ERROR "${binary}: ${key} is \"${value}\", not \"${version}\"")
    endif()
  endforeach()
endfunction()
