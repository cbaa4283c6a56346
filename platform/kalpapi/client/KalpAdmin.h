// Operator calls of the stand-in variable server, beyond the KalpApi interface; exported by
// libKalpApi.so.2 for kalpvar and tests. Results are KalpApi status codes (0x81000003 while the
// server cannot be reached); why receives a readable reason for a failure when the server has one.
#ifndef KALPADMIN_H
#define KALPADMIN_H

#include <cstdint>
#include <string>

namespace kalpadmin {

// KalpApiVarTxtWrite, with the reason when the text does not fit the variable's type.
uint32_t writeText(const std::string& path, const std::string& text, std::string& why);
uint32_t setDeviceState(uint32_t state);
// op: "open", "type", "read", "write", "opendir", "readdir"; status 0 clears.
uint32_t setFault(const std::string& path, const std::string& op, uint32_t status, std::string& why);
// The subtree at path ("" for all) as tree-file JSON.
uint32_t dump(const std::string& path, std::string& json);
// Asks the client that registered component (KalpApiStaRepAddComponentA) for a state report
// into directory; result is what its callback returned.
uint32_t stateReport(const std::string& component, const std::string& directory, int32_t& result,
                     std::string& why);
// Has the client that registered provider name (KalpApiProviderCreateA) call its lock callback
// with 1 and then with 0, with no other lock or unlock of that provider in between.
uint32_t providerLock(const std::string& name, int32_t& lockResult, int32_t& unlockResult, std::string& why);
// Why the server refused this thread's last connection (too many connections, for example);
// empty when the last call's connection was not refused.
std::string lastRefusal();

}  // namespace kalpadmin

#endif
