# `cpack -G DEB` in the build folder makes klv_<version>_amd64.deb: the program in
# /usr/bin, its manual page, bash completion, menu entry, icons and AppStream metainfo,
# its copyright and changelog, with the libraries it needs found by dpkg-shlibdeps
# (Debian's dpkg-dev). tests/package_check.sh holds it to lintian.
include(GNUInstallDirs)
# A native package's changelog, compressed as Debian keeps them (no time stamp).
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
          ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog VERBATIM)
add_custom_target(klv_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/klv)

set(CPACK_PACKAGE_NAME klv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kolvane")
set(CPACK_PACKAGE_CONTACT "Kolvane <support@kolvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "puts the KLV scripts and blog pages onto your own web host")
set(CPACK_PACKAGE_DESCRIPTION
  "KLV Installer fetches the KLV service's scripts and blog pages, fills in
the account details typed into its window and uploads them to the user's
web host over FTP. The commands klv install-script and klv update-pages do
the same without a window, for cron and scripts.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kolvane.example/")
# xdg-open hands the set-up page and the documentation to the browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# QtKeychain loads libsecret at run time, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsecret-1-0")
include(CPack)
