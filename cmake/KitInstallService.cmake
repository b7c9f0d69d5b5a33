# Runs at install time (install(SCRIPT)), when the prefix is known: the
# service unit names the program and the settings where they were installed.
# Under /usr, as in the packages, settings go to /etc; elsewhere under the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(SYSCONFDIR /etc)
else()
  set(SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(BINDIR "${CMAKE_INSTALL_PREFIX}/${KIT_BINDIR}")
configure_file("${KIT_PACKAGING_DIR}/fiscald@.service.in" "${KIT_STAGE_DIR}/fiscald@.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
  FILES "${KIT_STAGE_DIR}/fiscald@.service")
file(INSTALL DESTINATION "${SYSCONFDIR}/fiscald" TYPE FILE
  FILES "${KIT_PACKAGING_DIR}/fiscald.conf")
