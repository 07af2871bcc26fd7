# The Windows zip: both DLL widths and Wexmon.exe of each, the header, the
# README and the licence.
#
#   cmake -DCROSS_DIR=<dir> -DOUTPUT_DIR=<dir> -P cmake/WindowsZip.cmake
#
# CROSS_DIR holds the two mingw-w64 cross builds in win32/lib and win64/lib,
# the layout of <build>/wine-cross after `scripts/wine-test build`, which builds
# wexlink.dll and Wexmon.exe of both widths. Writes
# OUTPUT_DIR/wexlink-<version>-windows.zip:
#
#   wexlink-<version>-windows/
#     README.md  LICENSE  include/wexlink.h
#     x86/wexlink.dll  x86/Wexmon.exe     32-bit: stdcall, decorated names
#     x64/wexlink.dll  x64/Wexmon.exe     64-bit: plain names
#
# Wexmon.exe loads wexlink.dll from its own folder, so each width's folder
# runs as it is. A build without Wexmon.exe (configured with
# WEXLINK_BUILD_APP=OFF) gives a zip with the DLLs alone, and says so.
cmake_minimum_required(VERSION 3.22)
if(NOT CROSS_DIR OR NOT OUTPUT_DIR)
  message(FATAL_ERROR "usage: cmake -DCROSS_DIR=<dir> -DOUTPUT_DIR=<dir> -P WindowsZip.cmake")
endif()
get_filename_component(_source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
# Relative folders are taken from the current folder: the archive is written
# from inside the staging folder.
get_filename_component(CROSS_DIR ${CROSS_DIR} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
get_filename_component(OUTPUT_DIR ${OUTPUT_DIR} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})

# The version of the header, which the build checks against the project's.
file(STRINGS ${_source}/lib/include/wexlink.h _lines REGEX "^#define WEXLINK_VERSION_(MAJOR|MINOR|PATCH) ")
set(_version "")
foreach(_part MAJOR MINOR PATCH)
  string(REGEX MATCH "WEXLINK_VERSION_${_part} ([0-9]+)" _found "${_lines}")
  list(APPEND _version ${CMAKE_MATCH_1})
endforeach()
list(JOIN _version "." _version)

foreach(_width 32 64)
  if(NOT EXISTS ${CROSS_DIR}/win${_width}/lib/lib/wexlink.dll)
    message(FATAL_ERROR "no ${_width}-bit wexlink.dll in ${CROSS_DIR}/win${_width}/lib/lib: cross-build it first")
  endif()
endforeach()

set(_name wexlink-${_version}-windows)
set(_stage ${OUTPUT_DIR}/${_name}.stage)
file(REMOVE_RECURSE ${_stage})
file(MAKE_DIRECTORY ${_stage}/${_name}/include)
file(COPY ${_source}/README.md ${_source}/LICENSE DESTINATION ${_stage}/${_name})
file(COPY ${_source}/lib/include/wexlink.h DESTINATION ${_stage}/${_name}/include)

foreach(_width 32 64)
  if(_width EQUAL 32)
    set(_folder x86)
  else()
    set(_folder x64)
  endif()
  set(_build ${CROSS_DIR}/win${_width}/lib)
  file(COPY ${_build}/lib/wexlink.dll DESTINATION ${_stage}/${_name}/${_folder})
  if(EXISTS ${_build}/app/Wexmon.exe)
    file(COPY ${_build}/app/Wexmon.exe DESTINATION ${_stage}/${_name}/${_folder})
  else()
    message(WARNING "no ${_width}-bit Wexmon.exe in ${_build}/app: the zip has the DLL alone")
  endif()
endforeach()

# Sorted names and one time stamp: the same inputs give the same zip.
file(GLOB_RECURSE _files RELATIVE ${_stage} ${_stage}/${_name}/*)
list(SORT _files)
set(_zip ${OUTPUT_DIR}/${_name}.zip)
file(REMOVE ${_zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${_zip} --format=zip "--mtime=2026-01-01 00:00:00 UTC"
    ${_files}
  WORKING_DIRECTORY ${_stage}
  RESULT_VARIABLE _result)
file(REMOVE_RECURSE ${_stage})
if(NOT _result EQUAL 0)
  file(REMOVE ${_zip})
  message(FATAL_ERROR "could not write ${_zip}")
endif()
message(STATUS "Windows zip: ${_zip}")
