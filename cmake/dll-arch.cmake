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
  set(PB_DLL_NAME parambridge64)
  set(PB_DLL_DEF ${CMAKE_BINARY_DIR}/parambridge64.def)
  set(PB_DLL_LINK_OPTIONS -Wl,--high-entropy-va)
  set(PB_DLL_SIZE_LIMIT_KIB 500)  # stripped, as it ships
  set(_def_in ${PROJECT_SOURCE_DIR}/module/parambridge.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_def_in})
  file(READ ${_def_in} _def)
  string(REGEX REPLACE "\nLIBRARY[ \t]+parambridge\\.dll" "\nLIBRARY parambridge64.dll" _def "${_def}")
  string(REGEX REPLACE "=[ \t]*([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "= \\1" _def "${_def}")
  if(NOT _def MATCHES "\nLIBRARY parambridge64\\.dll")
    message(FATAL_ERROR "${_def_in}: no 'LIBRARY parambridge.dll' line to rename")
  endif()
  file(CONFIGURE OUTPUT ${PB_DLL_DEF} CONTENT
       "; Made by cmake/dll-arch.cmake from module/parambridge.def: edit that.\n${_def}" @ONLY)
else()
  set(PB_ARCH win32)
  set(PB_DLL_NAME parambridge)
  set(PB_DLL_DEF ${PROJECT_SOURCE_DIR}/module/parambridge.def)
  # Lets the .def name a stdcall symbol without its decoration.
  set(PB_DLL_LINK_OPTIONS -Wl,--enable-stdcall-fixup)
  set(PB_DLL_SIZE_LIMIT_KIB 400)
endif()
set(PB_DLL ${CMAKE_BINARY_DIR}/${PB_DLL_NAME}.dll)
