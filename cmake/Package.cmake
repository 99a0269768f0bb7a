# `make package` (cpack -G DEB): a .deb of the installed layout under /usr.
# Its dependencies come from dpkg-shlibdeps (dpkg-dev); libhostkit.so ships
# inside the package, so the scan is told to look for it there.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME backup-host)
set(CPACK_PACKAGE_VERSION 4.80.0)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Backup host maintainers <backup-host@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Backup plug-in with a small host and web page")
set(CPACK_PACKAGE_DESCRIPTION
  "Runs the backup plug-in for the logged-in user, keeps its schedule and serves its web page.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${BACKUP_BINARY_DIR})
include(CPack)
