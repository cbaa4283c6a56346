# Installation of the service and the stand-in platform, and their Debian packages.
#
#   component "service"  bin/ZAL_CLOUD_MQTT_OOP, the systemd unit, the example trees
#   component "standin"  bin/kalpapi-server, bin/kalpvar, libKalpApi.so.2 (for a development
#                        machine: on a controller the platform brings its own library)
#
# `cpack` in a build tree makes one .deb per component (scripts/package does it in a Release
# tree of its own). deb/service/ holds the service package's maintainer scripts, deb/standin/
# the stand-in package's ldconfig trigger.

set(ZAL_PACKAGE_VERSION "1110" CACHE STRING "Version of the Debian packages")
set(ZAL_UNIT_NAME zal-cloud-mqtt-oop.service)
set(ZAL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zal-cloud-mqtt-oop)

# The unit names the installed binary, so it is written at install time, when the prefix is
# known (cmake --install --prefix, or /usr in the packages).
install(CODE "
  set(ZAL_INSTALLED_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ZAL_CLOUD_MQTT_OOP\")
  set(ZAL_INSTALLED_DOC_DIR \"\${CMAKE_INSTALL_PREFIX}/${ZAL_DOC_DIR}\")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${ZAL_UNIT_NAME}.in
    ${PROJECT_BINARY_DIR}/packaging/${ZAL_UNIT_NAME} @ONLY)
" COMPONENT service)
install(FILES ${PROJECT_BINARY_DIR}/packaging/${ZAL_UNIT_NAME} DESTINATION lib/systemd/system
  COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${ZAL_DOC_DIR} COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo-plant.json ${PROJECT_SOURCE_DIR}/examples/demo-plant-tls.json
  DESTINATION ${ZAL_DOC_DIR}/examples COMPONENT service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zal-cloud-mqtt-oop)
set(CPACK_PACKAGE_VERSION ${ZAL_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "ZAL_CLOUD_MQTT_OOP developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service standin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)

# Each package's description is one string: its first line is the package's summary, the rest
# the long description. (No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it in front of
# both packages' descriptions.)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME zal-cloud-mqtt-oop)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "MQTT client service of the industrial controller
Reads its configuration from the controller's variable tree, connects to an MQTT broker,
publishes process variables and writes received payloads back. Needs the controller's
variable-server client library libKalpApi.so.2, which the controller's platform provides
(on a machine without it, install zal-kalpapi-standin too).")
# libKalpApi.so.2 belongs to the controller's platform, not to a Debian package: the
# dependencies are listed by hand rather than computed from the binary's libraries.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libc6, libstdc++6, libmosquitto1 (>= 1.6), libssl3, libsqlite3-0, libprotobuf-lite32")
# Maintainer scripts: the unit's state is recorded on installation, and the service stopped,
# its unit disabled and systemd told on removal (see the scripts' heads).
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/deb/service/postinst
  ${CMAKE_CURRENT_LIST_DIR}/deb/service/prerm
  ${CMAKE_CURRENT_LIST_DIR}/deb/service/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME zal-kalpapi-standin)
set(CPACK_COMPONENT_STANDIN_DESCRIPTION "Stand-in of the controller's variable server, for development machines
kalpapi-server (the variable server), libKalpApi.so.2 (its client library) and kalpvar
(the operator's command line), so that ZAL_CLOUD_MQTT_OOP runs off the controller.")
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "libc6, libstdc++6")
# The dynamic linker's cache learns of libKalpApi.so.2 through dpkg's ldconfig trigger.
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/standin/triggers)
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
