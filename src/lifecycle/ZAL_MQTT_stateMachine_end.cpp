// Life-cycle machine: error, interrupt and end states.
#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "AutomaticRetry.h"
#include "GVPvariable.h"
#include "MainThreadPost.h"
#include "OfflineBuffer.h"
#include "SparkplugSession.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "VariableServer.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

// xErrorRetry, read through a fresh variable object each time. Throws std::runtime_error when
// it cannot be opened or read.
uint32_t readErrorRetry() {
  auto flag = std::make_shared<GVPvariable>(std::string(kConfigurationRoot) + ".", "xErrorRetry", false);
  return flag->readUint32();
}

void releaseConfiguration() {
  if (!getConfiguration()) return;
  TRACE(1, "destroying ZAL_MQTT_configuration object..");
  {
    // After a restart of the variable server every handle of the old configuration is gone:
    // one summary line for them all instead of one error line per variable.
    GVPvariable::ReleaseSummary summary;
    setConfiguration(nullptr);
  }
  TRACE(1, "destroyed ZAL_MQTT_configuration object.");
}

void sleepSeconds(unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

// Counts entries into and exits from ST_SIGINT. The interrupt state's keep-alive timer posts only
// while the count is still the one it started with, i.e. during the visit that started it.
std::atomic<uint64_t> sigintVisit{0};

// After a disconnect that the library accepted, its confirmation may never come (a TCP handshake
// that is never answered, a reconnect in progress): after the keep-alive time the shut-down goes
// on without it.
void sigintKeepAliveTimer(ZAL_MQTT_stateMachine* machine, uint32_t keepAliveSeconds, uint64_t visit) {
  if (keepAliveSeconds != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(keepAliveSeconds * 1000ull));
  if (sigintVisit.load() != visit || machine->currentState() != ZAL_MQTT_stateMachine::ST_SIGINT) return;
  TRACE(1, "MQTT disconnection not confirmed within the keep-alive time. Leaving without it.");
  postToMainThread(&ZAL_MQTT_stateMachine::connectionToBrokerLost);
}

}  // namespace

void ZAL_MQTT_stateMachine::EN_EntryError(const EventData*) {
  TRACE(1, "state action: Entry error");
  discardOfflineBuffers("error");
  restoreSigintDefault();  // while in the error state an interrupt ends the process at once
  activationWatcherRun = false;
  leaveBrokerForError(mosqClient);
  if (mosqClient != nullptr) {
    // Gone at once, with its socket: a TCP handshake still pending must not complete later.
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
  }
  dropQueuedSubscribeMessages();
}

void ZAL_MQTT_stateMachine::ST_Error(const EventData*) {
  TRACE(1, "state: Error");

  bool reportedUnavailable = false;
  while (waitForVariableServer() != 0) {
    if (!reportedUnavailable) {
      TRACE(1, "Variable server is unavailable in state 'Error'. Will try again in 10s.");
      reportedUnavailable = true;
    }
    sleepSeconds(10);
  }
  TRACE(1, "variable server is available. Waiting for rising edge of xErrorReset..");
  const auto automaticRetryAt = automaticRetryBegin();

  try {
    lastErrorRetry = readErrorRetry();
  } catch (const std::exception&) {
    TRACE(1, "Error: cannot initialize xErrorRetry flag. Assuming true..");
    lastErrorRetry = 1;
  }

  bool readFailing = false;
  for (;;) {
    uint32_t value = lastErrorRetry;
    try {
      value = readErrorRetry();
      if (readFailing) TRACE(1, "Access to xErrorRetry re-established.");
      readFailing = false;
    } catch (const std::exception&) {
      if (!readFailing) TRACE(1, "Error: cannot access or read xErrorRetry flag. Keeping last state..");
      readFailing = true;
      value = lastErrorRetry;
    }
    if (value == 1 && lastErrorRetry == 0) {
      lastErrorRetry = 1;
      sleepSeconds(1);
      TRACE(1, "rising edge of xErrorRetry detected. Retry start of MQTT service..");
      break;
    }
    lastErrorRetry = value;
    if (automaticRetryDue(automaticRetryAt)) break;
    sleepSeconds(1);
  }

  postFromNewThread(&ZAL_MQTT_stateMachine::retry);
  TRACE(1, "detach retry-event thread..");
  TRACE(1, "end of error state function. ");
}

void ZAL_MQTT_stateMachine::EX_ExitError() {
  TRACE(1, "state action: Exit error");
  TRACE(1, "Leaving state 'error' to retry start of service.");
  if (mosqClient != nullptr) {
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
  }
  releaseConfiguration();
  TRACE(1, "end of state action: Exit error.");
}

void ZAL_MQTT_stateMachine::EN_SIGINToccuredEntry(const EventData*) {
  TRACE(1, "state action: SIGINT entry");
  ++sigintVisit;
  discardOfflineBuffers("SIGINT");
  activationWatcherRun = false;
  if (std::shared_ptr<ZAL_MQTT_item> config = getConfiguration()) {
    // The shut-down goes on whether or not the flag can be written.
    try {
      config->writeConnectedToBroker(0);
    } catch (const std::exception& e) {
      TRACE(1, "Exception: cannot clear xConnectedToBroker:");
      TRACE(1, e.what());
    }
  }
  sparkplugDeath(mosqClient);
  publishOfflineStatus(mosqClient, "shutdown");
  disconnectAsked = true;
  sigintDisconnectResult = mosquitto_disconnect(mosqClient);
}

void ZAL_MQTT_stateMachine::ST_SIGINToccured(const EventData*) {
  TRACE(1, "state: SIGINT");
  switch (sigintDisconnectResult) {
    case MOSQ_ERR_SUCCESS: {
      // The disconnect callback posts disconnectedFromBroker (or connectionToBrokerLost); the
      // keep-alive timer ends the state when neither comes.
      const std::shared_ptr<ZAL_MQTT_item> config = getConfiguration();
      const uint32_t keepAlive = config ? config->getKeepAliveTime() : 0;
      std::thread timer(sigintKeepAliveTimer, this, keepAlive, sigintVisit.load());
      TRACE(2, "detach thread with keep-alive timer..");
      timer.detach();
      break;
    }
    case MOSQ_ERR_INVAL:
      raiseInternalEvent(ST_ERROR);
      TRACE(1, "MQTT disconnection error: mosquitto internal error.");
      break;
    case MOSQ_ERR_NO_CONN:
      TRACE(1, "MQTT disconnection: we already were disconnected.");
      postFromNewThread(&ZAL_MQTT_stateMachine::disconnectedFromBroker);
      break;
    default:
      TRACE(1, "! SIGINT state function has software logic error: invalid mosquitto return value. !");
      std::abort();
  }
}

void ZAL_MQTT_stateMachine::EX_SIGINToccuredExit() {
  TRACE(1, "state action: SIGINT exit");
  ++sigintVisit;
  if (mosqClient != nullptr) {
    mosquitto_loop_stop(mosqClient, true);
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
  }
  releaseConfiguration();
}

void ZAL_MQTT_stateMachine::ST_EndOfActive(const EventData*) {
  TRACE(1, "state: EndOfActive");
  TRACE(1, "Leaving MQTT service. Good bye!");
  // Exit status 0 without running static destructors: detached timer threads may still be
  // asleep and must never wake up to objects already destroyed.
  std::fflush(nullptr);
  _exit(0);
}
