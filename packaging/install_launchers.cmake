# Install-time part of the launchers: writes the systemd units and the launchd
# property list naming quarn where this installation puts it, so that
# `cmake --install --prefix DIR` (and DESTDIR) yield launchers for DIR.
# Set before it by install(CODE): QUARN_PACKAGING_SOURCE_DIR,
# QUARN_PACKAGING_BINARY_DIR, QUARN_INSTALL_BINDIR, QUARN_INSTALL_SYSTEMDUNITDIR.
if(IS_ABSOLUTE "${QUARN_INSTALL_BINDIR}")
  set(QUARN_EXECUTABLE "${QUARN_INSTALL_BINDIR}/quarn")
else()
  set(QUARN_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${QUARN_INSTALL_BINDIR}/quarn")
endif()
if(IS_ABSOLUTE "${QUARN_INSTALL_SYSTEMDUNITDIR}")
  set(quarn_unit_dir "${QUARN_INSTALL_SYSTEMDUNITDIR}")
else()
  set(quarn_unit_dir "${CMAKE_INSTALL_PREFIX}/${QUARN_INSTALL_SYSTEMDUNITDIR}")
endif()

# One staging folder per destination, so that installations into several
# prefixes at once do not share files.
string(SHA1 quarn_stage "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(quarn_stage "${QUARN_PACKAGING_BINARY_DIR}/launchers-${quarn_stage}")
configure_file("${QUARN_PACKAGING_SOURCE_DIR}/quarn.service.in" "${quarn_stage}/quarn.service"
               @ONLY)
configure_file("${QUARN_PACKAGING_SOURCE_DIR}/com.kelvane.Orvanta.quarn.plist.in"
               "${quarn_stage}/com.kelvane.Orvanta.quarn.plist" @ONLY)

file(INSTALL DESTINATION "${quarn_unit_dir}" TYPE FILE
     FILES "${quarn_stage}/quarn.service" "${QUARN_PACKAGING_SOURCE_DIR}/quarn.timer")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/quarn/launchd" TYPE FILE
     FILES "${quarn_stage}/com.kelvane.Orvanta.quarn.plist")
