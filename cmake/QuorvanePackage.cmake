# Debian packages, one per install component of cmake/QuorvaneInstall.cmake,
# from one `cpack -G DEB` run in the build folder:
#
#   quorvane_<version>_<arch>.deb               programs, manual pages, service
#   quorvane-dbgsym_<version>_<arch>.ddeb       their debug information
#   libquorvane-dev_<version>_<arch>.deb        framework for developers
#
# The programs are stripped when they are packaged; their debug information
# goes to the dbgsym package under /usr/lib/debug/.build-id, where the
# debugger looks it up by the build ID that stays in each program.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "Quorvane developers")
set(CPACK_PACKAGE_CONTACT ${QUORVANE_CONTACT})
set(CPACK_PACKAGE_HOMEPAGE_URL ${QUORVANE_HOMEPAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVANE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUORVANE_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quorvane libquorvane-dev)

# Each description's first line is the package's synopsis. No summary is
# set for the project: CPack would put it in front of both descriptions.
set(CPACK_DEBIAN_QUORVANE_PACKAGE_NAME quorvane)
set(CPACK_DEBIAN_QUORVANE_PACKAGE_SECTION net)
string(JOIN "\n" CPACK_DEBIAN_QUORVANE_DESCRIPTION
  "console terminal client for a multi-operator log server"
  "Quorvane keeps one TCP session to a multi-operator log server, answers"
  "its login prompt and shares the session with an operator program"
  "through two plain files."
  ""
  "The package also holds a small demonstration log server and the"
  "operator-side command for the shared files.")
# The service's example configuration is a conffile; the maintainer
# scripts make the service's user and group and tell systemd of the unit.
set(CPACK_DEBIAN_QUORVANE_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_QUORVANE_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/QuorvaneDbgsym.cmake)
# Stack traces on fatal signals are taken through the debugger when it is
# there.
set(CPACK_DEBIAN_QUORVANE_PACKAGE_SUGGESTS gdb)
# Everything else the programs need is what they link, which dpkg-shlibdeps
# reads from them.
find_program(QUORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(QUORVANE_DPKG_SHLIBDEPS)
if(QUORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_QUORVANE_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_QUORVANE_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

set(CPACK_DEBIAN_LIBQUORVANE-DEV_PACKAGE_NAME libquorvane-dev)
set(CPACK_DEBIAN_LIBQUORVANE-DEV_PACKAGE_SECTION libdevel)
string(JOIN "\n" CPACK_DEBIAN_LIBQUORVANE-DEV_DESCRIPTION
  "event framework of the Quorvane terminal - development files"
  "Headers, static libraries and CMake package of the single-threaded"
  "event framework that the Quorvane programs are built on: a select main"
  "loop with timers, framed or raw TCP connections, a TCP server,"
  "descriptor watches, a CI-V serial bus driver with IC-706 transceiver"
  "objects and a configuration file reader."
  ""
  "A project uses it through find_package(Quorvane).")

# A source package takes the tree as checked out, not the build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.cache/")
include(CPack)
