# Installation: the three programs with their manual pages, and the
# framework (every layer's headers and static library, and a CMake package
# for find_package), each with its copyright and changelog. The install
# components are the Debian packages that cmake/QuorvanePackage.cmake makes:
#
#   quorvane         the programs and their manual pages, and the terminal's
#                    systemd service
#   libquorvane-dev  the framework, in the library folder of a /usr install
#   dev              the framework, in the library folder of this tree's
#                    prefix; only when that differs from the package's
#
# Included at the end of the top-level CMakeLists.txt, so every target of
# the tree is defined when the rules below are made. A layer or program that
# is not there yet is simply left out.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library targets already name this folder in their INSTALL_INTERFACE;
# all headers share it because they include one another by bare file name.
set(QUORVANE_INSTALL_INCLUDEDIR include/quorvane)

# The packages always install under /usr, where Debian keeps libraries in
# its multiarch folder. GNUInstallDirs picks that folder only when the tree
# itself is configured for /usr, so for any other prefix (the default is
# /usr/local) the package's folder is worked out here the same way.
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" OR NOT CMAKE_LIBRARY_ARCHITECTURE)
  set(QUORVANE_PACKAGE_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  set(QUORVANE_PACKAGE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

# Documents that every package carries, made in the build: the copyright
# file in Debian's machine-readable form, written from LICENSE, and the
# changelog and manual pages compressed as Debian wants them (maximum
# compression, no file name or time stamp, so a rebuild gives the same
# bytes).
set(QUORVANE_CONTACT "Quorvane developers <dev@quorvane.invalid>")
set(QUORVANE_HOMEPAGE "https://quorvane.invalid/")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
# LICENSE is the copyright notice, a blank line and the licence text.
if(NOT license MATCHES "^Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE does not start with a 'Copyright (c) ...' line and a blank line")
endif()
set(QUORVANE_COPYRIGHT ${CMAKE_MATCH_1})
# In the copyright file the text is indented by one space, with " ." for an
# empty line.
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${CMAKE_MATCH_2}")
string(REGEX REPLACE "\n" "\n " license_text " ${license_text}")
set(QUORVANE_LICENSE_TEXT ${license_text})
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in
  ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)

find_program(QUORVANE_GZIP gzip REQUIRED)
mark_as_advanced(QUORVANE_GZIP)
# quorvane_compress(SOURCE OUTPUT): OUTPUT is SOURCE compressed.
function(quorvane_compress source output)
  string(REGEX REPLACE "\\.gz$" "" copy ${output})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${QUORVANE_GZIP} -9nf ${copy}
    DEPENDS ${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()

set(quorvane_documents ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
quorvane_compress(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
set(quorvane_programs)
foreach(program quorvane quorvane-logserver quorvane-op)
  if(TARGET ${program})
    list(APPEND quorvane_programs ${program})
    quorvane_compress(${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
    list(APPEND quorvane_documents ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
  endif()
endforeach()
add_custom_target(quorvane_documents ALL DEPENDS ${quorvane_documents})

# quorvane_install_docs(PACKAGE COMPONENT [EXCLUDE_FROM_ALL])
function(quorvane_install_docs package component)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} ${ARGN})
endfunction()

# Programs.
foreach(program ${quorvane_programs})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quorvane)
  install(FILES ${PROJECT_BINARY_DIR}/man/${program}.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT quorvane)
endforeach()
if(quorvane_programs)
  quorvane_install_docs(quorvane quorvane)
endif()

# The terminal as a systemd service: the template unit, the user and group
# it runs as, and an example of an instance's configuration. The unit and
# the sysusers entry go below the prefix, where systemd also looks in
# /usr/local; the example goes to /etc, where the unit reads configurations,
# and only into the package: a plain install writes nothing outside its
# prefix.
if(TARGET quorvane)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvane@.service DESTINATION lib/systemd/system COMPONENT quorvane)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvane.sysusers DESTINATION lib/sysusers.d RENAME quorvane.conf COMPONENT quorvane)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/example.conf DESTINATION /etc/quorvane COMPONENT quorvane EXCLUDE_FROM_ALL)
endif()

# Layers, as Quorvane::<folder>. The export set must hold every layer that
# another exported layer links, so all of them go in together.
set(quorvane_exported)
set(quorvane_headers)
foreach(layer lib framework config radio app)
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
  list(APPEND quorvane_headers ${headers})
endforeach()

# quorvane_install_framework(COMPONENT LIBDIR [EXCLUDE_FROM_ALL]): headers,
# libraries in LIBDIR and the CMake package beside them, as one component.
# The CMake package finds the libraries by a path relative to its own
# folder, so each library folder needs a package of its own.
function(quorvane_install_framework component libdir)
  set(cmakedir ${libdir}/cmake/Quorvane)
  set(export QuorvaneTargets-${component})
  foreach(target ${quorvane_exported})
    get_target_property(kind ${target} TYPE)
    if(kind STREQUAL "INTERFACE_LIBRARY")
      # A layer without sources yet names only its source folder as include
      # directory; the installed one has to name the installed headers.
      install(TARGETS ${target} EXPORT ${export}
        INCLUDES DESTINATION ${QUORVANE_INSTALL_INCLUDEDIR})
    else()
      install(TARGETS ${target} EXPORT ${export}
        ARCHIVE DESTINATION ${libdir} COMPONENT ${component} ${ARGN})
    endif()
  endforeach()
  if(quorvane_headers)
    install(FILES ${quorvane_headers} DESTINATION ${QUORVANE_INSTALL_INCLUDEDIR}
      COMPONENT ${component} ${ARGN})
  endif()
  install(EXPORT ${export}
    FILE QuorvaneTargets.cmake
    NAMESPACE Quorvane::
    DESTINATION ${cmakedir}
    COMPONENT ${component} ${ARGN})

  set(generated ${PROJECT_BINARY_DIR}/cmake/${component})
  configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/QuorvaneConfig.cmake.in
    ${generated}/QuorvaneConfig.cmake
    INSTALL_DESTINATION ${cmakedir})
  # Until the first 2.x release breaks the interfaces, any 1.x satisfies a
  # request for an earlier 1.x.
  write_basic_package_version_file(
    ${generated}/QuorvaneConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES ${generated}/QuorvaneConfig.cmake ${generated}/QuorvaneConfigVersion.cmake
    DESTINATION ${cmakedir}
    COMPONENT ${component} ${ARGN})
  quorvane_install_docs(libquorvane-dev ${component} ${ARGN})
endfunction()

if(quorvane_exported)
  if(QUORVANE_PACKAGE_LIBDIR STREQUAL CMAKE_INSTALL_LIBDIR)
    quorvane_install_framework(libquorvane-dev ${CMAKE_INSTALL_LIBDIR})
  else()
    quorvane_install_framework(dev ${CMAKE_INSTALL_LIBDIR})
    # Only the package needs this copy; a plain install leaves it out.
    quorvane_install_framework(libquorvane-dev ${QUORVANE_PACKAGE_LIBDIR} EXCLUDE_FROM_ALL)
  endif()
endif()
