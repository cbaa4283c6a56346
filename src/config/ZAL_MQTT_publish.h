// ZAL_MQTT_publish: one publish configuration (ZAL_MQTT_publish:<n>): a publish period and one
// or more variable-topic sets. A set that cannot be built is traced and skipped. Two optional
// members switch on extensions: strTimestampMember (JSON payloads carry their sample time under
// that name) and uiOfflineBufferKB (payloads sampled while the connection is lost are kept, up to
// that many KB, and sent after reconnecting), on disk in the file strOfflineBufferFile when it is
// set, with uiOfflineMaxAgeS as the age limit of what is kept there. Read-only once constructed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "GVPitem.h"
#include "ZAL_MQTT_VarTopicSet.h"

class ZAL_MQTT_publish : public GVPitem {
 public:
  // Reads the configuration at path and builds its VariableTopicSet:<n> children, whose
  // variables are bound under "APPL." + applicationName + ".". Throws std::runtime_error.
  ZAL_MQTT_publish(std::string path, std::string applicationName);

  // Index 0 ("VariableTopicSet:\d+"): builds one set; a failing set is traced at level 2 and
  // skipped. Any other index is traced and ignored.
  void createChild(std::string name, unsigned int uiIndex) override;
  virtual ~ZAL_MQTT_publish();

  uint32_t getPublishPeriodms() const { return uiPublishPeriodms; }
  // QoS (0, 1 or 2) and retain flag of the sets' messages; a set may give its own.
  uint32_t getQoS() const { return uiQoS; }
  uint32_t getRetain() const { return xRetain; }
  // Not 0: an on-change set publishes all its members in the first cycle after each connect.
  uint32_t getFullOnConnect() const { return xFullOnConnect; }
  // Copy of the sets, in creation order.
  std::vector<std::shared_ptr<ZAL_MQTT_VarTopicSet>> getVariableTopicSets() const {
    return variableTopicSets;
  }
  // Name of the sample-time member of JSON payloads; empty when off (member absent or empty).
  std::string getTimestampMember() const { return strTimestampMember; }
  // Heartbeat of the on-change sets: one that published nothing for this many seconds
  // publishes all its members once; 0 when off (member absent or 0).
  uint32_t getMaxSilenceS() const { return uiMaxSilenceS; }
  // Size of the offline buffer in KB; 0 when off (member absent or 0).
  uint32_t getOfflineBufferKB() const { return uiOfflineBufferKB; }
  // File of the offline buffer on disk; empty when the buffer is in memory (member absent or
  // empty). Needs uiOfflineBufferKB, its size.
  std::string getOfflineBufferFile() const { return strOfflineBufferFile; }
  // Seconds after which a payload kept on disk is dropped instead of sent; 0: never.
  uint32_t getOfflineMaxAgeS() const { return uiOfflineMaxAgeS; }
  // MQTT 5: Message Expiry Interval of the payloads in seconds; 0 (member absent): none.
  uint32_t getMessageExpiryS() const { return uiMessageExpiryS; }
  // MQTT 5: user properties of every payload (strUserProperty:<n> "name=value"), in order.
  const std::vector<std::pair<std::string, std::string>>& getUserProperties() const { return userProperties; }

 private:
  uint32_t uiPublishPeriodms = 0;
  std::string applicationName;
  uint32_t uiQoS = 1;
  uint32_t xRetain = 0;
  uint32_t xFullOnConnect = 0;
  std::vector<std::shared_ptr<ZAL_MQTT_VarTopicSet>> variableTopicSets;
  std::string strTimestampMember;
  uint32_t uiOfflineBufferKB = 0;
  std::string strOfflineBufferFile;
  uint32_t uiOfflineMaxAgeS = 0;
  uint32_t uiMaxSilenceS = 0;
  uint32_t uiMessageExpiryS = 0;
  std::vector<std::pair<std::string, std::string>> userProperties;
};
