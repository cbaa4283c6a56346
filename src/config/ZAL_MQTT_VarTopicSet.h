// ZAL_MQTT_VarTopicSet: one MQTT topic with the process variables that travel on it, a raw/JSON
// choice and two change flags. Used as a variable-topic set of a publish configuration
// (VariableTopicSet:<n>) and as a subscribe configuration (ZAL_MQTT_subscribe:<n>).
// Read-only once constructed, apart from the values inside the GVPvariable trees.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "GVPitem.h"
#include "GVPvariable.h"

class ZAL_MQTT_VarTopicSet : public GVPitem {
 public:
  // Reads the set at path; its variables are bound under "APPL." + applicationName + ".".
  // Throws std::runtime_error at the first problem; a partly built set is released entirely.
  ZAL_MQTT_VarTopicSet(std::string path, std::string applicationName);

  // A set has no child items; any call is a programming error (traced, then aborts).
  void createChild(std::string name, unsigned int uiIndex) override;
  virtual ~ZAL_MQTT_VarTopicSet();

  std::string getTopic() const { return topic; }
  uint32_t getRaw() const { return xRaw; }
  uint32_t getSendOnValueChange() const { return xSendOnValueChange; }
  uint32_t getSendOnlyChanged() const { return xSendOnlyChanged; }
  // The set's own QoS (0, 1 or 2) and retain flag, empty when the member is absent.
  std::optional<uint32_t> getQoS() const { return uiQoS; }
  std::optional<uint32_t> getRetain() const { return xRetain; }
  // Deadband of the change test of an on-change set's REAL and LREAL members; 0 when off
  // (member absent or 0): the exact comparison.
  double getDeadband() const { return rDeadband; }
  // Subscription: messages that arrive with the retain flag are skipped (and, under MQTT 5, the
  // broker is asked not to send them); 0 when the member is absent.
  uint32_t getIgnoreRetained() const { return xIgnoreRetained; }
  // Copy of the root members of the variable tree, in first-mention order.
  std::vector<std::shared_ptr<GVPvariable>> getVariables() const { return variables; }
  // Full path of the variable variable:0 names ("APPL.<application>.Drive.Speed", at any depth,
  // array elements included: "APPL.<application>.aTemp[2]"): what a raw set reads and a raw
  // subscription writes. Empty when the set names no variable.
  const std::string& getRawPath() const { return rawPath; }

  // Splits a configured variable name at every ".": "A.B" gives A and B; a trailing "." adds no
  // component; a leading "." or ".." gives an empty component; "" gives none.
  static std::vector<std::string> splitVariableName(const std::string& text);

  // Merges one configured name (its components) into the tree held in list. Members already
  // present (same name; the last of equal names wins) are reused; missing ones are bound under
  // "APPL." + prefix + "." - intermediate levels without their members, the last level complete.
  // components must not be empty. Throws std::runtime_error when a variable cannot be bound.
  static void addVariable(std::vector<std::shared_ptr<GVPvariable>>& list,
                          std::vector<std::string> components, std::string prefix);

 private:
  std::string topic;
  uint32_t xRaw = 0;
  uint32_t xSendOnValueChange = 0;
  uint32_t xSendOnlyChanged = 0;
  std::optional<uint32_t> uiQoS;
  std::optional<uint32_t> xRetain;
  double rDeadband = 0;
  uint32_t xIgnoreRetained = 0;
  std::vector<std::shared_ptr<GVPvariable>> variables;
  std::string rawPath;
};
