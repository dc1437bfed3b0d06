# SPDX-License-Identifier: GPL-3.0-or-later
# The parts of the Windows build that are not found the Linux way.
# Boost.Regex needs no compiled library from 1.76 on; Debian's 1.81 headers sit
# in the dependency prefix together with CLI11's.
find_path(KESTRANE_WIN_INCLUDE boost/regex.hpp REQUIRED)
add_library(Boost::regex INTERFACE IMPORTED)
target_include_directories(Boost::regex SYSTEM INTERFACE ${KESTRANE_WIN_INCLUDE})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${KESTRANE_WIN_INCLUDE})
# GCC 12 at -O3 warns of overlapping copies inside std::string's operator+
# (GCC bug 105329), a false alarm from the standard library's own code.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
# std::filesystem on mingw; wide-character console and process calls.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00)
# The programs treat every byte string as UTF-8: the manifest makes it the
# process code page too, for libraries that call the narrow system functions.
set(KESTRANE_WIN_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/windows/kestrane.manifest)

# Gives a program the manifest (UTF-8 code page, long paths, current controls).
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/manifest.rc.in ${CMAKE_BINARY_DIR}/kestrane-manifest.rc @ONLY)
function(kestrane_windows_program target)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/kestrane-manifest.rc)
endfunction()

# pkg-config names only the libraries themselves; static archives also need
# what they link (zlib and libjpeg for qpdf, its crypto from the system).
function(kestrane_windows_static_deps)
  target_link_libraries(PkgConfig::QPDF INTERFACE ${QPDF_STATIC_LDFLAGS} advapi32)
endfunction()
