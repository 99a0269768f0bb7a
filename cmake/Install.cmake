# Installed layout (paths relative to the prefix):
#   bin/backup-host
#   lib/backup-host/     libbackup.so, libhostkit.so, translations.zip
#   share/backup-host/ui the page
#   share/man/man1       backup-host.1
#   lib/systemd/user     backup-host.service
# backup-host looks for its plug-in and page relative to its own folder, so
# these paths must stay in step with host/InstallLayout.cpp.
set(BACKUP_INSTALL_LIBDIR lib/backup-host)
set(BACKUP_INSTALL_UIDIR share/backup-host/ui)

# RUNPATH, not an absolute path: the tree works wherever it is unpacked.
set_target_properties(backup-host PROPERTIES INSTALL_RPATH "$ORIGIN/../${BACKUP_INSTALL_LIBDIR}")
set_target_properties(backup hostkit PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS backup-host RUNTIME DESTINATION bin)
install(TARGETS hostkit LIBRARY DESTINATION ${BACKUP_INSTALL_LIBDIR})
install(TARGETS backup LIBRARY DESTINATION ${BACKUP_INSTALL_LIBDIR})
install(FILES ${BACKUP_BINARY_DIR}/translations.zip DESTINATION ${BACKUP_INSTALL_LIBDIR})
install(DIRECTORY ${BACKUP_SOURCE_DIR}/ui/ DESTINATION ${BACKUP_INSTALL_UIDIR})
install(FILES ${BACKUP_SOURCE_DIR}/dist/backup-host.1 DESTINATION share/man/man1)

# The unit names the program by its installed path, known only at install
# time (cpack installs under another prefix than `cmake --install`).
install(CODE "
  set(BACKUP_HOST_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/bin/backup-host\")
  configure_file(\"${BACKUP_SOURCE_DIR}/dist/backup-host.service.in\"
    \"${BACKUP_BINARY_DIR}/dist/installed/backup-host.service\" @ONLY)")
install(FILES ${BACKUP_BINARY_DIR}/dist/installed/backup-host.service
  DESTINATION lib/systemd/user)
# A copy naming the built program, for the test of the unit.
set(BACKUP_HOST_PROGRAM ${BACKUP_BINARY_DIR}/backup-host)
configure_file(${BACKUP_SOURCE_DIR}/dist/backup-host.service.in
  ${BACKUP_BINARY_DIR}/dist/test/backup-host.service @ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
