# Installation and packaging: the three programs, their manual pages, every
# layer's headers and static library, a CMake package for find_package and a
# Debian package built by CPack.
#
# Included at the end of the top-level CMakeLists.txt, so every target of
# the tree is defined when the rules below are made. A layer or program that
# is not there yet is simply left out.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library targets already name this folder in their INSTALL_INTERFACE;
# all headers share it because they include one another by bare file name.
set(QUORVANE_INSTALL_INCLUDEDIR include/quorvane)
set(QUORVANE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvane)

# Programs.
foreach(program quorvane quorvane-logserver quorvane-op)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${program}.1
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

# Layers, as Quorvane::<folder>. The export set must hold every layer that
# another exported layer links, so all of them go in together.
set(quorvane_layers lib framework config radio app)
set(quorvane_exported)
foreach(layer ${quorvane_layers})
  set(target quorvane_${layer})
  if(NOT TARGET ${target})
    continue()
  endif()
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${layer})
  # Objects built with the sanitizers call into their run-time libraries, so
  # an installed sanitizer build is only usable by programs linked with them.
  if(QUORVANE_SANITIZE OR QUORVANE_FUZZ)
    target_link_options(${target} INTERFACE
      $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
  endif()
  list(APPEND quorvane_exported ${target})

  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${layer}/*.h)
  if(headers)
    install(FILES ${headers} DESTINATION ${QUORVANE_INSTALL_INCLUDEDIR})
  endif()
endforeach()

if(quorvane_exported)
  foreach(target ${quorvane_exported})
    get_target_property(kind ${target} TYPE)
    if(kind STREQUAL "INTERFACE_LIBRARY")
      # A layer without sources yet names only its source folder as include
      # directory; the installed one has to name the installed headers.
      install(TARGETS ${target} EXPORT QuorvaneTargets
        INCLUDES DESTINATION ${QUORVANE_INSTALL_INCLUDEDIR})
    else()
      install(TARGETS ${target} EXPORT QuorvaneTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  endforeach()
  install(EXPORT QuorvaneTargets
    NAMESPACE Quorvane::
    DESTINATION ${QUORVANE_INSTALL_CMAKEDIR})

  configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/QuorvaneConfig.cmake.in
    ${PROJECT_BINARY_DIR}/QuorvaneConfig.cmake
    INSTALL_DESTINATION ${QUORVANE_INSTALL_CMAKEDIR})
  # Until the first 2.x release breaks the interfaces, any 1.x satisfies a
  # request for an earlier 1.x.
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/QuorvaneConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${PROJECT_BINARY_DIR}/QuorvaneConfig.cmake
    ${PROJECT_BINARY_DIR}/QuorvaneConfigVersion.cmake
    DESTINATION ${QUORVANE_INSTALL_CMAKEDIR})
endif()

# Debian package: everything above, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "Quorvane developers")
set(CPACK_PACKAGE_CONTACT "Quorvane developers <dev@quorvane.invalid>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://quorvane.invalid/")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console terminal client for a multi-operator log server")
# Control files keep the line breaks, so the text is wrapped here.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Quorvane keeps one TCP session to a multi-operator log server, answers"
  "its login prompt and shares the session with an operator program"
  "through two plain files."
  ""
  "The package also holds a small demonstration log server, the"
  "operator-side command for the shared files, and the headers, static"
  "libraries and CMake package of the event framework that the programs"
  "are built on.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane developers <dev@quorvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvane.invalid/")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Stack traces on fatal signals are taken through the debugger when it is
# there; nothing else is needed at run time beyond the C and C++ run-times.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS gdb)
find_program(QUORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(QUORVANE_DPKG_SHLIBDEPS)
if(QUORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# A source package takes the tree as checked out, not the build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.cache/")
include(CPack)

if(QUORVANE_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/install ${PROJECT_BINARY_DIR}/tests/install)
endif()
