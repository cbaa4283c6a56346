// The configuration check for commissioning: `ZAL_CLOUD_MQTT_OOP --check [--json]` reads the
// configuration from the variable server with the service's own configuration classes, lists
// every problem found (with the path of the node it belongs to and the text the service traces)
// and the resolved configuration, and ends. It connects to no broker and writes no variable.
#pragma once

#include <ostream>

enum class CheckRequest {
  kNone,        // no --check: the service runs and ignores its arguments
  kText,        // --check
  kJson,        // --check --json
  kUsageError,  // --check with anything else beside it
};

// Looks at the command line; only the presence of --check makes the arguments matter.
CheckRequest parseCheckRequest(int argc, const char* const* argv);

// The usage text for a usage error.
void writeCheckUsage(std::ostream& out);

// Runs the check against the variable server the client library reaches and writes its report
// to out (text or one JSON document). Returns the exit status: 0 when the service would start
// with this configuration, 1 when it would not.
int runConfigurationCheck(bool json, std::ostream& out);
