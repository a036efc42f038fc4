# The address of the stand-in server on loopback, which the tests that make
# the DLL post expect it to be built for. PB_LOOPBACK_BUILD is true when this
# tree's DLL is; otherwise such a test would send its requests to the
# product's server, so it is not registered and `<name>` fails instead,
# saying why (`make test` always tests a DLL built for loopback).
set(PB_LOOPBACK_URL "http://127.0.0.1/parambridge/")

function(pb_require_loopback_build name)
  if(PRODUCT_SERVER_BASE_URL STREQUAL PB_LOOPBACK_URL)
    set(PB_LOOPBACK_BUILD TRUE PARENT_SCOPE)
    return()
  endif()
  set(PB_LOOPBACK_BUILD FALSE PARENT_SCOPE)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} -c
    "import sys; sys.exit('this tree\\'s DLL posts to ${PRODUCT_SERVER_BASE_URL}: tests that post need a DLL built for ${PB_LOOPBACK_URL} (make test builds one)')")
endfunction()
