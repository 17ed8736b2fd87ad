# Debian packages with CPack: `cpack` in a build tree makes
# rtkfeedd_<version>_<arch>.deb (amd64 from the default preset, arm64 from
# the aarch64 one). Only the daemon's own files go in: the procd script is
# for OpenWrt.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rtkfeedd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "rtkfeedd developers <rtkfeedd@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS rtklib)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "feeds NTRIP correction data (RTCM) to a GNSS receiver on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
"rtkfeedd feeds GNSS correction data (RTCM) from an NTRIP caster into a GNSS
receiver on one of the machine's serial lines. It does not speak NTRIP itself:
it runs an external NTRIP client on a pseudo-terminal that it publishes as
/dev/rtkfeedd, relays the correction stream to the target line byte for byte,
relays NMEA position sentences (GGA) from a source device or from its own
fixed-position generator back to the client, restarts the client whenever it
ends, honours device lock files, and reports its state in files and the system
log. Its own NTRIP client is included (rtkfeedd-ntrip: NTRIP 1 and 2, TLS,
IPv6, an exit status that says why a run ended), linked into place as the
daemon's client where none stands there, as is a client built on RTKLIB's
str2str (casterlink-str2str), and rtkfeedd-mqtt, which publishes the
daemon's state to an MQTT broker.")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
# Depends is computed from the built binary when the package is made (for a
# cross build too, where dpkg-shlibdeps cannot map the target's libraries to
# packages): its shared libraries and the newest glibc symbol version it uses.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package-config.cmake)
set(RTKFEEDD_MQTT_BINARY "")
if(RTKFEEDD_MQTT)
  set(RTKFEEDD_MQTT_BINARY "\"$<TARGET_FILE:rtkfeedd-mqtt>\"")
endif()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package-config.cmake CONTENT
"set(RTKFEEDD_BINARIES \"$<TARGET_FILE:rtkfeedd>\" \"$<TARGET_FILE:rtkfeedd-ntrip>\" ${RTKFEEDD_MQTT_BINARY})
set(RTKFEEDD_OBJDUMP \"${CMAKE_OBJDUMP}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/package-depends.cmake\")
")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/contrib/debian/postinst
    ${PROJECT_SOURCE_DIR}/contrib/debian/prerm
    ${PROJECT_SOURCE_DIR}/contrib/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The debugging information stays in the build tree.
set(CPACK_STRIP_FILES ON)
# What Debian's policy asks of every package besides the program.
install(FILES contrib/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# A native package (no Debian revision): its changelog is changelog.gz.
add_custom_command(OUTPUT changelog.gz
  COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/contrib/debian/changelog > changelog.gz
  DEPENDS contrib/debian/changelog)
add_custom_target(debian_changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(CPack)
