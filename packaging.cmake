# Install rules and the Debian package.
install(TARGETS check-quarvo quarvo-term quarvo-sim quarvo-monitor quarvo-fleet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The completion loader looks a command's completion up by the command's name.
foreach(command check-quarvo quarvo-term quarvo-sim quarvo-monitor quarvo-fleet)
  install(FILES completion/quarvo.bash
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME ${command})
endforeach()

# Hardened as Debian builds its own packages: functions that can check their
# buffers do so at run time (optimised builds only; the sanitizers do better
# and clash with it), and relocations are read-only once loaded.
if(NOT QUARVO_SANITIZE AND NOT QUARVO_FUZZ)
  foreach(target quarvo_shared quarvo_readfunc quarvo_sim_support quarvo_fleet check-quarvo quarvo-term quarvo-sim quarvo-monitor
                 quarvo-fleet)
    target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endforeach()
  foreach(target check-quarvo quarvo-term quarvo-sim quarvo-monitor quarvo-fleet)
    target_link_options(${target} PRIVATE LINKER:-z,relro,-z,now)
  endforeach()
endif()

# Who answers for the package. A packager sets a real name and address; the
# default names the project at a reserved domain that never delivers mail.
set(QUARVO_PACKAGE_MAINTAINER "check-quarvo developers <check-quarvo@check-quarvo.invalid>"
    CACHE STRING "Maintainer field of the Debian package, as Name <address>")

# The licence as Debian's machine-readable copyright file, made from LICENSE
# so that the two never differ.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" licence_holder "${licence_text}")
set(licence_holder ${CMAKE_MATCH_1})
string(FIND "${licence_text}" "Permission is hereby granted" licence_start)
string(SUBSTRING "${licence_text}" ${licence_start} -1 licence_terms)
string(STRIP "${licence_terms}" licence_terms)
string(REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
string(REPLACE "\n" "\n " licence_terms "${licence_terms}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@

Files: *
Copyright: @licence_holder@
License: Expat
 @licence_terms@
")

# The release history, compressed as Debian installs it. Its newest entry
# must be this version.
configure_file(packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
file(STRINGS packaging/changelog changelog_top LIMIT_COUNT 1)
string(REGEX MATCH "\\(([^)]*)\\)" _ "${changelog_top}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog: the newest entry is ${CMAKE_MATCH_1}, the project is "
                  "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME check-quarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUARVO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check which channel a set-top box on a serial port is tuned to")
# Lines of at most 80 columns, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION "check-quarvo listens on a set-top box's serial feedback port, validates
the packets the box sends and tells, by its output and exit status, whether
the box is tuned to the expected channel and free of reported errors.

The package also holds quarvo-term, an interactive serial terminal,
quarvo-monitor, which prints the box's packets as they come and records them,
quarvo-fleet, which checks a rack of boxes at once for CI (JUnit XML), and
quarvo-sim, a stand-in box on a pseudo-terminal for trying scripts and
replaying recordings.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# A cross build packages for its target (Debian's name of the processor),
# with the dependencies of the target's libraries in the cross toolchain.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cross-depends.cmake)
  set(CPACK_QUARVO_CROSS_LIBDIR ${QUARVO_CROSS_ROOT}/lib)
  set(CPACK_QUARVO_SHLIBDEPS_DIR ${PROJECT_BINARY_DIR}/packaging/shlibdeps)
  set(CPACK_QUARVO_BINARIES ${PROJECT_BINARY_DIR}/check-quarvo ${PROJECT_BINARY_DIR}/quarvo-term
                            ${PROJECT_BINARY_DIR}/quarvo-sim ${PROJECT_BINARY_DIR}/quarvo-monitor
                            ${PROJECT_BINARY_DIR}/quarvo-fleet)
endif()
include(CPack)
