# Install rules and the Debian package (CPack DEB).
#
# cmake --install lays out:
#   <prefix>/bin/KestrowApp, <prefix>/bin/KestrowDemo
#   <sysconfdir>/kestrow/example.conf          every option, explained
#   <unit dir>/kestrow@.service                one channel per instance
#   <prefix>/lib/tmpfiles.d/kestrow.conf       the log folder and its clean-up
#   <prefix>/share/doc/kestrow/                operations.md, architecture.md
#   <prefix>/share/kestrow/prometheus/         kestrow-alerts.yml: alerting rules
#   <prefix>/share/kestrow/grafana/            kestrow-channel.json: a dashboard
#   <prefix>/share/kestrow/                    kestrow-state.schema.json: the console's /api/state
# With CMAKE_INSTALL_PREFIX=/usr (the package) these are /usr/bin, /etc/kestrow,
# /lib/systemd/system, /usr/lib/tmpfiles.d and /usr/share/doc/kestrow. With
# another prefix everything stays under it (<prefix>/etc/kestrow,
# <prefix>/lib/systemd/system) and the unit names the paths under it.
#
# The package: tools/packaging/build-deb.sh, or in a Release build configured
# with -DCMAKE_INSTALL_PREFIX=/usr and without sanitizers: cpack -G DEB.

include(GNUInstallDirs)

set(KESTROW_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(KESTROW_UNIT_DIR_DEFAULT "/lib/systemd/system")
else()
    set(KESTROW_UNIT_DIR_DEFAULT "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(KESTROW_SYSTEMD_UNIT_DIR "${KESTROW_UNIT_DIR_DEFAULT}" CACHE PATH
    "Where kestrow@.service is installed")
# GNUInstallDirs gives /etc for the prefix /usr, <prefix>/etc otherwise.
set(KESTROW_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestrow")
set(KESTROW_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrow")

# The unit in the source tree names the package's paths; another prefix gets
# its own paths written in.
file(READ ${KESTROW_PACKAGING_DIR}/kestrow@.service KESTROW_UNIT_TEXT)
string(REPLACE "/usr/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" KESTROW_UNIT_TEXT "${KESTROW_UNIT_TEXT}")
string(REPLACE "/etc/kestrow/" "${KESTROW_CONF_DIR}/" KESTROW_UNIT_TEXT "${KESTROW_UNIT_TEXT}")
string(REPLACE "/usr/share/doc/kestrow/" "${CMAKE_INSTALL_PREFIX}/${KESTROW_DOC_DIR}/"
       KESTROW_UNIT_TEXT "${KESTROW_UNIT_TEXT}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/kestrow@.service CONTENT "${KESTROW_UNIT_TEXT}"
     @ONLY)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${KESTROW_PACKAGING_DIR}/kestrow@.service)

install(TARGETS KestrowApp KestrowDemo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${KESTROW_PACKAGING_DIR}/kestrow.conf.example
        DESTINATION ${KESTROW_CONF_DIR} RENAME example.conf)
install(FILES ${CMAKE_BINARY_DIR}/packaging/kestrow@.service DESTINATION ${KESTROW_SYSTEMD_UNIT_DIR})
install(FILES ${KESTROW_PACKAGING_DIR}/kestrow.tmpfiles
        DESTINATION lib/tmpfiles.d RENAME kestrow.conf)
install(FILES ${CMAKE_SOURCE_DIR}/docs/operations.md ${CMAKE_SOURCE_DIR}/docs/architecture.md
        DESTINATION ${KESTROW_DOC_DIR})
set(KESTROW_SHARE_DIR "${CMAKE_INSTALL_DATAROOTDIR}/kestrow")
install(FILES ${KESTROW_PACKAGING_DIR}/monitoring/kestrow-alerts.yml DESTINATION ${KESTROW_SHARE_DIR}/prometheus)
install(FILES ${KESTROW_PACKAGING_DIR}/monitoring/kestrow-channel.json DESTINATION ${KESTROW_SHARE_DIR}/grafana)
install(FILES ${KESTROW_PACKAGING_DIR}/monitoring/kestrow-state.schema.json DESTINATION ${KESTROW_SHARE_DIR})

# A sanitized build links the sanitizer runtimes: it is never packaged.
if(KESTROW_SANITIZE)
    return()
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "kestrow")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Kestrow")
set(CPACK_PACKAGE_CONTACT "Kestrow maintainers <maintainers@kestrow.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live ad-break splicer for MPEG transport streams")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")   # kestrow_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents these lines
# and turns the empty one into a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"KestrowApp relays one MPEG-TS from a UDP, RTP or SRT source to a UDP, RTP
or SRT destination and, on SCTE-35 splice_insert cues, replaces the
programme's video and audio with a filler recording for the announced break.
SRT goes through libsrt: encrypted, retransmitted, reconnecting. One systemd instance,
kestrow@NAME, runs one channel from /etc/kestrow/NAME.conf.

KestrowDemo runs the same splice rules from file to file, to try breaks on
recorded streams.")
# ffmpeg: to make and check filler recordings.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg")

# adduser: the postinst creates the service user. The shared libraries:
# dpkg-shlibdeps (dpkg-dev, part of build-essential) works them out from the
# binaries, with their versions; without it, the list for Debian 12 that the
# binaries need. The filter library is loaded when conforming begins, not
# linked, so dpkg-shlibdeps cannot see it: it is named here.
find_program(KESTROW_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTROW_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libavfilter8 (>= 7:5.1)")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "adduser, libavcodec59 (>= 7:5.1), libavformat59 (>= 7:5.1), libavutil57 (>= 7:5.1), "
        "libavfilter8 (>= 7:5.1), libswscale6 (>= 7:5.1), libsrt1.5-gnutls (>= 1.5.1), "
        "libxmlrpc-core-c3 (>= 1.33), libxml2 (>= 2.9), libstdc++6 (>= 12), libgcc-s1, libc6 (>= 2.34)")
    string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()

# The example options file is a conffile: an edited copy survives upgrades.
# The package is only built with the prefix /usr, where it is in /etc.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${KESTROW_PACKAGING_DIR}/debian/postinst;${KESTROW_PACKAGING_DIR}/debian/prerm;"
    "${KESTROW_PACKAGING_DIR}/debian/postrm;${KESTROW_PACKAGING_DIR}/debian/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
