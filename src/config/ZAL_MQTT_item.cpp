// ZAL_MQTT_item: reading and validating the configuration root and building its children.
#include "ZAL_MQTT_item.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "BindProgress.h"
#include "ConfigurationProblems.h"
#include "KalpApi.h"
#include "Trace.h"
#include "VariableServer.h"

namespace {

// Reads a required text member (cut at the first NUL of a 256-byte buffer); any failure throws
// message.
std::string readRequiredText(const std::string& path, const char* message) {
  char buffer[256] = {};
  if (KalpApiVarTxtRead(path.c_str(), buffer, sizeof buffer) != KALPAPI_OK) throw std::runtime_error(message);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

// Reads a required 4-byte member (of a 4-byte integer type); any failure throws message.
uint32_t readRequiredUint32(const std::string& path, const char* message) {
  uint32_t value = 0;
  if (readUint32Member(path, value) != KALPAPI_OK) throw std::runtime_error(message);
  return value;
}

// Reads an optional 4-byte member: absent gives fallback with the trace line absentTrace (none
// when it is null), any other failure throws message.
uint32_t readOptionalUint32(const std::string& path, uint32_t fallback, const char* absentTrace,
                            const char* message) {
  uint32_t value = 0;
  const uint32_t status = readUint32Member(path, value);
  if (status == KALPAPI_E_NOT_FOUND) {
    if (absentTrace != nullptr) TRACE(1, absentTrace);
    return fallback;
  }
  if (status != KALPAPI_OK) throw std::runtime_error(message);
  return value;
}

// Reads an optional text member (cut at the first NUL of a 256-byte buffer): absent gives an
// empty text, without a trace line; any other failure throws message.
std::string readOptionalText(const std::string& path, const char* message) {
  char buffer[256] = {};
  const uint32_t status = KalpApiVarTxtRead(path.c_str(), buffer, sizeof buffer);
  if (status == KALPAPI_E_NOT_FOUND) return std::string();
  if (status != KALPAPI_OK) throw std::runtime_error(message);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

// True when the variable server reports that no node exists at path.
bool nodeAbsent(const std::string& path) {
  uint32_t handle = 0;
  const uint32_t status = KalpApiVarOpenHdlA(path.c_str(), &handle);
  if (status == KALPAPI_OK) KalpApiVarCloseHdl(&handle);
  return status == KALPAPI_E_NOT_FOUND;
}

// Byte width of a flag variable's value; the control flags are read and written at their own
// width, so that a BOOL or BYTE flag works as well as a DWORD one.
unsigned int flagWidth(uint32_t type) {
  switch (type) {
    case KALPAPI_TYPE_BOOL:
    case KALPAPI_TYPE_SINT8:
    case KALPAPI_TYPE_UINT8:
    case KALPAPI_TYPE_BYTE:
      return 1;
    case KALPAPI_TYPE_SINT16:
    case KALPAPI_TYPE_UINT16:
    case KALPAPI_TYPE_WORD:
      return 2;
    default:
      return 4;
  }
}

}  // namespace

ZAL_MQTT_item::ZAL_MQTT_item(std::string path) : GVPitem(path) {
  const std::string base = getName() + ".";
  // Progress lines while the variables are bound (none for a bind shorter than their interval).
  BindProgress bindProgress(getName());

  ApplicationName =
      readRequiredText(base + "ApplicationName", "Bad broker configuration: cannot read application name.");
  strClientID =
      readRequiredText(base + "strClientID", "Bad broker configuration: cannot read MQTT client ID.");

  xConnectedToBroker = std::make_shared<GVPvariable>(getName(), ".xConnectedToBroker", false);
  xErrorRetry = std::make_shared<GVPvariable>(getName(), ".xErrorRetry", false);

  BrokerURL = readRequiredText(base + "BrokerURL", "Bad broker configuration: cannot read broker URL.");
  BrokerPort = readRequiredUint32(base + "BrokerPort", "Bad broker configuration: cannot read broker port.");
  keepAliveTime =
      readRequiredUint32(base + "keepAliveTime", "Bad broker configuration: cannot read keep-alive time.");
  xCleanSession =
      readRequiredUint32(base + "xCleanSession", "Bad broker configuration: cannot read clean session flag.");
  xUseUserAuthentication = readRequiredUint32(
      base + "xUseUserAuthentication", "Bad broker configuration: cannot read user authentication flag.");
  if (xUseUserAuthentication != 0) {
    strUsername = readRequiredText(base + "strUsername", "Bad broker configuration: cannot read user name.");
    strPassword = readRequiredText(base + "strPassword", "Bad broker configuration: cannot read password.");
  }

  xActivateConnection = std::make_shared<GVPvariable>(getName(), ".xActivateConnection", false);

  // A missing TLS node, or one that selects neither kind of TLS, means: connect without TLS.
  // A node that selects a kind but cannot be used fails the whole configuration with its own
  // message: the service never falls back to cleartext, which would send the credentials
  // unprotected.
  const std::string tlsPath = base + "ZAL_MQTT_TLS:0";
  if (nodeAbsent(tlsPath)) {
    TRACE(1, "No TLS configuration or TLS configuration is invalid.");
  } else {
    try {
      tls = std::make_shared<ZAL_MQTT_TLS>(tlsPath);
    } catch (const ZAL_MQTT_TLS::NotSelected&) {
      tls.reset();
      TRACE(1, "No TLS configuration or TLS configuration is invalid.");
    } catch (const std::runtime_error& error) {
      reportConfigurationProblem(tlsPath, error.what());
      throw;
    }
  }

  uiTraceLevel = readOptionalUint32(base + "uiTraceLevel", 0,
                                    "Broker configuration: No uiTraceLevel defined. Defaulting to zero.",
                                    "Bad broker configuration: access to uiTraceLevel failed.");
  uiSubscribeQueueMemLimitKB =
      readOptionalUint32(base + "uiSubscribeQueueMemLimitKB", 1024,
                         "Broker configuration: No uiSubscribeQueueMemLimitKB defined. Defaulting to 1024.",
                         "Bad broker configuration: access to uiSubscribeQueueMemLimitKB failed.");
  // Optional and silent when absent: 0 (UTF-8) keeps payloads as they were.
  readOptionalFlag(base + "uiStringEncoding", uiStringEncoding,
                   "Bad broker configuration: access to uiStringEncoding failed.");
  if (uiStringEncoding > 1) {
    throw std::runtime_error(
        "Bad broker configuration: uiStringEncoding is neither 0 (UTF-8) nor 1 (Latin-1).");
  }

  // The pause of the member walks that bind the publish and subscribe variables. Absent: the
  // walks keep the default pause, untraced. A long pause would hold start-up for minutes
  // without need, so more than a second is refused.
  std::optional<GVPvariable::MemberPauseScope> browsePause;
  uint32_t browsePauseMs = 0;
  const uint32_t browseStatus =
      readUint32Member(base + "uiBrowsePauseMs", browsePauseMs);
  if (browseStatus == KALPAPI_OK) {
    if (browsePauseMs > 1000)
      throw std::runtime_error("Bad broker configuration: uiBrowsePauseMs is above 1000 ms.");
    uiBrowsePauseMs = browsePauseMs;
    browsePause.emplace(std::chrono::milliseconds(uiBrowsePauseMs));
  } else if (browseStatus != KALPAPI_E_NOT_FOUND) {
    throw std::runtime_error("Bad broker configuration: access to uiBrowsePauseMs failed.");
  }

  // Opt-in members: absent means off, without a trace line.
  strStatusTopic =
      readOptionalText(base + "strStatusTopic", "Bad broker configuration: access to strStatusTopic failed.");
  if (strStatusTopic.find_first_of("+#") != std::string::npos)
    throw std::runtime_error(
        "Bad broker configuration: strStatusTopic must not contain the wildcards + or #.");
  uiStatusPeriodS = readOptionalUint32(base + "uiStatusPeriodS", 0, nullptr,
                                       "Bad broker configuration: access to uiStatusPeriodS failed.");
  uiErrorRetryS = readOptionalUint32(base + "uiErrorRetryS", 0, nullptr,
                                     "Bad broker configuration: access to uiErrorRetryS failed.");
  uiReconnectMaxS = readOptionalUint32(base + "uiReconnectMaxS", 0, nullptr,
                                       "Bad broker configuration: access to uiReconnectMaxS failed.");
  // More than an hour between two attempts would leave a plant without its broker for hours
  // after the broker is back.
  if (uiReconnectMaxS > kReconnectMaxSLimit)
    throw std::runtime_error("Bad broker configuration: uiReconnectMaxS is above 3600 s.");
  uiMaxInflightMessages =
      readOptionalUint32(base + "uiMaxInflightMessages", 0, nullptr,
                         "Bad broker configuration: access to uiMaxInflightMessages failed.");
  if (uiMaxInflightMessages > 65535)
    throw std::runtime_error("Bad broker configuration: uiMaxInflightMessages is above 65535.");
  uiProtocolVersion = readOptionalUint32(base + "uiProtocolVersion", kProtocolVersion311, nullptr,
                                         "Bad broker configuration: access to uiProtocolVersion failed.");
  if (uiProtocolVersion != kProtocolVersion311 && uiProtocolVersion != kProtocolVersion5)
    throw std::runtime_error(
        "Bad broker configuration: uiProtocolVersion is neither 4 (MQTT 3.1.1) nor 5 (MQTT 5).");
  uiSessionExpiryS = readOptionalUint32(base + "uiSessionExpiryS", kDefaultSessionExpiryS, nullptr,
                                        "Bad broker configuration: access to uiSessionExpiryS failed.");

  // Sparkplug B: the group switches the payloads and topics over; the edge node id defaults to
  // the client ID. Both are topic levels of their own, so they hold no "/", "+" or "#". The
  // node's death certificate is its last will, which the status topic's will would replace.
  strSparkplugGroupId = readOptionalText(base + "strSparkplugGroupId",
                                         "Bad broker configuration: access to strSparkplugGroupId failed.");
  if (!strSparkplugGroupId.empty()) {
    strSparkplugEdgeNodeId =
        readOptionalText(base + "strSparkplugEdgeNodeId",
                         "Bad broker configuration: access to strSparkplugEdgeNodeId failed.");
    if (strSparkplugEdgeNodeId.empty()) strSparkplugEdgeNodeId = strClientID;
    strSparkplugPrimaryHostId =
        readOptionalText(base + "strSparkplugPrimaryHostId",
                         "Bad broker configuration: access to strSparkplugPrimaryHostId failed.");
    if (strSparkplugPrimaryHostId.find_first_of("/+#") != std::string::npos)
      throw std::runtime_error(
          "Bad broker configuration: strSparkplugPrimaryHostId must not contain /, + or #.");
    if (strSparkplugGroupId.find_first_of("/+#") != std::string::npos)
      throw std::runtime_error("Bad broker configuration: strSparkplugGroupId must not contain /, + or #.");
    if (strSparkplugEdgeNodeId.find_first_of("/+#") != std::string::npos)
      throw std::runtime_error(
          "Bad broker configuration: the Sparkplug edge node id (strSparkplugEdgeNodeId, else strClientID) "
          "must not contain /, + or #.");
    if (!strStatusTopic.empty())
      throw std::runtime_error(
          "Bad broker configuration: strSparkplugGroupId and strStatusTopic cannot be combined (each needs "
          "the "
          "last will).");
  }

  // The members are read first, so that the children get the application name.
  addChildPattern("ZAL_MQTT_subscribe:\\d+");
  addChildPattern("ZAL_MQTT_publish:\\d+");
  addChildPattern("ZAL_MQTT_broker:\\d+");
  scanChildren();
  std::stable_sort(failoverBrokers.begin(), failoverBrokers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Read only with a failover list; silent when absent, as the other opt-in members.
  if (!failoverBrokers.empty()) {
    uiFailoverAfterS = readOptionalUint32(base + "uiFailoverAfterS", kFailoverAfterSDefault, nullptr,
                                          "Bad broker configuration: access to uiFailoverAfterS failed.");
    if (uiFailoverAfterS > kFailoverAfterSLimit)
      throw std::runtime_error("Bad broker configuration: uiFailoverAfterS is above 3600 s.");
  }

  if (ApplicationName.empty())
    throw std::runtime_error("Bad broker configuration: application name is empty.");
  if (BrokerURL.empty()) throw std::runtime_error("Bad broker configuration: broker URL is empty.");
  if (keepAliveTime == 0) throw std::runtime_error("Bad broker configuration: keep-alive time is zero.");
  if (xUseUserAuthentication == 1 && strUsername.empty()) {
    throw std::runtime_error("Bad broker configuration: user name is empty in user authentication.");
  }
  if (publishConfigurations.empty() && subscribeConfigurations.empty()) {
    throw std::runtime_error(
        "Bad ZAL_MQTT configuration: neither publish- nor subscribe configuration found.");
  }
}

namespace {

// One further broker of the failover list: BrokerURL and BrokerPort, as at the root. Throws
// std::runtime_error naming the problem.
BrokerAddress readFailoverBroker(const std::string& name) {
  BrokerAddress broker;
  broker.host = readRequiredText(name + ".BrokerURL", "Bad failover broker: cannot read broker URL.");
  broker.port = readRequiredUint32(name + ".BrokerPort", "Bad failover broker: cannot read broker port.");
  if (broker.host.empty()) throw std::runtime_error("Bad failover broker: broker URL is empty.");
  if (broker.port == 0 || broker.port > 65535)
    throw std::runtime_error("Bad failover broker: broker port is not in 1..65535.");
  return broker;
}

}  // namespace

std::vector<BrokerAddress> ZAL_MQTT_item::getBrokers() const {
  std::vector<BrokerAddress> brokers{BrokerAddress{BrokerURL, BrokerPort}};
  for (const auto& entry : failoverBrokers) brokers.push_back(entry.second);
  return brokers;
}

void ZAL_MQTT_item::createChild(std::string name, unsigned int uiIndex) {
  if (uiIndex > 2) {
    TRACE(1, "Error: ZAL_MQTT_item::createChild() called with unexpected uiIndex ", uiIndex, " !");
    assert(!"ZAL_MQTT_item::createChild() called with an index of no registered pattern");
    std::abort();
  }
  BindProgress::setCurrent(name);
  try {
    if (uiIndex == 2) {
      const unsigned long index = std::strtoul(name.c_str() + name.rfind(':') + 1, nullptr, 10);
      failoverBrokers.emplace_back(index, readFailoverBroker(name));
    } else if (uiIndex == 0) {
      subscribeConfigurations.push_back(std::make_shared<ZAL_MQTT_VarTopicSet>(name, ApplicationName));
    } else {
      publishConfigurations.push_back(std::make_shared<ZAL_MQTT_publish>(name, ApplicationName));
    }
  } catch (const std::runtime_error& error) {
    // One bad child costs only that child; the configuration as a whole fails only when no
    // publish or subscribe configuration survives.
    TRACE(1, "ZAL_MQTT child item exception: ");
    TRACE(1, error.what());
    TRACE(1, "Skipped configuration node: ", name);
    reportConfigurationProblem(name, error.what());
  }
}

uint32_t ZAL_MQTT_item::readActivateConnection() const {
  switch (flagWidth(xActivateConnection->getType())) {
    case 1:
      return xActivateConnection->readUint8();
    case 2:
      return xActivateConnection->readUint16();
    default:
      return xActivateConnection->readUint32();
  }
}

void ZAL_MQTT_item::writeConnectedToBroker(uint32_t value) const {
  switch (flagWidth(xConnectedToBroker->getType())) {
    case 1:
      xConnectedToBroker->writeUint8(static_cast<uint8_t>(value));
      break;
    case 2:
      xConnectedToBroker->writeUint16(static_cast<uint16_t>(value));
      break;
    default:
      xConnectedToBroker->writeUint32(value);
      break;
  }
}

ZAL_MQTT_item::~ZAL_MQTT_item() = default;
