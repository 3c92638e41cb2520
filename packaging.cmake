# Install rules and the Debian package.
install(TARGETS check-quarvo quarvo-term quarvo-sim quarvo-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The completion loader looks a command's completion up by the command's name.
foreach(command check-quarvo quarvo-term quarvo-sim quarvo-monitor)
  install(FILES completion/quarvo.bash
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME ${command})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME check-quarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "check-quarvo developers <check-quarvo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check which channel a set-top box on a serial port is tuned to")
set(CPACK_PACKAGE_DESCRIPTION "check-quarvo listens on a set-top box's serial feedback port, validates the \
packets the box sends and tells, by its output and exit status, whether the box is tuned to the expected \
channel and free of reported errors. The package also holds quarvo-term, an interactive serial terminal, \
quarvo-monitor, which prints the box's packets as they come and records them, and quarvo-sim, a stand-in box on \
a pseudo-terminal for trying scripts and replaying recordings.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
