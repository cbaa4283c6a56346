// Life-cycle machine: disconnection states (disconnected, disconnecting, connection lost).
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MainThreadPost.h"
#include "OfflineBuffer.h"
#include "SparkplugSession.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {
// Counts entries into and exits from ST_DISCONNECTING. A keep-alive timer posts only while the
// count is still the one it started with, i.e. during the visit that started it: a timer left
// over from an earlier visit must not end a later one before its own time.
std::atomic<uint64_t> disconnectingVisit{0};

// unconfirmed: the library accepted the disconnect, but its confirmation did not come in time
// (a reconnect whose TCP handshake hangs): traced, and the state ends without it.
void keepAliveTimer(ZAL_MQTT_stateMachine* machine, uint32_t keepAliveSeconds, uint64_t visit,
                    bool unconfirmed) {
  if (keepAliveSeconds != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(keepAliveSeconds * 1000ull));
  if (disconnectingVisit.load() != visit ||
      machine->currentState() != ZAL_MQTT_stateMachine::ST_DISCONNECTING)
    return;
  if (unconfirmed)
    TRACE(1, "MQTT disconnection not confirmed within the keep-alive time. Disconnected without it.");
  postToMainThread(&ZAL_MQTT_stateMachine::connectionToBrokerLost);
}

uint32_t configuredKeepAlive() {
  const std::shared_ptr<ZAL_MQTT_item> config = getConfiguration();
  return config ? config->getKeepAliveTime() : 0;
}
}  // namespace

void ZAL_MQTT_stateMachine::ST_Disconnected(const EventData*) { TRACE(1, "state: Disconnected"); }

void ZAL_MQTT_stateMachine::EN_EntryDisconnecting(const EventData*) {
  TRACE(1, "state action: Entry disconnecting");
  discardOfflineBuffers("disconnect requested");
  ++disconnectingVisit;
  sparkplugDeath(mosqClient);
  publishOfflineStatus(mosqClient, "requested");
  disconnectAsked = true;
  disconnectResult = mosquitto_disconnect(mosqClient);
}

void ZAL_MQTT_stateMachine::ST_Disconnecting(const EventData*) {
  TRACE(1, "state: Disconnecting");
  switch (disconnectResult) {
    case MOSQ_ERR_SUCCESS: {
      // The disconnect callback posts disconnectedFromBroker; should it not come, the
      // keep-alive timer ends the state as for SIGINT, and the activation flag is followed
      // from ST_DISCONNECTED on.
      // Untraced: the confirmed disconnection traces as it always has.
      std::thread(keepAliveTimer, this, configuredKeepAlive(), disconnectingVisit.load(), true).detach();
      break;
    }
    case MOSQ_ERR_INVAL:
      raiseInternalEvent(ST_ERROR);
      TRACE(1, "MQTT disconnection error: mosquitto internal error.");
      break;
    case MOSQ_ERR_NO_CONN: {
      TRACE(1, "MQTT disconnection: we already were disconnected.");
      // No callback will come: the keep-alive timer ends the state.
      std::thread timer(keepAliveTimer, this, configuredKeepAlive(), disconnectingVisit.load(), false);
      TRACE(1, "detach thread with keep-alive timer..");
      timer.detach();
      break;
    }
    default:
      TRACE(1, "! EntryDisconnecting state function has logic error: invalid mosquitto return value. !");
      raiseInternalEvent(ST_ERROR);
      break;
  }
}

void ZAL_MQTT_stateMachine::EX_ExitDisconnecting() {
  TRACE(1, "state action: Exit disconnecting");
  ++disconnectingVisit;
  if (mosqClient == nullptr) return;
  mosquitto_loop_stop(mosqClient, true);
  // A fresh, unconnected client with the configured identity; the callbacks are registered
  // again by the next connection set-up.
  std::shared_ptr<ZAL_MQTT_item> config = getConfiguration();
  if (config) {
    mosquitto_reinitialise(mosqClient, config->getClientID().c_str(), config->getCleanSession() != 0, this);
  }
}

void ZAL_MQTT_stateMachine::EN_EntryConnectionLost(const EventData*) {
  TRACE(1, "EntryConnectionLost");
  startOfflineSampling();  // only publish configurations with an offline buffer
  statusTopicConnectionLost();
  startReconnectTiming(this);
}

void ZAL_MQTT_stateMachine::ST_ConnectionLost(const EventData*) { TRACE(1, "ConnectionLost"); }
