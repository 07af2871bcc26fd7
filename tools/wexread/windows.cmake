# wexread for Windows, cross-built with mingw-w64: CLI11, Boost (Asio, Beast),
# nlohmann-json and toml++ are header-only Debian packages of the build host. Their
# folders alone are put on the include path (through links in the build
# folder), never the host's /usr/include, whose C headers would shadow
# mingw's.
set(WEXREAD_HOST_INCLUDE /usr/include CACHE PATH
  "Where the build host's CLI11, Boost and nlohmann-json headers are")
set(_host_headers ${CMAKE_CURRENT_BINARY_DIR}/host-headers)
set(_missing "")
foreach(_folder CLI boost nlohmann toml++)
  if(EXISTS ${WEXREAD_HOST_INCLUDE}/${_folder})
    file(MAKE_DIRECTORY ${_host_headers})
    file(CREATE_LINK ${WEXREAD_HOST_INCLUDE}/${_folder} ${_host_headers}/${_folder} SYMBOLIC)
  else()
    list(APPEND _missing ${_folder})
  endif()
endforeach()

# std::thread and std::mutex: only the posix thread model of GCC 12 has them.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <mutex>\nint main() { std::mutex m; m.lock(); }"
  WEXREAD_HAVE_STD_MUTEX)

if(_missing)
  message(STATUS "wexread: ${_missing} not found in ${WEXREAD_HOST_INCLUDE} "
    "(libcli11-dev, libboost-dev, nlohmann-json3-dev, libtomlplusplus-dev); not built")
elseif(NOT WEXREAD_HAVE_STD_MUTEX)
  message(STATUS "wexread: this compiler has no std::thread (the win32 thread model); "
    "configure with -DWEXLINK_MINGW_THREADS=posix to build wexread.exe; not built")
else()
  set(CLI11_FOUND TRUE)
  set(Boost_FOUND TRUE)
  set(TOMLPLUSPLUS_FOUND TRUE)
  set(nlohmann_json_FOUND TRUE)
  foreach(_target CLI11::CLI11 Boost::headers nlohmann_json::nlohmann_json PkgConfig::TOMLPLUSPLUS)
    if(NOT TARGET ${_target})
      add_library(${_target} INTERFACE IMPORTED)
      target_include_directories(${_target} SYSTEM INTERFACE ${_host_headers})
    endif()
  endforeach()
  # Windows 7 and later for Asio; 64-bit file offsets; gmtime_r.
  target_compile_definitions(Boost::headers INTERFACE _WIN32_WINNT=0x0601 _FILE_OFFSET_BITS=64
    _POSIX_THREAD_SAFE_FUNCTIONS=200112L WIN32_LEAN_AND_MEAN
    NOMINMAX)
endif()

# The library wexread links. The 32-bit wexlink.dll exports the stdcall names
# as "_Initial@16" (what its callers bind by name), which is not the symbol a
# mingw caller's Initial@16 refers to: an import library of its own, made from
# the DLL's module-definition file, binds each function to that export name.
set(WEXREAD_WEXLINK wexlink::wexlink)
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT _missing AND WEXREAD_HAVE_STD_MUTEX)
  if(NOT CMAKE_DLLTOOL)
    string(REGEX REPLACE "-g\\+\\+[^/]*$" "-dlltool" _dlltool_guess ${CMAKE_CXX_COMPILER})
    find_program(CMAKE_DLLTOOL NAMES ${_dlltool_guess} REQUIRED)
  endif()
  set(_def ${PROJECT_SOURCE_DIR}/lib/src/platform/win32/wexlink.def)
  set(_caller_def ${CMAKE_CURRENT_BINARY_DIR}/wexlink-caller.def)
  set(_caller_lib ${CMAKE_CURRENT_BINARY_DIR}/libwexlink-caller.a)
  file(STRINGS ${_def} _exports REGEX "^ +_[A-Za-z]+@[0-9]+ = ")
  set(_lines "LIBRARY wexlink.dll\nEXPORTS\n")
  foreach(_line IN LISTS _exports)
    string(REGEX REPLACE "^ +(_([A-Za-z]+@[0-9]+)) = .*$" "  \\2 == \\1\n" _entry "${_line}")
    string(APPEND _lines "${_entry}")
  endforeach()
  file(GENERATE OUTPUT ${_caller_def} CONTENT "${_lines}")
  add_custom_command(OUTPUT ${_caller_lib}
    COMMAND ${CMAKE_DLLTOOL} -d ${_caller_def} -l ${_caller_lib} -D wexlink.dll
    DEPENDS ${_def} ${_caller_def}
    COMMENT "Import library of wexlink.dll for wexread" VERBATIM)
  add_custom_target(wexread_wexlink_import DEPENDS ${_caller_lib} wexlink)
  add_library(wexread_wexlink STATIC IMPORTED)
  set_target_properties(wexread_wexlink PROPERTIES IMPORTED_LOCATION ${_caller_lib}
    INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_SOURCE_DIR}/lib/include)
  add_dependencies(wexread_wexlink wexread_wexlink_import)
  set(WEXREAD_WEXLINK wexread_wexlink)
endif()
