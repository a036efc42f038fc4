# What differs between parambridge.dll (i686) and parambridge64.dll
# (x86-64): the file name, the export list handed to the linker, and the
# label of the Windows tests. Everything else is built from the same sources
# with the same options.
#
# module/parambridge.def is the one export list. Its "exported = internal"
# lines map the names callers import to the symbols the compiler made; on
# i686 a stdcall symbol carries @ and its argument bytes. x86-64 has one
# calling convention and no decoration, so for the 64-bit link the same
# list is rewritten with "@bytes" cut from each internal symbol ("func101 =
# func101" is then a plain line of its own). The exported names are never
# touched: `_GetLastErrorCode@0`, `_DllWndProc@16`... stand as
# they are in both DLLs.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PB_ARCH win64)
  set(PB_DLL_SUFFIX 64)
  set(PB_DLL_LINK_OPTIONS -Wl,--high-entropy-va)
  set(PB_DLL_SIZE_LIMIT_KIB 500)  # stripped, as it ships
else()
  set(PB_ARCH win32)
  set(PB_DLL_SUFFIX "")
  # Lets the .def name a stdcall symbol without its decoration.
  set(PB_DLL_LINK_OPTIONS -Wl,--enable-stdcall-fixup)
  set(PB_DLL_SIZE_LIMIT_KIB 400)
endif()

# pb_dll_def(dll_name out): the export list for a DLL named dll_name (no
# ".dll"), written to out: module/parambridge.def with its LIBRARY line
# naming the file, and for x86-64 the "@bytes" cut from each internal symbol.
function(pb_dll_def dll_name out)
  set(def_in ${PROJECT_SOURCE_DIR}/module/parambridge.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_in})
  file(READ ${def_in} def)
  if(NOT def MATCHES "\nLIBRARY[ \t]+parambridge\\.dll")
    message(FATAL_ERROR "${def_in}: no 'LIBRARY parambridge.dll' line to rename")
  endif()
  string(REGEX REPLACE "\nLIBRARY[ \t]+parambridge\\.dll" "\nLIBRARY ${dll_name}.dll" def "${def}")
  if(PB_ARCH STREQUAL "win64")
    string(REGEX REPLACE "=[ \t]*([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "= \\1" def "${def}")
  endif()
  file(CONFIGURE OUTPUT ${out} CONTENT
       "; Made by cmake/dll-arch.cmake from module/parambridge.def: edit that.\n${def}" @ONLY)
endfunction()

# The product's DLL: <name>.dll (i686) or <name>64.dll (x86-64).
set(PB_DLL_NAME ${PRODUCT_NAME}${PB_DLL_SUFFIX})
set(PB_DLL_DEF ${CMAKE_BINARY_DIR}/${PB_DLL_NAME}.def)
pb_dll_def(${PB_DLL_NAME} ${PB_DLL_DEF})
set(PB_DLL ${CMAKE_BINARY_DIR}/${PB_DLL_NAME}.dll)
# For the release tools (tools/dist.sh, tools/check-release): the file this
# tree ships, read from its cache.
set(PB_DLL_FILE ${PB_DLL_NAME}.dll CACHE INTERNAL "The DLL this tree ships")
