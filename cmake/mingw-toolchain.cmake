# Shared part of the mingw-w64 toolchain files: set _mingw_prefix (the target
# triplet) and CMAKE_SYSTEM_PROCESSOR, then include this file.
set(CMAKE_SYSTEM_NAME Windows)

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
