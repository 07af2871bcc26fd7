# Cross-compiling for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(_mingw_prefix i686-w64-mingw32)

# Prefer the compilers with the win32 thread model: the posix one would make the
# DLL depend on libwinpthread-1.dll.
find_program(_mingw_gcc NAMES ${_mingw_prefix}-gcc-win32 ${_mingw_prefix}-gcc REQUIRED)
find_program(_mingw_gxx NAMES ${_mingw_prefix}-g++-win32 ${_mingw_prefix}-g++ REQUIRED)
find_program(_mingw_windres NAMES ${_mingw_prefix}-windres REQUIRED)
set(CMAKE_C_COMPILER ${_mingw_gcc})
set(CMAKE_CXX_COMPILER ${_mingw_gxx})
set(CMAKE_RC_COMPILER ${_mingw_windres})

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
