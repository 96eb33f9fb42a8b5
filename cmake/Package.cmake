# The Debian package: scripts/package.sh (or `cpack -G DEB` in a build tree)
# makes mirelo-share_<version>_<arch>.deb from the install rules in
# cmake/Install.cmake, with everything under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirelo-share)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Mirelo File Share")
set(CPACK_PACKAGE_CONTACT "Mirelo File Share <mirelo-share@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "share one folder with friends through any web browser")
set(CPACK_PACKAGE_DESCRIPTION
  "Mirelo File Share serves one folder of pictures and files to any web browser,\n\
with thumbnails, search and uploads. It runs with a window on the desktop, or\n\
headless as a user service (mirelo-share.service). The package also holds the\n\
tracker of the public network, mirelo-tracker, with a system unit.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install with DESTDIR, so that the install scripts see the real prefix /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are the Debian packages of the libraries the programs link
# (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window on a Wayland desktop without X (the X platform comes with Qt's
# GUI library).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
