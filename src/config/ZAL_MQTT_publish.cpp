// ZAL_MQTT_publish: reading one publish configuration and its variable-topic sets.
#include "ZAL_MQTT_publish.h"

#include <rapidjson/encodings.h>
#include <rapidjson/stream.h>

#include <stdexcept>

#include "ConfigurationProblems.h"
#include "KalpApi.h"
#include "Trace.h"
#include "VariableServer.h"

namespace {

// Reads the optional text member at path: absent gives "", any other failure throws message.
std::string readOptionalText(const std::string& path, const char* message) {
  char buffer[256] = {};
  const uint32_t status = KalpApiVarTxtRead(path.c_str(), buffer, sizeof buffer);
  if (status == KALPAPI_E_NOT_FOUND) return "";
  if (status != KALPAPI_OK) throw std::runtime_error(message);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

// The name goes into JSON payloads as it stands: it must be valid UTF-8.
bool isValidUtf8(const std::string& text) {
  struct Discard {
    void Put(char) {}
  } out;
  rapidjson::StringStream in(text.c_str());
  while (in.Tell() < text.size()) {
    if (!rapidjson::UTF8<>::Validate(in, out)) return false;
  }
  return true;
}

// The member names a JSON payload of set already carries: one per root variable, and the two
// bound members that follow an array with elements.
std::vector<std::string> payloadMemberNames(const ZAL_MQTT_VarTopicSet& set) {
  std::vector<std::string> names;
  for (const std::shared_ptr<GVPvariable>& variable : set.getVariables()) {
    names.push_back(variable->getName());
    if (variable->getType() == 24 && !variable->getChildren().empty()) {
      names.push_back("LowerBound_" + variable->getName());
      names.push_back("UpperBound_" + variable->getName());
    }
  }
  return names;
}

}  // namespace

ZAL_MQTT_publish::ZAL_MQTT_publish(std::string path, std::string applicationName) : GVPitem(path) {
  if (applicationName.empty()) {
    throw std::runtime_error(
        "Call to ZAL_MQTT_publish::ZAL_MQTT_publish() failed: application name is empty.");
  }
  this->applicationName = applicationName;

  uint32_t period = 0;
  if (readUint32Member(getName() + ".uiPublishPeriodms", period) != KALPAPI_OK) {
    throw std::runtime_error("Bad publish configuration: cannot read publish period.");
  }
  uiPublishPeriodms = period;

  strTimestampMember =
      readOptionalText(getName() + ".strTimestampMember",
                       "Bad publish configuration: cannot read existing strTimestampMember.");
  if (!isValidUtf8(strTimestampMember))
    throw std::runtime_error("Bad publish configuration: strTimestampMember is not valid UTF-8.");
  readOptionalFlag(getName() + ".uiOfflineBufferKB", uiOfflineBufferKB,
                   "Bad publish configuration: cannot read existing uiOfflineBufferKB.");
  strOfflineBufferFile =
      readOptionalText(getName() + ".strOfflineBufferFile",
                       "Bad publish configuration: cannot read existing strOfflineBufferFile.");
  if (!strOfflineBufferFile.empty() && uiOfflineBufferKB == 0)
    throw std::runtime_error("Bad publish configuration: strOfflineBufferFile needs uiOfflineBufferKB.");
  readOptionalFlag(getName() + ".uiOfflineMaxAgeS", uiOfflineMaxAgeS,
                   "Bad publish configuration: cannot read existing uiOfflineMaxAgeS.");
  // Opt-in members; absent: QoS 1, not retained, no full payload after a connect (as always).
  const uint32_t qosStatus = readUint32Member(getName() + ".uiQoS", uiQoS);
  if (qosStatus == KALPAPI_E_NOT_FOUND) {
    uiQoS = 1;
  } else if (qosStatus != KALPAPI_OK) {
    throw std::runtime_error("Bad publish configuration: cannot read existing uiQoS.");
  } else if (uiQoS > 2) {
    throw std::runtime_error("Bad publish configuration: uiQoS must be 0, 1 or 2.");
  }
  readOptionalFlag(getName() + ".xRetain", xRetain,
                   "Bad publish configuration: cannot read existing xRetain flag.");
  readOptionalFlag(getName() + ".xFullOnConnect", xFullOnConnect,
                   "Bad publish configuration: cannot read existing xFullOnConnect flag.");

  readOptionalFlag(getName() + ".uiMaxSilenceS", uiMaxSilenceS,
                   "Bad publish configuration: cannot read existing uiMaxSilenceS.");

  // MQTT 5 only; absent: no expiry, no user properties.
  readOptionalFlag(getName() + ".uiMessageExpiryS", uiMessageExpiryS,
                   "Bad publish configuration: cannot read existing uiMessageExpiryS.");
  for (unsigned long n = 0;; ++n) {
    const std::string entry =
        readOptionalText(getName() + ".strUserProperty:" + std::to_string(n),
                         "Bad publish configuration: cannot read existing strUserProperty.");
    if (entry.empty()) break;
    const size_t equals = entry.find('=');
    if (equals == 0 || equals == std::string::npos || !isValidUtf8(entry))
      throw std::runtime_error("Bad publish configuration: strUserProperty:" + std::to_string(n) +
                               " is not name=value in UTF-8 (text is \"" + entry + "\").");
    userProperties.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }

  addChildPattern("VariableTopicSet:\\d+");
  scanChildren();

  // Tested after the sets are built, so that the sets' own errors are traced first.
  if (uiPublishPeriodms == 0) throw std::runtime_error("publish configuration has invalid 0 ms period time.");
  if (variableTopicSets.empty())
    throw std::runtime_error("publish configuration has no variable-topic-sets.");

  // The sample time must not take the place of a value: a name a JSON payload already carries
  // makes the configuration bad. Raw payloads carry no members.
  if (!strTimestampMember.empty()) {
    for (const std::shared_ptr<ZAL_MQTT_VarTopicSet>& set : variableTopicSets) {
      if (set->getRaw() != 0) continue;
      for (const std::string& name : payloadMemberNames(*set)) {
        if (name == strTimestampMember)
          throw std::runtime_error("Bad publish configuration: strTimestampMember \"" + strTimestampMember +
                                   "\" is also a member of the payload of topic " + set->getTopic() + ".");
      }
    }
  }
}

void ZAL_MQTT_publish::createChild(std::string name, unsigned int uiIndex) {
  if (uiIndex != 0) {
    TRACE(1, "Error in ZAL_MQTT_publish::createChild(): called with invalid uiIndex.");
    return;
  }
  try {
    variableTopicSets.push_back(std::make_shared<ZAL_MQTT_VarTopicSet>(name, applicationName));
  } catch (const std::runtime_error& error) {
    // One bad set costs only that set.
    TRACE(2, "ZAL_MQTT_publish child item exception: ");
    TRACE(2, error.what());
    reportConfigurationProblem(name, error.what());
  }
}

ZAL_MQTT_publish::~ZAL_MQTT_publish() = default;
