// Helpers of the tests that move the service from one broker to another (a failover list, a
// clustered broker behind a load balancer): the counter plant with a store-and-forward set and a
// command subscription, and the check that every value arrived once and in order across the
// brokers.
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "OutageSupport.h"

namespace zaltest {

// A counter the variable server advances every 200 ms, sampled every 50 ms and published on
// change on plant/a with store and forward (sample times, a buffer of 64 KB); a raw command
// subscription plant/cmd writes Command; the status topic plant/status.
inline std::string failoverPlantTree(const std::string& brokerUrl, int brokerPort,
                                     const std::string& extraRootMembers) {
  ServiceConfig config;
  config.brokerUrl = brokerUrl;
  config.brokerPort = brokerPort;
  config.plantMembers =
      "\"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": \"counter\", \"periodMs\": "
      "200}}, \"Command\": {\"type\": \"UINT32\", \"value\": 0}";
  config.activate = 1;
  config.keepAlive = 5;
  config.publishes.push_back({50,
                              {{"plant/a", {"Counter"}, 0, 1, 0}},
                              "\"strTimestampMember\": {\"type\": \"STRING\", \"value\": \"SampleTime\"}, "
                              "\"uiOfflineBufferKB\": {\"type\": \"UINT32\", \"value\": 64}"});
  config.subscribes = {{"plant/cmd", {"Command"}, 1}};
  config.extraRootMembers = "\"strStatusTopic\": {\"type\": \"STRING\", \"value\": \"plant/status\"}";
  if (!extraRootMembers.empty()) config.extraRootMembers += ", " + extraRootMembers;
  return config.treeJson();
}

// Root members of a failover list: ZAL_MQTT_broker:<i> children for each port (on 127.0.0.1)
// and uiFailoverAfterS.
inline std::string failoverMembers(const std::vector<int>& ports, uint32_t failoverAfterS) {
  std::string members =
      "\"uiFailoverAfterS\": {\"type\": \"UINT32\", \"value\": " + std::to_string(failoverAfterS) + "}";
  for (size_t i = 0; i < ports.size(); ++i)
    members += ", \"ZAL_MQTT_broker:" + std::to_string(i) +
               "\": {\"type\": \"STRUCT\", \"members\": {\"BrokerURL\": {\"type\": \"STRING\", \"value\": "
               "\"127.0.0.1\"}, \"BrokerPort\": {\"type\": \"UINT32\", \"value\": " +
               std::to_string(ports[i]) + "}}}";
  return members;
}

// The payloads of several subscribers (in the order given: the broker used first, first) as one
// sequence of counter values with the QoS 1 repeats at a cut removed. A repeat must be the same
// payload byte for byte (the MQTT library sending again what the old broker had not
// acknowledged); any other repeat, a gap or a step back is a fault, reported in *faults.
inline std::vector<long long> valuesOnceInOrder(const std::vector<std::vector<std::string>>& perBroker,
                                                std::string* faults) {
  std::map<long long, std::string> seen;
  std::vector<long long> values;
  for (const auto& payloads : perBroker)
    for (const std::string& p : payloads) {
      const long long value = counterOf(p);
      const auto earlier = seen.find(value);
      if (earlier != seen.end()) {
        if (earlier->second != p) *faults += "different payloads for " + std::to_string(value) + "; ";
        continue;
      }
      seen.emplace(value, p);
      if (!values.empty() && value != values.back() + 1)
        *faults += std::to_string(values.back()) + "->" + std::to_string(value) + " ";
      values.push_back(value);
    }
  return values;
}

// Publishes value on plant/cmd through the broker on port until the variable holds it. The
// service's "subscribed to topic" line comes when the SUBSCRIBE is handed to the MQTT library,
// before the broker has it, so one message published at once may still find no subscription:
// it is sent again every two seconds until it lands or the deadline passes.
inline bool commandReaches(int port, const VariableServer& server, const std::string& value,
                           Clock::duration timeout = kDefaultDeadline) {
  Publisher publisher(port);
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    publisher.publish("plant/cmd", value);
    if (server.waitForValue("APPL.Plant.Command", value, 2s)) return true;
  }
  return false;
}

inline std::vector<std::string> payloadsOf(const Subscriber& subscriber, const std::string& topic) {
  std::vector<std::string> out;
  for (const Message& m : subscriber.messages(topic)) out.push_back(m.payload);
  return out;
}

}  // namespace zaltest
