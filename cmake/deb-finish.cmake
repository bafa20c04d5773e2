# Runs in CPack's staging tree before each package is made. Debian wants
# what other packages do not: manual pages and the changelog compressed
# (gzip -9n, reproducibly), and the licence as doc/<package>/copyright.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

file(GLOB_RECURSE roots LIST_DIRECTORIES true
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/velmorix")
foreach(doc IN LISTS roots)
  if(NOT IS_DIRECTORY "${doc}")
    continue()
  endif()
  get_filename_component(share "${doc}/../.." ABSOLUTE)
  file(COPY_FILE "${CPACK_VELMORIX_DEB_CHANGELOG}" "${doc}/changelog.Debian")
  file(COPY_FILE "${CPACK_VELMORIX_DEB_COPYRIGHT}" "${doc}/copyright")
  file(REMOVE "${doc}/LICENSE")
  file(GLOB pages "${share}/man/man1/*.1")
  foreach(file IN LISTS pages ITEMS "${doc}/changelog.Debian")
    execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endforeach()
