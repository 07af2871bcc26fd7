# The Windows installer of this width, built with makensis (Debian: nsis):
#
#   cmake --build <cross build> --target installer
#
# writes wexlink-<version>-<x86|x64>-setup.exe into the build folder. It installs
# into Program Files (the 64-bit one for x64) the files of WEXLINK_INSTALLER_FILES,
# makes the Start-menu shortcuts of WEXLINK_INSTALLER_SHORTCUTS, and registers
# an uninstaller under HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\wexlink
# (in the 64-bit registry view for x64, whose installer has a 64-bit stub and
# so runs where 32-bit programs cannot). Silent: setup.exe /S /D=DIR.
#
# A program or a shortcut more is one line in the lists below.
if(NOT WIN32)
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(WEXLINK_ARCH x64)
  set(NSIS_TARGET "Target amd64-unicode")
  set(NSIS_PROGRAM_FILES "$PROGRAMFILES64")
  set(NSIS_REG_VIEW "SetRegView 64")
else()
  set(WEXLINK_ARCH x86)
  set(NSIS_TARGET "")
  set(NSIS_PROGRAM_FILES "$PROGRAMFILES")
  set(NSIS_REG_VIEW "")
endif()
set(WEXLINK_PUBLISHER "The wexlink project")
set(WEXLINK_SETUP_FILE ${CMAKE_BINARY_DIR}/wexlink-${PROJECT_VERSION}-${WEXLINK_ARCH}-setup.exe)

# "<file to install>|<path in the installation folder>"
set(WEXLINK_INSTALLER_FILES
  "$<TARGET_FILE:Wexmon>|Wexmon.exe"
  "$<TARGET_FILE:wexlink>|wexlink.dll"
  "$<TARGET_LINKER_FILE:wexlink>|lib\\libwexlink.dll.a"
  "${PROJECT_SOURCE_DIR}/lib/include/wexlink.h|include\\wexlink.h"
  "${PROJECT_SOURCE_DIR}/README.md|README.md"
  "${PROJECT_SOURCE_DIR}/LICENSE|LICENSE.txt")
# "<shortcut name in the Start menu>|<program in the installation folder>|<arguments>"
set(WEXLINK_INSTALLER_SHORTCUTS
  "Wexmon|Wexmon.exe|")
# "<Internet shortcut name in the Start menu>|<address>"
set(WEXLINK_INSTALLER_LINKS "")

# wexread.exe comes from a cross build of its own (it needs the posix thread
# model of mingw-w64, Wexmon the win32 one): name it here to ship it, with a
# Start-menu entry that reads COM1 and serves the web page, and a link to
# that page.
set(WEXLINK_WEXREAD_EXE "" CACHE FILEPATH
  "wexread.exe of the posix-thread cross build, to put in the installer")
set(WEXLINK_WEXREAD_PORT 9316)
if(WEXLINK_WEXREAD_EXE)
  list(APPEND WEXLINK_INSTALLER_FILES "${WEXLINK_WEXREAD_EXE}|wexread.exe")
  list(APPEND WEXLINK_INSTALLER_SHORTCUTS
    "wexread (COM1, web page)|wexread.exe|--port 1 --listen 127.0.0.1:${WEXLINK_WEXREAD_PORT}")
  list(APPEND WEXLINK_INSTALLER_LINKS
    "wexread web page|http://localhost:${WEXLINK_WEXREAD_PORT}/")
endif()

set(NSIS_INSTALL_FILES "")
set(NSIS_UNINSTALL_FILES "")
set(_folders "")
foreach(_entry IN LISTS WEXLINK_INSTALLER_FILES)
  string(REPLACE "|" ";" _parts "${_entry}")
  list(GET _parts 0 _from)
  list(GET _parts 1 _to)
  string(REGEX MATCH "^(.*)\\\\[^\\\\]*$" _in_folder "${_to}")
  set(_folder "${CMAKE_MATCH_1}")
  if(_folder)
    string(APPEND NSIS_INSTALL_FILES "  SetOutPath \"$INSTDIR\\${_folder}\"\n")
    list(APPEND _folders "${_folder}")
  else()
    string(APPEND NSIS_INSTALL_FILES "  SetOutPath \"$INSTDIR\"\n")
  endif()
  string(APPEND NSIS_INSTALL_FILES "  File \"/oname=$INSTDIR\\${_to}\" \"${_from}\"\n")
  string(APPEND NSIS_UNINSTALL_FILES "  Delete \"$INSTDIR\\${_to}\"\n")
endforeach()
list(REMOVE_DUPLICATES _folders)
foreach(_folder IN LISTS _folders)
  string(APPEND NSIS_UNINSTALL_FILES "  RMDir \"$INSTDIR\\${_folder}\"\n")
endforeach()
string(APPEND NSIS_INSTALL_FILES "  SetOutPath \"$INSTDIR\"")

set(NSIS_INSTALL_SHORTCUTS "")
set(NSIS_UNINSTALL_SHORTCUTS "")
foreach(_entry IN LISTS WEXLINK_INSTALLER_SHORTCUTS)
  string(REPLACE "|" ";" _parts "${_entry}|")
  list(GET _parts 0 _name)
  list(GET _parts 1 _program)
  list(GET _parts 2 _arguments)
  string(APPEND NSIS_INSTALL_SHORTCUTS
    "  CreateShortcut \"$SMPROGRAMS\\wexlink\\${_name}.lnk\" \"$INSTDIR\\${_program}\" \"${_arguments}\"\n")
  string(APPEND NSIS_UNINSTALL_SHORTCUTS "  Delete \"$SMPROGRAMS\\wexlink\\${_name}.lnk\"\n")
endforeach()

foreach(_entry IN LISTS WEXLINK_INSTALLER_LINKS)
  string(REPLACE "|" ";" _parts "${_entry}")
  list(GET _parts 0 _name)
  list(GET _parts 1 _url)
  string(APPEND NSIS_INSTALL_SHORTCUTS
    "  WriteINIStr \"$SMPROGRAMS\\wexlink\\${_name}.url\" \"InternetShortcut\" \"URL\" \"${_url}\"\n")
  string(APPEND NSIS_UNINSTALL_SHORTCUTS "  Delete \"$SMPROGRAMS\\wexlink\\${_name}.url\"\n")
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/wexlink-installer.nsi.in
  ${CMAKE_BINARY_DIR}/installer/wexlink-installer.nsi.configured @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/installer/wexlink-installer.nsi
  INPUT ${CMAKE_BINARY_DIR}/installer/wexlink-installer.nsi.configured)

find_program(WEXLINK_MAKENSIS makensis)
if(WEXLINK_MAKENSIS)
  add_custom_command(OUTPUT ${WEXLINK_SETUP_FILE}
    COMMAND ${WEXLINK_MAKENSIS} -V2 -NOCD ${CMAKE_BINARY_DIR}/installer/wexlink-installer.nsi
    DEPENDS Wexmon wexlink ${CMAKE_BINARY_DIR}/installer/wexlink-installer.nsi ${WEXLINK_WEXREAD_EXE}
      ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
      ${PROJECT_SOURCE_DIR}/lib/include/wexlink.h
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/installer
    COMMENT "Windows installer ${WEXLINK_SETUP_FILE}"
    VERBATIM)
  add_custom_target(installer DEPENDS ${WEXLINK_SETUP_FILE})
else()
  add_custom_target(installer
    COMMAND ${CMAKE_COMMAND} -E echo "makensis is not installed (Debian: nsis): no installer"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
