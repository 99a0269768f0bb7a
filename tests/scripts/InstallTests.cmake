# Tests of what gets installed. Sanitizer builds leave them out: they test the
# packaging, not the code, and their binaries need the sanitizer's runtime.

# The plug-in's dynamic symbol table: the eight entry points and nothing else
# of ours.
find_program(BACKUP_NM nm)
if(BACKUP_NM)
  add_test(NAME plugin_exports
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/plugin-exports-test.sh ${BACKUP_NM} $<TARGET_FILE:backup>)
endif()

if(NOT BACKUP_SANITIZE)
  # The unit as systemd reads it. The tool comes with systemd; without it
  # there is nothing to check against.
  find_program(BACKUP_SYSTEMD_ANALYZE systemd-analyze)
  if(BACKUP_SYSTEMD_ANALYZE)
    add_test(NAME user_unit_verify
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/user-unit-test.sh ${BACKUP_SYSTEMD_ANALYZE}
        ${BACKUP_BINARY_DIR}/dist/test/backup-host.service ${BACKUP_SOURCE_DIR}/dist/backup-host.1)
  else()
    message(STATUS "systemd-analyze not found: the user unit is not verified")
  endif()

  # The .deb, unpacked into a temporary root and run from there.
  find_program(BACKUP_DPKG_DEB dpkg-deb)
  find_program(BACKUP_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(BACKUP_CURL curl)
  if(BACKUP_DPKG_DEB AND BACKUP_DPKG_SHLIBDEPS AND BACKUP_CURL)
    add_test(NAME installed_package
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/installed-package-test.sh ${BACKUP_BINARY_DIR})
    set_tests_properties(installed_package PROPERTIES TIMEOUT 300)
  else()
    message(STATUS "dpkg-dev or curl missing: the package test is not registered (make deps)")
  endif()
endif()
