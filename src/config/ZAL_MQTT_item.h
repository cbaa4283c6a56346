// ZAL_MQTT_item: the root of the configuration ("ZAL_MQTT_configuration object"), read from the
// node "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0": broker address and credentials, flags,
// optional TLS, and the publish and subscribe configurations.
//
// Immutable after construction and shared between threads without a lock: accessors return
// copies (children as copies of their shared pointers, so a worker may keep using a child after
// the root is gone). Only readActivateConnection and writeConnectedToBroker reach the variable
// server, through their own GVPvariable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BrokerList.h"
#include "GVPitem.h"
#include "GVPvariable.h"
#include "ZAL_MQTT_TLS.h"
#include "ZAL_MQTT_VarTopicSet.h"
#include "ZAL_MQTT_publish.h"

// Largest accepted uiReconnectMaxS, in seconds.
constexpr uint32_t kReconnectMaxSLimit = 3600;
// uiFailoverAfterS: its default and largest accepted value, in seconds.
constexpr uint32_t kFailoverAfterSDefault = 10;
constexpr uint32_t kFailoverAfterSLimit = 3600;
// Values of uiProtocolVersion (the protocol level byte of the CONNECT packet).
constexpr uint32_t kProtocolVersion311 = 4;
constexpr uint32_t kProtocolVersion5 = 5;
// Session expiry under MQTT 5 with xCleanSession 0 when uiSessionExpiryS is absent: one hour.
constexpr uint32_t kDefaultSessionExpiryS = 3600;

class ZAL_MQTT_item : public GVPitem {
 public:
  // Reads and validates the whole configuration under path. Throws std::runtime_error with a
  // message naming the first problem; nothing is left behind. Bad publish or subscribe children
  // are traced and skipped; a TLS node that selects no kind of TLS is traced and ignored, one
  // that selects a kind but is invalid fails with its own message.
  explicit ZAL_MQTT_item(std::string path);

  // Index 0 ("ZAL_MQTT_subscribe:\d+") builds a subscribe configuration, index 1
  // ("ZAL_MQTT_publish:\d+") a publish configuration, index 2 ("ZAL_MQTT_broker:\d+") a further
  // broker of the failover list; a child that fails is traced and skipped.
  void createChild(std::string name, unsigned int uiIndex) override;
  virtual ~ZAL_MQTT_item();

  std::string getClientID() const { return strClientID; }
  std::string getBrokerURL() const { return BrokerURL; }
  uint32_t getBrokerPort() const { return BrokerPort; }
  uint32_t getKeepAliveTime() const { return keepAliveTime; }
  uint32_t getCleanSession() const { return xCleanSession; }
  std::string getUsername() const { return strUsername; }
  std::string getPassword() const { return strPassword; }
  uint32_t getUseUserAuthentication() const { return xUseUserAuthentication; }

  // Live value of xActivateConnection. Throws std::runtime_error when the read fails.
  uint32_t readActivateConnection() const;
  // Writes value to xConnectedToBroker. Throws std::runtime_error when the write fails.
  void writeConnectedToBroker(uint32_t value) const;

  std::vector<std::shared_ptr<ZAL_MQTT_publish>> getPublishConfigurations() const {
    return publishConfigurations;
  }
  std::vector<std::shared_ptr<ZAL_MQTT_VarTopicSet>> getSubscribeConfigurations() const {
    return subscribeConfigurations;
  }
  // Empty when there is no TLS node or it selects no kind: the connection then goes without TLS.
  std::shared_ptr<ZAL_MQTT_TLS> getTLS() const { return tls; }
  uint32_t getTraceLevel() const { return uiTraceLevel; }
  uint32_t getSubscribeQueueMemLimitKB() const { return uiSubscribeQueueMemLimitKB; }
  // What the controller's STRINGs hold: 0 UTF-8 (the default), 1 Latin-1.
  uint32_t getStringEncoding() const { return uiStringEncoding; }
  // Pause in ms after each member and each structured node while the publish and subscribe
  // configurations' variables were built (absent: 10).
  uint32_t getBrowsePauseMs() const { return uiBrowsePauseMs; }
  // Topic of the service's retained online/offline status; empty: no status messages.
  std::string getStatusTopic() const { return strStatusTopic; }
  // Seconds between two statistics messages on <status topic>/stats; 0: none.
  uint32_t getStatusPeriodS() const { return uiStatusPeriodS; }
  // First wait of the automatic retry from the error state, in seconds; 0: no automatic retry.
  uint32_t getErrorRetryS() const { return uiErrorRetryS; }
  // Longest wait between two reconnection attempts, in seconds (waits double from 1 s up to it,
  // with random jitter); 0: the MQTT library re-dials every second by itself.
  uint32_t getReconnectMaxS() const { return uiReconnectMaxS; }
  // QoS 1 and 2 messages the MQTT library keeps unacknowledged at once; 0: its default (20).
  uint32_t getMaxInflightMessages() const { return uiMaxInflightMessages; }
  // The failover list: the root's broker first, then the ZAL_MQTT_broker:<n> children in
  // index order. A single entry (no children) means no failover list.
  std::vector<BrokerAddress> getBrokers() const;
  // Seconds a broker may stay unreachable before the next one of the list is tried.
  uint32_t getFailoverAfterS() const { return uiFailoverAfterS; }
  // Sparkplug B group id; empty: the service publishes and subscribes as without Sparkplug.
  std::string getSparkplugGroupId() const { return strSparkplugGroupId; }
  // Sparkplug B edge node id (strSparkplugEdgeNodeId, else the client ID); empty without a group.
  std::string getSparkplugEdgeNodeId() const { return strSparkplugEdgeNodeId; }
  // The primary host application whose STATE the edge node follows; empty: none.
  std::string getSparkplugPrimaryHostId() const { return strSparkplugPrimaryHostId; }
  // MQTT protocol version: 4 (MQTT 3.1.1, also when the member is absent) or 5 (MQTT 5).
  uint32_t getProtocolVersion() const { return uiProtocolVersion; }
  // MQTT 5 with xCleanSession 0: seconds the broker keeps the session after a connection ends.
  uint32_t getSessionExpiryS() const { return uiSessionExpiryS; }

 private:
  // Declaration order is the release order reversed: tls, subscribe and publish configurations,
  // the bound variables, then the strings.
  std::string ApplicationName;
  std::string strClientID;
  std::string BrokerURL;
  uint32_t BrokerPort = 0;
  uint32_t keepAliveTime = 0;
  uint32_t xCleanSession = 0;
  std::string strUsername;
  std::string strPassword;
  uint32_t xUseUserAuthentication = 0;
  std::shared_ptr<GVPvariable> xActivateConnection;
  std::shared_ptr<GVPvariable> xConnectedToBroker;
  std::shared_ptr<GVPvariable> xErrorRetry;  // bound so that a missing member is caught early
  uint32_t uiTraceLevel = 0;
  std::vector<std::shared_ptr<ZAL_MQTT_publish>> publishConfigurations;
  std::vector<std::shared_ptr<ZAL_MQTT_VarTopicSet>> subscribeConfigurations;
  std::shared_ptr<ZAL_MQTT_TLS> tls;
  uint32_t uiSubscribeQueueMemLimitKB = 1024;
  uint32_t uiStringEncoding = 0;
  uint32_t uiBrowsePauseMs = 10;
  std::string strStatusTopic;
  uint32_t uiStatusPeriodS = 0;
  uint32_t uiErrorRetryS = 0;
  uint32_t uiReconnectMaxS = 0;
  uint32_t uiMaxInflightMessages = 0;
  // The ZAL_MQTT_broker:<n> children by n (the failover list after the root's broker).
  std::vector<std::pair<unsigned long, BrokerAddress>> failoverBrokers;
  uint32_t uiFailoverAfterS = kFailoverAfterSDefault;
  std::string strSparkplugGroupId;
  std::string strSparkplugEdgeNodeId;
  std::string strSparkplugPrimaryHostId;
  uint32_t uiProtocolVersion = kProtocolVersion311;
  uint32_t uiSessionExpiryS = kDefaultSessionExpiryS;
};
