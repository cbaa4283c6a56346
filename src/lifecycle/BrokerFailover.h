// The life-cycle machine's hooks into the failover list (broker/BrokerList.h): which broker the
// next connection attempt goes to, and the trace lines of trying and reaching one. Without
// ZAL_MQTT_broker children nothing here changes the connect path: the root's broker is used as
// before, and nothing is traced.
#pragma once

#include <string>

#include "BrokerList.h"
#include "ZAL_MQTT_item.h"

// Main thread, connection set-up: takes the list of item and starts at its first broker.
void failoverSetUp(const ZAL_MQTT_item& item);
// True when a failover list is configured.
bool failoverActive();
// The broker of the next attempt. Traces "trying broker host:port (i of n)." when announce is
// set and the list is configured.
BrokerAddress failoverBroker(bool announce);
// Main thread, before a reconnection attempt: true when the attempt goes to another broker
// than the last one (traced as above).
bool failoverBeforeAttempt();
// Network thread: an attempt failed or a connection was lost.
void failoverAttemptFailed();
// Network thread: the current broker accepted the connection; traced "connected to broker
// host:port." with a list.
void failoverReached();
// The set-up is abandoned on the current broker (no answer within the keep-alive time): the
// next set-up starts at the broker after it.
void failoverAbandonCurrent();
// "host:port" of the broker in use for the status topic's birth message; empty without a list.
std::string failoverBirthBroker();
