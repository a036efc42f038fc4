# cmake -DDLL=... -DLIMIT_KIB=... -P check-stripped-size.cmake
# Fails when the DLL, linked stripped of its symbols as it ships, is larger
# than LIMIT_KIB.
foreach(var DLL LIMIT_KIB)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check-stripped-size: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS ${DLL})
  message(FATAL_ERROR "check-stripped-size: ${DLL} is missing")
endif()
file(SIZE ${DLL} _bytes)
math(EXPR _limit "${LIMIT_KIB} * 1024")
math(EXPR _kib "(${_bytes} + 1023) / 1024")
get_filename_component(_name ${DLL} NAME)
if(_bytes GREATER _limit)
  message(FATAL_ERROR "${_name}: ${_bytes} bytes (${_kib} KiB), over the limit of ${LIMIT_KIB} KiB")
endif()
message(STATUS "${_name}: ${_bytes} bytes (${_kib} KiB), limit ${LIMIT_KIB} KiB")
