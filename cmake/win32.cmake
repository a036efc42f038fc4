# parambridge.dll, its Windows tests and the demo host, all for 32-bit x86.

# The runtime goes into every binary, so that the DLL imports only system
# DLLs and the test programs run under a bare Wine prefix.
set(PB_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
add_library(params_win32 STATIC params/transport_winhttp.cpp)
target_link_libraries(params_win32 PUBLIC params_core winhttp)

add_library(ui_win32 STATIC
  ui/window_class.cpp
  ui/window.cpp
  ui/controls.cpp)
target_include_directories(ui_win32 PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(ui_win32 PUBLIC user32)

add_library(parambridge SHARED
  module/dllmain.cpp
  module/exports_params.cpp
  module/parambridge.def)
set_target_properties(parambridge PROPERTIES PREFIX "" OUTPUT_NAME parambridge)
target_link_libraries(parambridge PRIVATE params_fetch params_win32 ui_win32)
target_link_options(parambridge PRIVATE ${PB_STATIC_RUNTIME} -Wl,--enable-stdcall-fixup)

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
