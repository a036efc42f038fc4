# The DLL, its Windows tests and the demo host, for i686 or x86-64 (what
# differs between the two is in dll-arch.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/dll-arch.cmake)

# The runtime goes into every binary, so that the DLL imports only system
# DLLs and the test programs run under a bare Wine prefix.
set(PB_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
# The transport, the whole-reply rules and the pin check beside it: CRYPT32 encodes the server's
# key info and hashes it (through BCRYPT, which it loads itself).
add_library(params_win32 STATIC
  params/transport_winhttp.cpp
  params/whole_reply_win32.cpp
  params/server_key_win32.cpp)
target_link_libraries(params_win32 PUBLIC params_core winhttp crypt32)

add_library(ui_win32 STATIC
  ui/window_class.cpp
  ui/window.cpp
  ui/controls.cpp)
target_include_directories(ui_win32 PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(ui_win32 PUBLIC user32)

# A DLL from these sources, with the fetch library `fetch` (which fixes the
# address and the pins), written to `dir` under its shipping name.
function(pb_add_dll target fetch dir)
  add_library(${target} SHARED
    ${PROJECT_SOURCE_DIR}/module/dllmain.cpp
    ${PROJECT_SOURCE_DIR}/module/exports_params.cpp
    ${PB_DLL_DEF})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${PB_DLL_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${dir})
  target_link_libraries(${target} PRIVATE ${fetch} params_win32 ui_win32)
  target_link_options(${target} PRIVATE ${PB_STATIC_RUNTIME} ${PB_DLL_LINK_OPTIONS})
endfunction()

pb_add_dll(parambridge params_fetch ${CMAKE_BINARY_DIR})
# The DLL as it ships, stripped, made with the build: the size test then
# needs no toolchain where it runs (the emulated guest has none).
add_custom_command(TARGET parambridge POST_BUILD
  COMMAND ${CMAKE_STRIP} --strip-all -o $<TARGET_FILE:parambridge>.stripped $<TARGET_FILE:parambridge>
  VERBATIM)

# A tree built for the stand-in on loopback also builds a pinned https DLL
# for the tests and the demo, keyed on the tree's own key.
include(${PROJECT_SOURCE_DIR}/cmake/loopback-tls.cmake)

add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tests/win32)
foreach(dir tests/fetch tests/ui)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/examples/demo/CMakeLists.txt)
  add_subdirectory(examples/demo)
endif()
