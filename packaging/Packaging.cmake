# Installation of the service and the stand-in platform, and their Debian packages.
#
#   component "service"  bin/ZAL_CLOUD_MQTT_OOP, the systemd unit, the example trees
#   component "standin"  bin/kalpapi-server, bin/kalpvar, libKalpApi.so.2 (for a development
#                        machine: on a controller the platform brings its own library)
#
# `cpack` in a build tree makes one .deb per component (scripts/package does it in a Release
# tree of its own).

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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MQTT client service of the industrial controller")
set(CPACK_PACKAGE_CONTACT "ZAL_CLOUD_MQTT_OOP developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service standin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME zal-cloud-mqtt-oop)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
  "MQTT client service of the industrial controller\n"
  "Reads its configuration from the controller's variable tree, connects to an MQTT broker,\n"
  "publishes process variables and writes received payloads back. Needs the controller's\n"
  "variable-server client library libKalpApi.so.2, which the controller's platform provides.")
# libKalpApi.so.2 belongs to the controller's platform, not to a Debian package: the
# dependencies are listed by hand rather than computed from the binary's libraries.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libc6, libstdc++6, libmosquitto1 (>= 1.6), libssl3, libsqlite3-0")

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME zal-kalpapi-standin)
set(CPACK_COMPONENT_STANDIN_DESCRIPTION
  "Stand-in of the controller's variable server, for development machines\n"
  "kalpapi-server (the variable server), libKalpApi.so.2 (its client library) and kalpvar\n"
  "(the operator's command line), so that ZAL_CLOUD_MQTT_OOP runs off the controller.")
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "libc6, libstdc++6")

include(CPack)
