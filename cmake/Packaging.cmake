# The Debian package "orv" (scripts/package.sh): the server, Comlan, the tools, the client library
# with its header and pkg-config file, the service units and the configuration templates.
include(GNUInstallDirs)

set(ORV_SYSTEMD_UNITDIR "/lib/systemd/system" CACHE PATH "Where the systemd units are installed")
set(ORV_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/orv")

install(FILES packaging/orv-serv.service packaging/comlan.service
        DESTINATION ${ORV_SYSTEMD_UNITDIR})
# postinst copies these into /var/lib/orv where the operator has none.
install(FILES packaging/ORV_Serv.ini packaging/Comlan.ini demo/Orv_Str.ini
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/orv)
install(FILES demo/ORV_Serv.ini demo/Comlan.ini demo/Orv_Str.ini demo/Orv_SiaKeys.ini
        DESTINATION ${ORV_DOCDIR}/examples)
install(FILES README.md packaging/copyright DESTINATION ${ORV_DOCDIR})

# Debian wants the changelog compressed with gzip -9 and without a time stamp in the header.
string(TIMESTAMP ORV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(orvChangelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
configure_file(packaging/changelog.in ${orvChangelog} @ONLY)
execute_process(COMMAND gzip -9 -n -c ${orvChangelog} OUTPUT_FILE ${orvChangelog}.gz
                RESULT_VARIABLE gzipResult)
if(NOT gzipResult EQUAL 0)
  message(FATAL_ERROR "gzip of the package changelog failed: ${gzipResult}")
endif()
install(FILES ${orvChangelog}.gz DESTINATION ${ORV_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ORV developers")
set(CPACK_PACKAGE_CONTACT "ORV developers <orv@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "alarm receiving server for GSM/GPRS and IP alarm transmitters")
# The extended description; CPack puts the summary before it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ORV_Serv receives the events of alarm communicator modules, SIA DC-09
IP transmitters and GSM receiver devices, answers each on its own line,
turns every accepted event into a receiver-style output line and keeps
it in per-channel queues that survive restarts until the monitoring
software has read it.
.
The package also holds Comlan (an output channel to a serial
receiver-output device), the client library libPelkon for monitoring
software, the operator's console orv-console, simulators and test peers,
and systemd units for the server and Comlan.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orv.example.org/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The libraries the programs link come from dpkg-shlibdeps; postinst needs adduser and setpriv
# (util-linux, essential).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# A shlibs entry for libPelkon; packaging/triggers runs ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The package lives in /usr whatever prefix the build tree was configured with; the units' absolute
# directory needs DESTDIR staging.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# The package file lands in the build directory itself, beside bin/ and lib/.
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/_CPack)

include(CPack)
