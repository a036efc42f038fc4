# The DLL, its Windows tests and the demo host, for i686 or x86-64 (what
# differs between the two is in dll-arch.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/dll-arch.cmake)

# The runtime goes into every binary, so that the DLL imports only system
# DLLs and the test programs run under a bare Wine prefix.
set(PB_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
enable_language(RC)
# The transport, the whole-reply rules and the pin check beside it: CRYPT32
# encodes the server's key info and hashes it (through BCRYPT, which it loads
# itself).
add_library(params_win32 STATIC
  params/transport_winhttp.cpp
  params/whole_reply_win32.cpp
  params/server_key_win32.cpp)
target_link_libraries(params_win32 PUBLIC params_core winhttp crypt32)

# pb_add_ui_library(target class): the window toolkit, registering the
# window class `class`.
function(pb_add_ui_library target class)
  add_library(${target} STATIC
    ${PROJECT_SOURCE_DIR}/ui/window_class.cpp
    ${PROJECT_SOURCE_DIR}/ui/window.cpp
    ${PROJECT_SOURCE_DIR}/ui/controls.cpp)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${target} PUBLIC "PB_WINDOW_CLASS=\"${class}\"")
  target_link_libraries(${target} PUBLIC user32)
endfunction()
# "KUI" for the default name; a named build's own class.
if(PRODUCT_NAME STREQUAL "parambridge")
  set(PB_WINDOW_CLASS "KUI")
else()
  set(PB_WINDOW_CLASS "KUI.${PRODUCT_NAME}")
endif()
pb_add_ui_library(ui_win32 ${PB_WINDOW_CLASS})

# The version resource's vendor fields.
set(PRODUCT_COMPANY "" CACHE STRING "CompanyName in the DLLs' version resource (the vendor)")
set(PRODUCT_COPYRIGHT "" CACHE STRING "LegalCopyright in the DLLs' version resource")
set(PB_FILE_DESCRIPTION "Parameters from the product server, and a small window toolkit, for MetaTrader programs")
# An rc string doubles its quotes; a line break cannot stand in one.
foreach(_var PRODUCT_COMPANY PRODUCT_COPYRIGHT PB_FILE_DESCRIPTION)
  if(${_var} MATCHES "[\r\n]")
    message(FATAL_ERROR "${_var} must be one line")
  endif()
  string(REPLACE "\"" "\"\"" PB_RC_${_var} "${${_var}}")
endforeach()

# pb_version_rc(product dll_name product_version out): the version resource
# of <dll_name>.dll: FileVersion the project's, ProductName `product`,
# ProductVersion `product_version` (one to four numbers).
function(pb_version_rc product dll_name product_version out)
  set(PB_RC_PRODUCT_NAME ${product})
  set(PB_RC_DLL_NAME ${dll_name})
  set(PB_RC_PRODUCT_VERSION ${product_version})
  string(REPLACE "." ";" parts "${product_version}.0.0.0")
  list(SUBLIST parts 0 4 parts)
  string(REPLACE ";" "," PB_RC_PRODUCT_VERSION_COMMAS "${parts}")
  configure_file(${PROJECT_SOURCE_DIR}/module/version.rc.in ${out} @ONLY)
endfunction()
pb_version_rc(${PRODUCT_NAME} ${PB_DLL_NAME} ${PB_PRODUCT_VERSION} ${CMAKE_BINARY_DIR}/version.rc)

# pb_add_dll(target FETCH lib DIR dir [UI lib] [DEF file] [RC file] [NAME n]
#            [EXCLUDE_FROM_ALL]): a DLL from these sources, with the fetch
# library `lib` (which fixes the address and the pins), written to `dir` as
# <n>.dll (default: the product's DLL, its toolkit, export list and version
# resource). Linked as it ships: stripped (the tests load this very file),
# with no time stamp in its headers, ASLR (high-entropy on x86-64) and NX, and
# the default image base (ld would otherwise derive one from the output path).
function(pb_add_dll target)
  cmake_parse_arguments(A "EXCLUDE_FROM_ALL" "FETCH;DIR;UI;DEF;RC;NAME" "" ${ARGN})
  if(NOT A_UI)
    set(A_UI ui_win32)
  endif()
  if(NOT A_DEF)
    set(A_DEF ${PB_DLL_DEF})
  endif()
  if(NOT A_RC)
    set(A_RC ${CMAKE_BINARY_DIR}/version.rc)
  endif()
  if(NOT A_NAME)
    set(A_NAME ${PB_DLL_NAME})
  endif()
  set(exclude)
  if(A_EXCLUDE_FROM_ALL)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_library(${target} SHARED ${exclude}
    ${PROJECT_SOURCE_DIR}/module/dllmain.cpp
    ${PROJECT_SOURCE_DIR}/module/exports_params.cpp
    ${PROJECT_SOURCE_DIR}/module/worker_win32.cpp
    ${A_DEF}
    ${A_RC})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${A_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${A_DIR})
  target_link_libraries(${target} PRIVATE ${A_FETCH} params_win32 ${A_UI})
  target_link_options(${target} PRIVATE ${PB_STATIC_RUNTIME} ${PB_DLL_LINK_OPTIONS}
    -s -Wl,--no-insert-timestamp -Wl,--disable-auto-image-base -Wl,--dynamicbase -Wl,--nxcompat)
endfunction()

pb_add_dll(parambridge FETCH params_fetch DIR ${CMAKE_BINARY_DIR})
# The twin is the same DLL linked again from objects compiled in another
# folder, at another time: make test compares the two (tools/check-release).
pb_add_dll(parambridge_twin FETCH params_fetch DIR ${CMAKE_BINARY_DIR}/twin EXCLUDE_FROM_ALL)

# A copy signed with a throwaway certificate (made once per build tree), for
# the ABI checks on a signed DLL; tools/check-release verifies it.
set(PB_SIGNED_DLL ${CMAKE_BINARY_DIR}/signed/${PB_DLL_NAME}.dll)
add_custom_command(OUTPUT ${PB_SIGNED_DLL}
  COMMAND ${PROJECT_SOURCE_DIR}/tools/make-test-signer ${CMAKE_BINARY_DIR}/test-signer
  COMMAND ${CMAKE_COMMAND} -E env SIGN_CERT=${CMAKE_BINARY_DIR}/test-signer/signer.pem
          SIGN_KEY=${CMAKE_BINARY_DIR}/test-signer/signer.key
          ${PROJECT_SOURCE_DIR}/tools/sign-dll $<TARGET_FILE:parambridge> ${PB_SIGNED_DLL}
  DEPENDS parambridge ${PROJECT_SOURCE_DIR}/tools/sign-dll ${PROJECT_SOURCE_DIR}/tools/make-test-signer
  VERBATIM)
add_custom_target(parambridge_signed ALL DEPENDS ${PB_SIGNED_DLL})
set(PB_SHIPPED_DLL "" CACHE FILEPATH
    "The product's DLL, built for another server, on which this tree runs the checks that need no server")

# A tree built for the servers on loopback also builds a pinned https DLL
# for the tests and the demo, keyed on the tree's own keys.
include(${PROJECT_SOURCE_DIR}/cmake/loopback-tls.cmake)

add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tests/win32)
foreach(dir tests/fetch tests/ui bench/win)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/examples/demo/CMakeLists.txt)
  add_subdirectory(examples/demo)
endif()
