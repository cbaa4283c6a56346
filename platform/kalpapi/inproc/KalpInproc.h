// Test access to the in-process variable store behind kalpapi_inproc.
//
// A unit test links kalpapi_inproc instead of libKalpApi.so.2: the 13 KalpApi calls are then
// served by one store inside the test process. These functions build the tree a test needs, inject
// faults and read values back. All are safe from any thread. Paths are full dotted paths
// ("APPL.Plant.Temps[2]"). The tree starts empty with device state 300.
#ifndef KALPINPROC_H
#define KALPINPROC_H

#include <cstdint>
#include <string>
#include <vector>

namespace kalpinproc {

// Replaces the whole tree and the device state by tree-file JSON text (format of the stand-in
// platform's tree files); every open handle and directory walk becomes invalid. Throws
// std::runtime_error naming the place and the problem; the old tree stays on error.
void loadTree(const std::string& treeFileJson);
// Injects status into op ("open", "type", "read", "write", "opendir", "readdir") of the variable
// at path; status 0 clears it. Throws std::runtime_error for an unknown path or operation.
void setFault(const std::string& path, const std::string& op, uint32_t status);
// The value formatted by its type, as `kalpvar get` prints it (BOOL as TRUE/FALSE, numbers in
// decimal, REAL/LREAL in shortest round-trip form, STRING as stored). Throws if missing or valueless.
std::string getText(const std::string& path);
// The raw value bytes (little-endian scalars; a STRING's text without NUL). Throws if missing.
std::vector<uint8_t> getRaw(const std::string& path);
// Typed parse of text into the variable (the same rules as KalpApiVarTxtWrite); throws when the
// path is missing or the text does not fit the type.
void setText(const std::string& path, const std::string& text);
// Raw bytes: exactly the value size for a scalar; for a STRING the bytes up to the first NUL.
void setRaw(const std::string& path, const std::vector<uint8_t>& bytes);
void setDeviceState(uint32_t state);

// Extras for tests of the callers.
// Handles and directory walks currently open (to check that code closes what it opens).
size_t openHandleCount();
size_t openDirCount();
// The subtree at path ("" for all) in tree-file JSON; throws if missing.
std::string dump(const std::string& path = "");
// Calls the state-report callback registered with KalpApiStaRepAddComponentA for component,
// as the status reporting would; throws if none is registered.
int32_t requestStateReport(const std::string& component, const std::string& directory);
// Calls the lock callback registered with KalpApiProviderCreateA under name; throws if none.
int32_t callProviderLock(const std::string& name, int operation);

}  // namespace kalpinproc

#endif
