# Debian packages from the install rules (WexlinkInstall.cmake), split as
# Debian splits a library and its programs:
#   libwexlink1     the runtime library                       (component runtime)
#   libwexlink-dev  header, link, CMake and pkg-config files  (component dev)
#   wexmon          Wexmon and wexmon-launcher                (component wexmon)
#   w316sim         the module simulator                      (component w316sim)
#   wexread         the logger and exporter, its systemd unit (component wexread)
#
#   cmake --build build && (cd build && cpack -G DEB)
#
# Configure with -DCMAKE_INSTALL_PREFIX=/usr to get Debian's multiarch library
# folder (/usr/lib/<triplet>); with the default prefix the library goes to
# /usr/lib, which the dynamic linker searches as well.
set(CPACK_PACKAGE_NAME wexlink)
set(CPACK_PACKAGE_VENDOR "The wexlink project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${WEXLINK_DEB_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed with DESTDIR into the staging folder and prefix /usr, so that
# what the install step writes down (wexlink.pc's prefix) is /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET Wexmon)
  list(APPEND CPACK_COMPONENTS_ALL wexmon)
endif()
if(TARGET w316sim)
  list(APPEND CPACK_COMPONENTS_ALL w316sim)
endif()
if(TARGET wexread)
  list(APPEND CPACK_COMPONENTS_ALL wexread)
endif()
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_WEXMON_DEPENDS runtime)
set(CPACK_COMPONENT_WEXREAD_DEPENDS runtime)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${WEXLINK_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WEXLINK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on shared libraries (libc, libstdc++, Qt) computed with
# dpkg-shlibdeps; the ones on the other packages of this set from the
# component dependencies above, at the same version. Wexmon loads
# libwexlink.so.1 at run time, so only the component dependency names it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# wexread links libwexlink.so.1, which is not installed here: dpkg-shlibdeps
# finds it in the build (and the component dependency names its package).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libwexlink1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "W316 temperature module data acquisition - shared library
wexlink reads W316 serial temperature modules (8 channels each, up to 32
modules on one line) through a flat C data-acquisition card interface:
continuous and snapshot runs polled by a periodic timer, notifications,
and I/O-port access.")
# A shlibs file names this package for libwexlink.so.1 (versions from this
# one on), and the ldconfig trigger refreshes the linker's cache. (CPack adds
# an ldconfig call to postinst and postrm as well: lintian warns about that,
# and it is harmless.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/libwexlink1/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libwexlink-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "W316 temperature module data acquisition - development files
The header wexlink.h (which documents every function, code and record),
the link libwexlink.so, the CMake package (find_package(wexlink)), the
pkg-config file wexlink.pc, the manual page wexlink(3) and examples in C
and Python.")

set(CPACK_DEBIAN_WEXMON_PACKAGE_NAME wexmon)
set(CPACK_DEBIAN_WEXMON_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_WEXMON_DESCRIPTION
  "W316 temperature module operator program
Wexmon starts and stops acquisition of one W316 module, shows its eight
temperatures once a second in two windows and switches eight relays
through I/O port 256. wexmon-launcher, the only file with a capability,
opens that port to Wexmon and drops every privilege before it runs it;
only root and the members of the group wexmon-relays may run it.")
if(TARGET wexmon-launcher)
  # setcap for the post-install step.
  # setcap for the post-install step; groupadd and groupdel (passwd) for its
  # group when installed into another root.
  set(CPACK_DEBIAN_WEXMON_PACKAGE_DEPENDS "libcap2-bin, passwd")
  set(WEXMON_LAUNCHER_INSTALLED ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/wexmon-launcher)
  foreach(_script postinst postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/wexmon.${_script}.in
      ${PROJECT_BINARY_DIR}/packaging/wexmon/${_script} @ONLY)
  endforeach()
  set(CPACK_DEBIAN_WEXMON_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/wexmon/postinst
    ${PROJECT_BINARY_DIR}/packaging/wexmon/postrm)
endif()

set(CPACK_DEBIAN_W316SIM_PACKAGE_NAME w316sim)
set(CPACK_DEBIAN_W316SIM_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_W316SIM_DESCRIPTION
  "W316 temperature module simulator
w316sim simulates 1 to 32 W316 modules on a pseudo-terminal or a serial
device, with fixed, ramped or noisy temperatures and faults switched on
demand, so that programs using wexlink run without hardware.")

set(CPACK_DEBIAN_WEXREAD_PACKAGE_NAME wexread)
set(CPACK_DEBIAN_WEXREAD_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_WEXREAD_DESCRIPTION
  "W316 temperature module logger and exporter
wexread reads W316 modules through libwexlink1 and writes every row as CSV,
JSON lines or InfluxDB line protocol, serves Prometheus metrics and a live
web page, and runs as a hardened systemd service (wexread@NAME, configured
by /etc/wexread/NAME.toml) with channel names, calibration and units.")
set(CPACK_DEBIAN_WEXREAD_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/wexread/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/wexread/postinst ${PROJECT_SOURCE_DIR}/packaging/wexread/postrm)

include(CPack)
