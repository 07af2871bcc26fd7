# Shared part of the mingw-w64 toolchain files: set _mingw_prefix (the target
# triplet) and CMAKE_SYSTEM_PROCESSOR, then include this file.
set(CMAKE_SYSTEM_NAME Windows)

# Prefer the compilers with the win32 thread model: the posix one would make the
# DLL depend on libwinpthread-1.dll. wexread.exe needs std::thread, which only
# the posix model has in this GCC: its cross build sets WEXLINK_MINGW_THREADS
# to posix (and links the thread library statically).
set(WEXLINK_MINGW_THREADS win32 CACHE STRING "Thread model of the mingw-w64 compilers (win32 or posix)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WEXLINK_MINGW_THREADS)
set(_mingw_threads ${WEXLINK_MINGW_THREADS})
if(NOT _mingw_threads)
  set(_mingw_threads win32)
endif()
find_program(_mingw_gcc NAMES ${_mingw_prefix}-gcc-${_mingw_threads} ${_mingw_prefix}-gcc REQUIRED)
find_program(_mingw_gxx NAMES ${_mingw_prefix}-g++-${_mingw_threads} ${_mingw_prefix}-g++ REQUIRED)
find_program(_mingw_windres NAMES ${_mingw_prefix}-windres REQUIRED)
set(CMAKE_C_COMPILER ${_mingw_gcc})
set(CMAKE_CXX_COMPILER ${_mingw_gxx})
set(CMAKE_RC_COMPILER ${_mingw_windres})

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
