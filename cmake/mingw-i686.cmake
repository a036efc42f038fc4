# Cross-compiling parambridge.dll and its Windows tests for 32-bit x86.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
# SSE2 arithmetic for every target of the build (the DLL's libraries, the
# tests and the demo host alike): the x87 unit's precision is whatever the
# calling thread set, and at 64 bits it rounds twice. CMakeLists.txt adds
# these before it declares any target.
set(PB_TARGET_ARCH_FLAGS -msse2 -mfpmath=sse)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Everything runs under Wine, through a wrapper that brings up the display,
# the prefix and a warm wineserver first.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
