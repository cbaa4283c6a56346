// The variable tree of the stand-in variable server: typed nodes addressed by dotted paths,
// handles, directory walks, text and raw access, injected faults, device state, and loading
// from / dumping to the tree-file JSON format.
//
// One Store is shared by every caller (the server's connection threads, or a unit test and the
// code it tests); every public operation takes the store's one lock, so the store is safe from
// any number of threads.
#ifndef KALPSTORE_H
#define KALPSTORE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kalpstore {

// Operations a fault can be injected into (tree-file key, CLI and test name in brackets).
enum class FaultOp { Open, Type, Read, Write, OpenDir, ReadDir };
constexpr int kFaultOpCount = 6;
// "open", "type", "read", "write", "opendir", "readdir"; false for anything else.
bool parseFaultOp(const std::string& text, FaultOp& op);

// Value size in bytes of a scalar type code; 0 for codes without a fixed-size value
// (STRING, structured, value-less and invalid codes).
uint32_t scalarSize(uint32_t type);
bool isStructured(uint32_t type);  // ARRAY, STRUCT, DIRECTORY
// Name of a type code ("UINT8"), or its number as text for codes without a name.
std::string typeName(uint32_t type);

// One directory entry as a walk hands it out.
struct DirEntryData {
  uint32_t valid = 1;
  std::string memberName;
  std::string separator;
};

class Store {
 public:
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Replaces the whole tree (and the device state) by the tree-file JSON text. Every open
  // handle and directory walk becomes invalid. Throws std::runtime_error naming origin, the
  // place in the tree and what is wrong; the old tree stays when loading fails.
  void load(const std::string& json, const std::string& origin = "tree");
  void loadFile(const std::string& fileName);

  // Who opened a handle (the server: the client's process id; in-process use: 0). A handle or
  // directory walk answers only its owner; to anybody else it is an invalid handle (0x81000002).
  using Owner = uint64_t;
  // Handles and directory walks one owner may hold at once; past it open and openDir answer
  // KALPAPI_E_TOO_MANY_HANDLES. 0: no limit (the default).
  void setHandleLimit(size_t limit);
  // Closes every handle and walk of owner (its client went away).
  void release(Owner owner);

  // The KalpApi operations; results are KalpApi status codes.
  uint32_t open(const std::string& path, uint32_t& handle, Owner owner = 0);
  uint32_t getType(uint32_t handle, uint32_t& type, Owner owner = 0);
  uint32_t read(uint32_t handle, void* destination, uint16_t byteCount, Owner owner = 0);
  uint32_t write(uint32_t handle, const void* source, uint16_t byteCount, Owner owner = 0);
  uint32_t close(uint32_t handle, Owner owner = 0);
  uint32_t readText(const std::string& path, std::string& text);
  // why (optional) receives a readable reason when the status is not 0.
  uint32_t writeText(const std::string& path, const std::string& text, std::string* why = nullptr);
  uint32_t openDir(const std::string& path, uint32_t& directoryHandle, Owner owner = 0);
  uint32_t readDir(uint32_t directoryHandle, DirEntryData& entry, Owner owner = 0);
  uint32_t closeDir(uint32_t directoryHandle, Owner owner = 0);
  uint32_t deviceState() const;
  void setDeviceState(uint32_t state);

  // Operator and test access (no faults apply).
  uint32_t setFault(const std::string& path, const std::string& op, uint32_t status,
                    std::string* why = nullptr);
  // The subtree at path (the whole tree for "") in tree-file format; 0x81000501 if missing.
  uint32_t dump(const std::string& path, std::string& json);
  // Throwing helpers for tests: std::runtime_error on a missing path or a bad value.
  std::string getText(const std::string& path);
  std::vector<uint8_t> getRaw(const std::string& path);
  void setText(const std::string& path, const std::string& text);
  void setRaw(const std::string& path, const std::vector<uint8_t>& bytes);
  size_t openHandleCount() const;
  size_t openDirCount() const;

  // Advances the simulated values that are due; returns whether any variable is simulated.
  bool tick(std::chrono::steady_clock::time_point now);

  struct Node;

 private:
  Node* find(const std::string& path) const;  // lock held
  // A new handle number for owner, drawn at random so that nobody can tell another client's
  // numbers from their own; false when owner holds the limit (lock held).
  bool newHandle(Owner owner, uint32_t& handle);
  void forget(Owner owner);  // one handle or walk of owner less (lock held)

  mutable std::mutex mutex_;  // guards every member below
  std::unique_ptr<Node> root_;
  std::unordered_map<std::string, Node*> byPath_;
  std::vector<Node*> simulated_;
  uint32_t deviceState_ = 300;
  struct Handle {
    Node* node;
    Owner owner;
  };
  std::unordered_map<uint32_t, Handle> handles_;
  struct Walk {
    Node* node;
    size_t next;
    Owner owner;
  };
  std::unordered_map<uint32_t, Walk> walks_;
  size_t handleLimit_ = 0;
  std::unordered_map<Owner, size_t> held_;  // handles and walks per owner
};

}  // namespace kalpstore

#endif
