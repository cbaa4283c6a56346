// The service's name and version, as the status reporting, the state report and the status
// topic's birth message give them.
#pragma once

// The name under which the service registers with the status reporting.
constexpr const char* kServiceName = "ZAL_CLOUD_MQTT_OOP";
// The version the state report gives beside the name.
constexpr const char* kServiceVersion = "1.0";
