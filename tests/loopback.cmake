# The address of the servers the tests run on loopback (parambridge-server,
# or the tests' stand-in), which the tests that make the DLL post expect it
# to be built for. A tree is a loopback tree when its
# DLL posts there over http without pins; PB_LOOPBACK_BUILD is then true.
# Otherwise such a test would send its requests to the product's server, so
# it is not registered and `<name>` fails instead, saying why (`make test`
# always tests a DLL built for loopback).
set(PB_LOOPBACK_URL "http://127.0.0.1/parambridge/")
# The pinned DLL that a loopback tree builds beside its own (loopback-tls.cmake).
set(PB_LOOPBACK_TLS_URL "https://127.0.0.1/parambridge/")
if(PRODUCT_SERVER_BASE_URL STREQUAL PB_LOOPBACK_URL AND PRODUCT_SERVER_PINS STREQUAL "")
  set(PB_LOOPBACK_TREE TRUE)
else()
  set(PB_LOOPBACK_TREE FALSE)
endif()

function(pb_require_loopback_build name)
  if(PB_LOOPBACK_TREE)
    set(PB_LOOPBACK_BUILD TRUE PARENT_SCOPE)
    return()
  endif()
  set(PB_LOOPBACK_BUILD FALSE PARENT_SCOPE)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} -c
    "import sys; sys.exit('this tree\\'s DLL posts to ${PRODUCT_SERVER_BASE_URL} (pins: \\'${PRODUCT_SERVER_PINS}\\'): tests that post need a DLL built for ${PB_LOOPBACK_URL} without pins (make test builds one)')")
endfunction()
