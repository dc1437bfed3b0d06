# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix threads, for std::thread).
#   KESTRANE_WIN_PREFIX  the folder the static dependencies are installed into
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(PKG_CONFIG_EXECUTABLE ${_triplet}-pkg-config CACHE FILEPATH "The cross pkg-config")

# Passed on to try_compile projects, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRANE_WIN_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} ${KESTRANE_WIN_PREFIX})
foreach(_p IN LISTS CMAKE_PREFIX_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH ${_p})
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives first, so the programs need no DLLs beside them.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a .lib .dll.a)
set(ZLIB_LIBRARY /usr/${_triplet}/lib/libz.a CACHE FILEPATH "Static zlib")
set(ZLIB_INCLUDE_DIR /usr/${_triplet}/include CACHE PATH "zlib headers")

# One self-contained .exe: the C++ runtime and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run through wine (ctest, custom commands).
find_program(KESTRANE_WINE wine)
if(KESTRANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRANE_WINE})
endif()
