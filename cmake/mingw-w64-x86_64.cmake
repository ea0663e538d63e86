# Cross-builds a 64-bit (x64) Windows program: an extra, for sites whose
# Firebird client is 64-bit. The sites' default is mingw-w64-i686.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_mingw x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
