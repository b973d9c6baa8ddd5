# `cpack -G DEB` in the build folder makes klv_<version>_amd64.deb: the program in
# /usr/bin, its menu entry, icons and AppStream metainfo, with the libraries it needs
# found by dpkg-shlibdeps (Debian's dpkg-dev).
set(CPACK_PACKAGE_NAME klv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kolvane")
set(CPACK_PACKAGE_CONTACT "Kolvane <support@kolvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "puts the KLV scripts and blog pages onto your own web host")
set(CPACK_PACKAGE_DESCRIPTION
  "KLV Installer fetches the KLV service's scripts and blog pages, fills in the account
details typed into its window and uploads them to the user's web host over FTP.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kolvane.example/")
# xdg-open hands the set-up page and the documentation to the browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
