# Install rules and packages: a .deb and a .tar.gz on Linux, a .zip on
# Windows. See cmake/deb-finish.cmake for what only the .deb needs.
include(GNUInstallDirs)

set(VELMORIX_MAINTAINER
    "Velmorix maintainers <maintainers@users.noreply.c-seed-bfc35ddf.example>"
    CACHE STRING "Maintainer named in the packages")

# The manual page, with the project's version in it.
configure_file(${PROJECT_SOURCE_DIR}/docs/Velmorix.1.in
               ${PROJECT_BINARY_DIR}/Velmorix.1 @ONLY)

if(WIN32)
  # The zip holds everything side by side, the manual as plain text with
  # Windows line ends, rendered here by groff.
  find_program(VELMORIX_GROFF groff REQUIRED)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/Velmorix-manual.txt
    COMMAND ${CMAKE_COMMAND} -DGROFF=${VELMORIX_GROFF}
            -DINPUT=${PROJECT_BINARY_DIR}/Velmorix.1
            -DOUTPUT=${PROJECT_BINARY_DIR}/Velmorix-manual.txt
            -P ${PROJECT_SOURCE_DIR}/cmake/render-manual.cmake
    DEPENDS ${PROJECT_BINARY_DIR}/Velmorix.1
            ${PROJECT_SOURCE_DIR}/cmake/render-manual.cmake
    COMMENT "Rendering the manual as text")
  add_custom_target(velmorix_manual_text ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/Velmorix-manual.txt)
  install(TARGETS Velmorix RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/Velmorix-manual.txt DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME Velmorix-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(VELMORIX_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmorix)
  install(TARGETS Velmorix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/Velmorix.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${VELMORIX_DOCDIR})
  set(CPACK_GENERATOR DEB TGZ)
endif()

set(CPACK_PACKAGE_NAME velmorix)
set(CPACK_PACKAGE_VENDOR "The Velmorix developers")
set(CPACK_PACKAGE_CONTACT ${VELMORIX_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converter for 768 KiB raw byte images into the 832 KiB layout")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VELMORIX_MAINTAINER})
# CPack puts the summary first and indents these lines as Debian wants.
set(CPACK_PACKAGE_DESCRIPTION
    "Velmorix reads a raw byte image of exactly 786,432 bytes and writes an
image of exactly 851,968 bytes with the same content in another layout:
a 64 KiB block of zeros is inserted after the first 32 KiB, and the top
three 64 KiB blocks are rotated.

The output is replaced atomically: after any failure an existing output,
and the source when both are the same file, is left as it was.")
# The packaging's own revision: this is not a native Debian package.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-finish.cmake)
configure_file(${PROJECT_SOURCE_DIR}/docs/changelog.Debian.in
               ${PROJECT_BINARY_DIR}/changelog.Debian @ONLY)
set(VELMORIX_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/changelog.Debian)
set(VELMORIX_DEB_COPYRIGHT ${PROJECT_SOURCE_DIR}/docs/copyright)
# Handed to deb-finish.cmake through the generated CPack configuration.
set(CPACK_VELMORIX_DEB_CHANGELOG ${VELMORIX_DEB_CHANGELOG})
set(CPACK_VELMORIX_DEB_COPYRIGHT ${VELMORIX_DEB_COPYRIGHT})

include(CPack)
