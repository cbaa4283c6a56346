// ZAL_MQTT_publish: reading one publish configuration and its variable-topic sets.
#include "ZAL_MQTT_publish.h"

#include <stdexcept>

#include "KalpApi.h"
#include "Trace.h"
#include "VariableServer.h"

ZAL_MQTT_publish::ZAL_MQTT_publish(std::string path, std::string applicationName) : GVPitem(path) {
  if (applicationName.empty()) {
    throw std::runtime_error(
        "Call to ZAL_MQTT_publish::ZAL_MQTT_publish() failed: application name is empty.");
  }
  this->applicationName = applicationName;

  uint32_t period = 0;
  if (readVariableByName(getName() + ".uiPublishPeriodms", &period, sizeof period) != KALPAPI_OK) {
    throw std::runtime_error("Bad publish configuration: cannot read publish period.");
  }
  uiPublishPeriodms = period;

  // Opt-in members; absent: QoS 1, not retained, no full payload after a connect (as always).
  const uint32_t qosStatus = readVariableByName(getName() + ".uiQoS", &uiQoS, sizeof uiQoS);
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

  addChildPattern("VariableTopicSet:\\d+");
  scanChildren();

  // Tested after the sets are built, so that the sets' own errors are traced first.
  if (uiPublishPeriodms == 0) throw std::runtime_error("publish configuration has invalid 0 ms period time.");
  if (variableTopicSets.empty())
    throw std::runtime_error("publish configuration has no variable-topic-sets.");
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
  }
}

ZAL_MQTT_publish::~ZAL_MQTT_publish() = default;
