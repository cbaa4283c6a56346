// GVPitem: one node of the variable server's tree that a configuration item stands for.
// Base of every configuration item; opens the node, learns its type and hands matching
// members to the subclass through createChild.
#pragma once

#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

class GVPitem {
 public:
  // Opens and checks the node at fullPath. Throws std::runtime_error.
  explicit GVPitem(std::string fullPath);
  GVPitem(const GVPitem&) = delete;
  GVPitem& operator=(const GVPitem&) = delete;

  // Called by scanChildren once per (member, matching pattern) with the member's full path and
  // the pattern's index. Subclasses that expect no children reject every call.
  virtual void createChild(std::string fullPath, unsigned int uiIndex) = 0;

  // Compiles pattern (ECMAScript) and appends it; its position is the index createChild gets.
  void addChildPattern(const std::string& pattern);
  // Walks the node's members and calls createChild for each whole-name match. Throws.
  void scanChildren();

  std::string getName() const { return name; }
  uint32_t getType() const { return type; }

 protected:
  // Closes the handle unless the node is structured; the status is ignored.
  ~GVPitem();

  uint32_t handle = 0;
  std::string name;
  uint32_t type = 0;
  std::vector<std::unique_ptr<std::regex>> patterns;
};
