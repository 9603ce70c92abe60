# What an installation holds besides the programs (manual pages, AppStream metainfo, the
# package's own documents) and the Debian package made of it with CPack:
#   cpack -G DEB       in the build folder (scripts/package.sh does it all)
# The package's version is the project's; its library dependencies are computed by
# dpkg-shlibdeps from the programs themselves.
include(GNUInstallDirs)

set(SCOOPSHIFT_MAINTAINER "Scoopshift developers <scoopshift@example.org>"
  CACHE STRING "Maintainer of the Debian package: name <address>")
set(SCOOPSHIFT_APPSTREAM_ID "io.github.scoopshift.scoopshift")

# Manual pages and the package's documents are installed compressed, as Debian wants them; -n
# keeps names and times out of the archives, so that a rebuild gives the same bytes.
set(packaging_folder ${PROJECT_BINARY_DIR}/packaging)
function(install_compressed source destination)
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  set(copy ${packaging_folder}/compressed/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed_files ${copy}.gz)
  set(compressed_files ${compressed_files} PARENT_SCOPE)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

set(compressed_files)
install_compressed(${PROJECT_SOURCE_DIR}/data/man/scoopshift-cli.1 ${CMAKE_INSTALL_MANDIR}/man1)
if(SCOOPSHIFT_BUILD_GUI)
  install_compressed(${PROJECT_SOURCE_DIR}/data/man/scoopshift.1 ${CMAKE_INSTALL_MANDIR}/man1)
  configure_file(${PROJECT_SOURCE_DIR}/data/scoopshift.metainfo.xml.in
    ${packaging_folder}/${SCOOPSHIFT_APPSTREAM_ID}.metainfo.xml @ONLY)
  install(FILES ${packaging_folder}/${SCOOPSHIFT_APPSTREAM_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The changelog's entry carries the release's version and date.
execute_process(COMMAND date -u -R -d "${SCOOPSHIFT_RELEASE_DATE} 12:00"
  OUTPUT_VARIABLE SCOOPSHIFT_RELEASE_TIME OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${packaging_folder}/changelog.in @ONLY)
install_compressed(${packaging_folder}/changelog.in ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
add_custom_target(compressed_documents ALL DEPENDS ${compressed_files})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scoopshift)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SCOOPSHIFT_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert PoC1 plot files to PoC2")
# Lines of the extended description stay below 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "\
Scoopshift converts proof-of-capacity plot files from the PoC1 layout to\n\
the PoC2 layout, bit for bit, at the speed of the drives and within a\n\
memory budget. No plot is lost: every output is written under a temporary\n\
name, flushed to the device and only then renamed, and sources are deleted\n\
only when the user says so.\n\
\n\
The package holds the desktop program scoopshift and scoopshift-cli, which\n\
runs the same conversion on machines without a desktop.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
