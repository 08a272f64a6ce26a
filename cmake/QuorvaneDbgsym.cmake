# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS),
# before it copies them to the output folder.
#
# CPack 3.25 writes the md5sums of a debug-symbols package with the absolute
# paths of its staging folder, so dpkg --verify and lintian find none of the
# files, and it gives the package no documentation folder. Here each one is
# unpacked, given md5sums relative to the root and, as debhelper does,
# /usr/share/doc/<package>-dbgsym as a link to the folder (copyright and
# changelog) of the package it belongs to, and packed again. The debug files
# are data, not programs, so they lose the execute bits they were copied
# with.

foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "/([^/_]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(package ${CMAKE_MATCH_1})
  find_program(QUORVANE_DPKG_DEB dpkg-deb)
  if(NOT QUORVANE_DPKG_DEB)
    message(WARNING "dpkg-deb not found: ${ddeb} keeps the md5sums CPack wrote")
    continue()
  endif()

  set(root ${ddeb}.root)
  file(REMOVE_RECURSE ${root})
  execute_process(COMMAND ${QUORVANE_DPKG_DEB} --raw-extract ${ddeb} ${root}
    COMMAND_ERROR_IS_FATAL ANY)

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/usr/*)
  list(SORT files)
  set(md5sums "")
  foreach(name IN LISTS files)
    file(CHMOD ${root}/${name} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 ${root}/${name} sum)
    string(APPEND md5sums "${sum}  ${name}\n")
  endforeach()
  file(WRITE ${root}/DEBIAN/md5sums "${md5sums}")
  file(CHMOD ${root}/DEBIAN/md5sums FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  file(MAKE_DIRECTORY ${root}/usr/share/doc)
  file(CREATE_LINK ${package} ${root}/usr/share/doc/${package}-dbgsym SYMBOLIC)

  execute_process(COMMAND ${QUORVANE_DPKG_DEB} --root-owner-group -Z${CPACK_DEBIAN_COMPRESSION_TYPE}
      --build ${root} ${ddeb}
    OUTPUT_QUIET
    COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${root})
endforeach()
