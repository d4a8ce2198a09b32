# Run by cpack once it has written the Debian package: writes the package
# again with dpkg-deb, Debian's own tool, so that two builds of one commit
# give the same bytes.  CPack stores each member of the archive with the
# mode that the build's umask gave its file, and install makes directories
# narrower under a narrower umask; dpkg-deb gives every member a fixed mode
# and order, and the directories get Debian's permissions here.  Every
# time in it is SOURCE_DATE_EPOCH, which dpkg-deb takes from the
# environment, as CPack did.
set(tree "${CPACK_TOPLEVEL_DIRECTORY}/reproducible")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}"
    COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${tree}/*")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}")
      file(CHMOD "${entry}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
        OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}"
    "${deb}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
