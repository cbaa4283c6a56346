// ZAL_MQTT_VarTopicSet: reading a topic with its variables, and merging the configured names
// into one tree of GVPvariable nodes.
#include "ZAL_MQTT_VarTopicSet.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "KalpApi.h"
#include "Trace.h"
#include "VariableServer.h"

namespace {

// True when the entry holds nothing but "." characters (or nothing at all): such an entry names
// no variable.
bool namesNoVariable(const std::string& entry) { return entry.find_first_not_of('.') == std::string::npos; }

// Reads an optional REAL or LREAL member into value: absent leaves it 0; another type or a
// failed read throws message.
void readOptionalFloating(const std::string& path, double& value, const char* message) {
  uint32_t handle = 0;
  uint32_t status = KalpApiVarOpenHdlA(path.c_str(), &handle);
  if (status == KALPAPI_E_NOT_FOUND) return;
  if (status != KALPAPI_OK) throw std::runtime_error(message);
  uint32_t type = 0;
  status = KalpApiVarGetType(handle, &type);
  if (status == KALPAPI_OK && type == KALPAPI_TYPE_REAL) {
    float real = 0;
    status = KalpApiVarRead(&real, handle, sizeof real);
    value = real;
  } else if (status == KALPAPI_OK && type == KALPAPI_TYPE_LREAL) {
    status = KalpApiVarRead(&value, handle, sizeof value);
  } else {
    status = KALPAPI_E_INVALID_PARAMETER;
  }
  KalpApiVarCloseHdl(&handle);
  if (status != KALPAPI_OK) throw std::runtime_error(message);
}

}  // namespace

ZAL_MQTT_VarTopicSet::ZAL_MQTT_VarTopicSet(std::string path, std::string applicationName) : GVPitem(path) {
  const std::string base = getName() + ".";

  char buffer[256] = {};
  if (KalpApiVarTxtRead((base + "topic").c_str(), buffer, sizeof buffer) != KALPAPI_OK) {
    throw std::runtime_error("Bad variable-topic set: cannot read topic.");
  }
  buffer[sizeof buffer - 1] = '\0';
  topic = buffer;

  readOptionalFlag(base + "xRaw", xRaw, "Bad variable-topic set: cannot read existing xRaw flag.");
  readOptionalFlag(base + "xSendOnValueChange", xSendOnValueChange,
                   "Bad variable-topic set: cannot read existing xSendOnValueChange flag.");
  // The only-changed flag means something only together with sending on change.
  if (xSendOnValueChange != 0) {
    readOptionalFlag(base + "xSendOnlyChanged", xSendOnlyChanged,
                     "Bad variable-topic set: cannot read existing xSendOnlyChanged flag.");
  } else {
    xSendOnlyChanged = 0;
  }

  // Opt-in members, absent unless given: the publish configuration's QoS and retain flag for a
  // published set; QoS 0 for a subscription.
  uint32_t value = 0;
  const uint32_t qosStatus = readUint32Member(base + "uiQoS", value);
  if (qosStatus == KALPAPI_OK) {
    if (value > 2) throw std::runtime_error("Bad variable-topic set: uiQoS must be 0, 1 or 2.");
    uiQoS = value;
  } else if (qosStatus != KALPAPI_E_NOT_FOUND) {
    throw std::runtime_error("Bad variable-topic set: cannot read existing uiQoS.");
  }
  const uint32_t retainStatus = readUint32Member(base + "xRetain", value);
  if (retainStatus == KALPAPI_OK) {
    xRetain = value;
  } else if (retainStatus != KALPAPI_E_NOT_FOUND) {
    throw std::runtime_error("Bad variable-topic set: cannot read existing xRetain flag.");
  }

  readOptionalFlag(base + "xIgnoreRetained", xIgnoreRetained,
                   "Bad variable-topic set: cannot read existing xIgnoreRetained flag.");

  // Opt-in: absent or 0 keeps the exact change test.
  readOptionalFloating(base + "rDeadband", rDeadband,
                       "Bad variable-topic set: cannot read existing rDeadband (REAL or LREAL).");
  if (!std::isfinite(rDeadband) || rDeadband < 0)
    throw std::runtime_error("Bad variable-topic set: rDeadband must be a finite number, 0 or above.");

  // variable:0, variable:1, ... up to the first missing index.
  unsigned long entries = 0;
  for (unsigned long n = 0;; ++n) {
    const std::string entryPath = base + "variable:" + std::to_string(n);
    char entry[256] = {};
    const uint32_t status = KalpApiVarTxtRead(entryPath.c_str(), entry, sizeof entry);
    if (status == KALPAPI_E_NOT_FOUND) break;
    if (status != KALPAPI_OK)
      throw std::runtime_error("Bad variable-topic set: cannot read existing variable name.");
    entry[sizeof entry - 1] = '\0';
    const std::string text = entry;
    if (namesNoVariable(text)) {
      throw std::runtime_error("Bad variable-topic set: " + entryPath + " names no variable (text is \"" +
                               text + "\").");
    }
    const std::vector<std::string> components = splitVariableName(text);
    addVariable(variables, components, applicationName);
    if (entries == 0) {
      // The variable itself, not the root of the tree it was merged into: a raw payload is the
      // text of exactly the variable the configuration names.
      rawPath = "APPL." + applicationName;
      for (const std::string& component : components) rawPath += "." + component;
    }
    ++entries;
  }

  if (rDeadband > 0)
    for (const std::shared_ptr<GVPvariable>& variable : variables) variable->setDeadband(rDeadband);

  if (topic.empty()) throw std::runtime_error("Bad variable-topic set: empty topic string.");
  if (xRaw != 0 && variables.size() >= 2) {
    throw std::runtime_error("Bad variable-topic-set: It uses RAW format and has more than one variables.");
  }

  TRACE(1, entries, " variable:<n> entries found for topic ", topic, ".");
  TRACE(1, "Created ", variables.size(), " root members in variables vector.");
  TRACE(1, "created ", GVPvariable::getObjectCount(), " variable objects, altogether.");
}

std::vector<std::string> ZAL_MQTT_VarTopicSet::splitVariableName(const std::string& text) {
  std::vector<std::string> components;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const std::string::size_type dot = text.find('.', start);
    if (dot == std::string::npos) {
      components.push_back(text.substr(start));
      break;
    }
    components.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
  return components;
}

void ZAL_MQTT_VarTopicSet::addVariable(std::vector<std::shared_ptr<GVPvariable>>& list,
                                       std::vector<std::string> components, std::string prefix) {
  if (components.empty()) {
    throw std::runtime_error("ZAL_MQTT_VarTopicSet::addVariable() called without a variable name component.");
  }
  const std::string first = components.front();
  components.erase(components.begin());

  std::shared_ptr<GVPvariable> match;
  for (const auto& member : list) {
    if (member->getName() == first) match = member;  // the last of equal names wins
  }

  if (match) {
    if (components.empty()) return;  // already in the tree
    addVariable(match->getChildren(), std::move(components), prefix + "." + first);
    return;
  }

  // Intermediate levels are bound without their members, so that only the configured parts of a
  // structure are transferred; the last level is bound complete.
  const bool last = components.empty();
  auto created = std::make_shared<GVPvariable>("APPL." + prefix + ".", first, !last);
  list.push_back(created);
  if (!last) addVariable(created->getChildren(), std::move(components), prefix + "." + first);
}

void ZAL_MQTT_VarTopicSet::createChild(std::string /*name*/, unsigned int /*uiIndex*/) {
  TRACE(1, "Error : unexpected call to ZAL_MQTT_VarTopicSet::createChild(). ");
  assert(!"ZAL_MQTT_VarTopicSet has no child items");
  std::abort();
}

ZAL_MQTT_VarTopicSet::~ZAL_MQTT_VarTopicSet() = default;
