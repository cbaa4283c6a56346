#include "GVPitem.h"

#include <cstring>
#include <stdexcept>

#include "KalpApi.h"
#include "Trace.h"

namespace {

bool isStructured(uint32_t type) {
  return type == KALPAPI_TYPE_ARRAY || type == KALPAPI_TYPE_STRUCT || type == KALPAPI_TYPE_DIRECTORY;
}

// Element types a configuration node may have: 1 to 20, 22 to 25, 54 to 57 and 990.
bool isAcceptedType(uint32_t type) {
  return (type >= 1 && type <= 20) || (type >= 22 && type <= 25) || (type >= 54 && type <= 57) ||
         type == KALPAPI_TYPE_DIRECTORY;
}

// Closes a directory walk when the scan leaves, also when createChild throws, so that no
// directory handle is left open on the server.
class DirectoryCloser {
 public:
  explicit DirectoryCloser(uint32_t& directory) : directory_(directory) {}
  ~DirectoryCloser() { KalpApiVarCloseDir(&directory_); }
  DirectoryCloser(const DirectoryCloser&) = delete;
  DirectoryCloser& operator=(const DirectoryCloser&) = delete;

 private:
  uint32_t& directory_;
};

}  // namespace

GVPitem::GVPitem(std::string fullPath) {
  handle = 0;
  patterns.clear();
  if (fullPath.empty()) {
    throw std::runtime_error("GVPitem name is empty!");
  }
  name = std::move(fullPath);

  uint32_t status = KalpApiVarOpenHdlA(name.c_str(), &handle);
  if (status != KALPAPI_OK) {
    throw std::runtime_error("Error: open variable handle result is: 0x" + hexString(status) + " for node " +
                             name + "\n");
  }

  // From here on a failure must give the handle back: the destructor of a half-built item
  // does not run.
  status = KalpApiVarGetType(handle, &type);
  if (status != KALPAPI_OK) {
    KalpApiVarCloseHdl(&handle);
    throw std::runtime_error("Error: get element type result is: 0x" + hexString(status) + " for node " +
                             name + "\n");
  }
  if (!isAcceptedType(type)) {
    KalpApiVarCloseHdl(&handle);
    throw std::runtime_error("GVPitem constructor error: invalid or unknown GVP element type 0x" +
                             hexString(type) + " of node " + name + ".\n");
  }

  // A structured node is only walked as a directory from here on.
  if (isStructured(type)) {
    KalpApiVarCloseHdl(&handle);
  }
}

GVPitem::~GVPitem() {
  if (!isStructured(type)) {
    KalpApiVarCloseHdl(&handle);  // the status is of no use here
  }
}

void GVPitem::addChildPattern(const std::string& pattern) {
  patterns.push_back(std::make_unique<std::regex>(pattern, std::regex::ECMAScript));
}

void GVPitem::scanChildren() {
  if (!isStructured(type)) {
    throw std::runtime_error(name + " is not a directory, array or struct.\n");
  }

  uint32_t directory = 0;
  uint32_t status = KalpApiVarOpenDir(name.c_str(), &directory);
  if (status == KALPAPI_E_NO_MORE_ENTRIES) {
    KalpApiVarCloseDir(&directory);  // no members: nothing to hand over
    return;
  }
  if (status != KALPAPI_OK) {
    throw std::runtime_error("GVPitem::GVPitem(" + name + ") has KalpApi access error 0x" +
                             hexString(status) + ".\n");
  }

  DirectoryCloser closer(directory);
  KalpApiDirEntry* entry = nullptr;
  // Any non-zero status ends the walk: the end of the members or a failure alike.
  while (KalpApiVarReadDir(&directory, &entry) == KALPAPI_OK) {
    if (entry == nullptr || entry->valid == 0 || patterns.empty()) {
      continue;
    }
    // The entry is only valid until the next read of the directory: take its texts now.
    const std::string memberName(entry->memberName, strnlen(entry->memberName, sizeof entry->memberName));
    const std::string separator(entry->separator, strnlen(entry->separator, sizeof entry->separator));
    const std::string childPath = name + separator + memberName;
    for (unsigned int i = 0; i < patterns.size(); ++i) {
      if (std::regex_match(memberName, *patterns[i])) {
        createChild(childPath, i);
      }
    }
  }
}
