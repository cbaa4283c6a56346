// The life-cycle machine's hooks into the failover list.
#include "BrokerFailover.h"

#include <chrono>

#include "Trace.h"

namespace {

// The service's one failover list; its own mutex guards it (see BrokerList.h).
BrokerList brokerList;

void traceTrying(const BrokerList& list) {
  TRACE(1, "trying broker ", list.current().text(), " (", list.currentIndex() + 1, " of ", list.size(), ").");
}

}  // namespace

void failoverSetUp(const ZAL_MQTT_item& item) {
  brokerList.configure(item.getBrokers(), std::chrono::seconds(item.getFailoverAfterS()));
  brokerList.start();
}

bool failoverActive() { return brokerList.active(); }

BrokerAddress failoverBroker(bool announce) {
  if (announce && brokerList.active()) traceTrying(brokerList);
  return brokerList.current();
}

bool failoverBeforeAttempt() {
  if (!brokerList.beforeAttempt(std::chrono::steady_clock::now())) return false;
  traceTrying(brokerList);
  return true;
}

void failoverAttemptFailed() { brokerList.failed(std::chrono::steady_clock::now()); }

void failoverReached() {
  brokerList.reached();
  if (brokerList.active()) TRACE(1, "connected to broker ", brokerList.current().text(), ".");
}

void failoverAbandonCurrent() { brokerList.abandonCurrent(); }

std::string failoverBirthBroker() {
  return brokerList.active() ? brokerList.current().text() : std::string();
}
