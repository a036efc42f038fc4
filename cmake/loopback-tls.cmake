# A loopback tree (its DLL posts to the product server on loopback over
# http) also builds pinned/<DLL>: the same DLL for
# https://127.0.0.1/parambridge/, pinned to the tree's own RSA key, its
# backup and an ECDSA P-256 key (tools/loopback-keys.sh, made here at the
# first configure and kept in tls/). The pinned tests and the demo use it;
# the servers serve tls/server.crt (or tls/ecdsa.crt). Nothing of the
# product's address or pins enters here.
include(${PROJECT_SOURCE_DIR}/tests/loopback.cmake)
if(NOT PB_LOOPBACK_TREE)
  return()
endif()

set(PB_TLS_DIR ${CMAKE_BINARY_DIR}/tls)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/loopback-keys.sh ${PB_TLS_DIR}
                OUTPUT_VARIABLE PB_TLS_PINS OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _keys_status)
if(NOT _keys_status EQUAL 0)
  message(FATAL_ERROR "tools/loopback-keys.sh could not make the loopback tree's keys in ${PB_TLS_DIR}")
endif()
pb_check_product_server("${PB_LOOPBACK_TLS_URL}" "${PB_TLS_PINS}")
pb_add_fetch_library(params_fetch_pinned "${PB_LOOPBACK_TLS_URL}" "${PB_TLS_PINS}")
pb_add_dll(parambridge_pinned FETCH params_fetch_pinned DIR ${CMAKE_BINARY_DIR}/pinned)
set(PB_PINNED_DLL ${CMAKE_BINARY_DIR}/pinned/${PB_DLL_NAME}.dll)
