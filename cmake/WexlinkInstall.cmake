# Install rules beyond the library's own (lib/CMakeLists.txt): the CMake
# package, wexlink.pc, the programs, the manual pages, Wexmon's desktop entry
# and icon, the example udev rule and the licence; then, in this project's own
# build, the Debian packages (WexlinkCPack.cmake).
#
# Components, one per Debian package:
#   runtime  libwexlink.so.1 and .so.1.0.0                   -> libwexlink1
#   dev      wexlink.h, libwexlink.so, CMake and pkg-config
#            files, wexlink(3)                               -> libwexlink-dev
#   wexmon   Wexmon, wexmon-launcher, their manual pages,
#            desktop entry, icon, example udev rule          -> wexmon
#   w316sim  the simulator and w316sim(1)                    -> w316sim
#   doc      LICENSE and README.md; plain installs only (a package has its
#            own copyright file)
# Each package's /usr/share/doc/<package>/copyright and changelog.Debian.gz are
# EXCLUDE_FROM_ALL: only a component install, which is what CPack does, puts
# them in.
include(CMakePackageConfigHelpers)

set(_wexlink_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/wexlink)

# ---- CMake package: find_package(wexlink 1.0) gives wexlink::wexlink --------
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/wexlinkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/wexlinkConfig.cmake
  INSTALL_DESTINATION ${_wexlink_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wexlinkConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(EXPORT wexlinkTargets
  NAMESPACE wexlink::
  DESTINATION ${_wexlink_cmake_dir}
  COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/wexlinkConfig.cmake ${PROJECT_BINARY_DIR}/wexlinkConfigVersion.cmake
  DESTINATION ${_wexlink_cmake_dir}
  COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT doc)

if(WIN32)
  # Wexmon.exe loads wexlink.dll from its own folder, where the library's
  # RUNTIME rule puts it too.
  if(TARGET Wexmon)
    install(TARGETS Wexmon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wexmon)
  endif()
  return()
endif()

# ---- wexlink.pc ----------------------------------------------------------------
# Written at install time, so that it names the prefix the files really go to
# (cmake --install --prefix P, or /usr inside a package), not the one this
# build was configured with.
set(_pc_template ${PROJECT_SOURCE_DIR}/cmake/wexlink.pc.in)
install(CODE "
  set(WEXLINK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  # One folder per destination: installs into several prefixes at once (the
  # tests do that) never share the file.
  string(SHA1 _where \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(_pc_output \"${PROJECT_BINARY_DIR}/pkgconfig/\${_where}/wexlink.pc\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(_libdir \"${CMAKE_INSTALL_LIBDIR}\")
  set(_includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
  if(IS_ABSOLUTE \"\${_libdir}\")
    set(WEXLINK_PC_LIBDIR \"\${_libdir}\")
  else()
    set(WEXLINK_PC_LIBDIR \"\\\${prefix}/\${_libdir}\")
    set(_libdir \"\${CMAKE_INSTALL_PREFIX}/\${_libdir}\")
  endif()
  if(IS_ABSOLUTE \"\${_includedir}\")
    set(WEXLINK_PC_INCLUDEDIR \"\${_includedir}\")
  else()
    set(WEXLINK_PC_INCLUDEDIR \"\\\${prefix}/\${_includedir}\")
  endif()
  configure_file(\"${_pc_template}\" \"\${_pc_output}\" @ONLY)
  file(INSTALL DESTINATION \"\${_libdir}/pkgconfig\" TYPE FILE FILES \"\${_pc_output}\")
" COMPONENT dev)

# ---- Manual pages and Debian changelogs, compressed as Debian ships them ------
find_program(WEXLINK_GZIP gzip)
set(_wexlink_gz_outputs)
# Compresses `source` to `output` (gzip -9n: no name or time stamp inside).
function(wexlink_gzip source output)
  get_filename_component(_dir ${output} DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" _plain ${output})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${_plain}
    COMMAND ${WEXLINK_GZIP} -9nf ${_plain}
    DEPENDS ${source}
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY WEXLINK_GZ_OUTPUTS ${output})
endfunction()

# Installs docs/man/<page> compressed into its section's folder.
function(wexlink_install_man page component)
  string(REGEX MATCH "[0-9]$" _section ${page})
  set(_gz ${PROJECT_BINARY_DIR}/man/man${_section}/${page}.gz)
  wexlink_gzip(${PROJECT_SOURCE_DIR}/docs/man/${page} ${_gz})
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section} COMPONENT ${component})
endfunction()

# The copyright file and the Debian changelog of one package (component
# installs only).
function(wexlink_debian_docs package component)
  set(_doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
  set(WEXLINK_DEB_PACKAGE ${package})
  set(_changelog ${PROJECT_BINARY_DIR}/debian/${package}/changelog.Debian)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${_changelog} @ONLY)
  wexlink_gzip(${_changelog} ${_changelog}.gz)
  install(FILES ${_changelog}.gz DESTINATION ${_doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${_doc} RENAME copyright
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

set(WEXLINK_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages (the part after the '-')")
set(WEXLINK_DEB_MAINTAINER "The wexlink project <wexlink@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")

wexlink_install_man(wexlink.3 dev)
wexlink_debian_docs(libwexlink1 runtime)
wexlink_debian_docs(libwexlink-dev dev)

if(TARGET Wexmon)
  install(TARGETS Wexmon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wexmon)
  wexlink_install_man(Wexmon.1 wexmon)
  # The launcher is installed like any program: its capability is given by
  # the package's post-install step, or by the administrator (wexmon-launcher(1)).
  set(WEXMON_DESKTOP_EXEC Wexmon)
  if(TARGET wexmon-launcher)
    install(TARGETS wexmon-launcher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT wexmon)
    wexlink_install_man(wexmon-launcher.1 wexmon)
    set(WEXMON_DESKTOP_EXEC wexmon-launcher)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/wexmon.desktop.in
    ${PROJECT_BINARY_DIR}/packaging/wexmon.desktop @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/wexmon.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT wexmon)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/wexmon.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT wexmon)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-w316.rules
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/wexmon/examples COMPONENT wexmon)
  wexlink_debian_docs(wexmon wexmon)
endif()

if(TARGET w316sim)
  install(TARGETS w316sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT w316sim)
  wexlink_install_man(w316sim.1 w316sim)
  wexlink_debian_docs(w316sim w316sim)
endif()

# wexread as a service: its manual page, the systemd unit (an instance per
# /etc/wexread/<name>.toml), an example config and the logrotate snippet. The
# snippet goes to /etc in the package only (a plain install into a prefix
# leaves /etc alone).
if(TARGET wexread)
  set(_gz ${PROJECT_BINARY_DIR}/man/man1/wexread.1.gz)
  wexlink_gzip(${PROJECT_SOURCE_DIR}/tools/wexread/wexread.1 ${_gz})
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT wexread)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/wexread@.service
    DESTINATION lib/systemd/system COMPONENT wexread)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/wexread/lab.toml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/wexread/examples COMPONENT wexread)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/wexread/logrotate DESTINATION /etc/logrotate.d
    RENAME wexread COMPONENT wexread EXCLUDE_FROM_ALL)
  wexlink_debian_docs(wexread wexread)
endif()

# The examples of the library's use, beside its development files.
install(FILES ${PROJECT_SOURCE_DIR}/examples/snapshot.c ${PROJECT_SOURCE_DIR}/examples/snapshot.py
  ${PROJECT_SOURCE_DIR}/examples/wexlink.py ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libwexlink-dev/examples COMPONENT dev)

get_property(_wexlink_gz_outputs GLOBAL PROPERTY WEXLINK_GZ_OUTPUTS)
add_custom_target(wexlink_install_docs ALL DEPENDS ${_wexlink_gz_outputs})

if(PROJECT_IS_TOP_LEVEL)
  include(WexlinkCPack)
endif()
