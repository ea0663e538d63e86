# What both Windows toolchains share; each sets _mingw (the target triplet)
# and CMAKE_SYSTEM_PROCESSOR before including this file. MinGW-w64 with the
# posix thread model (std::thread), linked statically so quilvane.exe needs
# no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static zlib, not libz.dll.a.
set(ZLIB_LIBRARY /usr/${_mingw}/lib/libz.a CACHE FILEPATH "static zlib")
set(ZLIB_INCLUDE_DIR /usr/${_mingw}/include CACHE PATH "zlib headers")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows 7 and later (GetLocaleInfoEx, CancelIoEx).
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN)
