# Cross-builds the Windows program as the sites run it: 32-bit (x86), the
# architecture of the Firebird client their ERP installed.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_mingw i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
