# The product server's address and pins: every build-time check of them, in
# one place. Included by the configure step; run on its own (make dist does)
# with
#   cmake -DPRODUCT_SERVER_BASE_URL=URL -DPRODUCT_SERVER_PINS=PINS -P cmake/product-server.cmake
# A setting that cannot work, or that a pin cannot protect, ends with
# FATAL_ERROR; one that works but leaves the parameters open to whoever sits
# on the network path gives a WARNING that says so.
#
# "Loopback" is 127.0.0.0/8, localhost and [::1]: traffic that never leaves
# the machine.

function(pb_check_product_server url pins)
  set(form "http://host/ or https://host/path/, ending in '/'")
  if(NOT url MATCHES "^(https?)://([^/]*)/([^\"\\\\]*/)?$")
    message(FATAL_ERROR "PRODUCT_SERVER_BASE_URL must be ${form}, got '${url}'")
  endif()
  set(scheme ${CMAKE_MATCH_1})
  set(host "${CMAKE_MATCH_2}")
  if(host MATCHES "@")
    message(FATAL_ERROR "PRODUCT_SERVER_BASE_URL '${url}' has a user-info part ('...@'): "
                        "the DLL cannot send one; give the host alone")
  endif()
  if(host MATCHES "^\\[[0-9A-Fa-f:.]+\\]$")
    # An IPv6 address in brackets: its colons are not a port.
  elseif(host MATCHES ":")
    message(FATAL_ERROR "PRODUCT_SERVER_BASE_URL '${url}' names a port: the DLL always uses "
                        "443 for https and 80 for http (every fetch would fail); serve on that port")
  elseif(NOT host MATCHES "^[A-Za-z0-9._-]+$")
    message(FATAL_ERROR "PRODUCT_SERVER_BASE_URL must be ${form}, got '${url}' (host '${host}')")
  endif()

  if(NOT pins STREQUAL "" AND pins MATCHES "(^|;)(;|$)")
    message(FATAL_ERROR "PRODUCT_SERVER_PINS holds an empty entry: '${pins}'")
  endif()
  foreach(pin IN LISTS pins)
    # sha256// and the padded Base64 of 32 bytes (44 characters), whose last
    # character before '=' carries no spare bits.
    string(LENGTH "${pin}" length)
    if(NOT length EQUAL 52 OR NOT pin MATCHES "^sha256//[A-Za-z0-9+/]*[AEIMQUYcgkosw048]=$")
      message(FATAL_ERROR "PRODUCT_SERVER_PINS: '${pin}' is not a pin: each is sha256// and the "
                          "Base64 of a SHA-256 (44 characters), separated by ';' (make pin prints them)")
    endif()
  endforeach()

  if(host MATCHES "^127\\.[0-9]+\\.[0-9]+\\.[0-9]+$" OR host STREQUAL "localhost"
     OR host STREQUAL "[::1]")
    set(loopback TRUE)
  else()
    set(loopback FALSE)
  endif()
  if(scheme STREQUAL "http" AND NOT pins STREQUAL "")
    message(FATAL_ERROR "PRODUCT_SERVER_PINS with the http:// URL '${url}': a pin cannot protect "
                        "plain http; use https:// (or drop the pins)")
  endif()
  if(scheme STREQUAL "https" AND pins STREQUAL "")
    message(WARNING "PRODUCT_SERVER_BASE_URL '${url}' is https without PRODUCT_SERVER_PINS: "
                    "any certificate is accepted, so anyone on the network path (a hotel Wi-Fi, "
                    "a hijacked DNS answer, a compromised router) can answer the fetch, read "
                    "the account and set every parameter. Pin the server's key (make pin).")
  elseif(scheme STREQUAL "http" AND NOT loopback)
    message(WARNING "PRODUCT_SERVER_BASE_URL '${url}' is plain http to a host that is not "
                    "loopback: anyone on the network path can read the account and set every "
                    "parameter. Use https:// with PRODUCT_SERVER_PINS.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  pb_check_product_server("${PRODUCT_SERVER_BASE_URL}" "${PRODUCT_SERVER_PINS}")
endif()
