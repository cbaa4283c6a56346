// Life-cycle machine: initialisation state, activation watcher and the SIGINT hand-over.
#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "MainThreadPost.h"
#include "PayloadCodec.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "VariableServer.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

// Each start of a watcher takes a new generation; an older watcher that has not yet seen
// activationWatcherRun cleared (it samples once a second) ends when it sees a newer one, so two
// watchers never run side by side after a quick retry.
std::atomic<unsigned> watcherGeneration{0};

// SIGINT hand-over out of signal context: the handler writes the signal number into a pipe
// (write(2) is async-signal-safe and takes no lock); a thread of ours reads it, writes the
// trace line and posts the event. Both ends and the thread are made once per process.
int sigintPipe[2] = {-1, -1};
std::once_flag sigintPipeOnce;

void sigintNotifier() {
  for (;;) {
    unsigned char signalNumber = 0;
    const ssize_t got = read(sigintPipe[0], &signalNumber, 1);
    if (got == 1) {
      TRACE(1, "Interrupt signal (", static_cast<unsigned>(signalNumber), ") received.");
      postToMainThread(sigintEvent);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // the pipe is gone: nothing more can arrive
    }
  }
}

void startSigintHandOver() {
  if (pipe2(sigintPipe, O_CLOEXEC) != 0) {
    TRACE(1, "Error: cannot create the interrupt hand-over pipe.");
    return;
  }
  // The handler must never block: a full pipe drops the extra interrupt, which the machine
  // would ignore anyway while it shuts down.
  fcntl(sigintPipe[1], F_SETFL, fcntl(sigintPipe[1], F_GETFL) | O_NONBLOCK);
  std::thread(sigintNotifier).detach();
}

bool installSigintHandler() {
  std::call_once(sigintPipeOnce, startSigintHandOver);
  if (sigintPipe[1] < 0) return false;
  struct sigaction action {};
  action.sa_handler = sigintHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &action, nullptr) == 0;
}

}  // namespace

void sigintHandler(int signalNumber) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  if (sigintPipe[1] >= 0) {
    ssize_t ignored = write(sigintPipe[1], &byte, 1);
    (void)ignored;
  }
  errno = savedErrno;
}

void restoreSigintDefault() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

void activationWatcher(ZAL_MQTT_stateMachine* machine) {
  using M = ZAL_MQTT_stateMachine;
  const unsigned generation = watcherGeneration.load();
  auto keepRunning = [generation] {
    return activationWatcherRun.load() && watcherGeneration.load() == generation;
  };

  TRACE(2, "worker thread xActivate connection: wait for configuration to be available..");
  while (!getConfiguration()) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (!keepRunning()) {
      TRACE(2, "worker thread xActivate connection: exiting thread.");
      return;
    }
  }
  TRACE(2, "worker thread xActivate connection: entering check loop.");
  if (keepRunning()) {
    // Requests this watcher posted, and the machine's count of requests run when it started:
    // while a request of ours is still queued, the level is not compared with the state.
    uint64_t posted = 0;
    const uint64_t runAtStart = machine->activationRequestsRun();
    auto postRequest = [&posted](bool connect) {
      if (connect) {
        TRACE(1, "IEC connect request detected.");
        postToMainThread(&M::IECsignalsConnect);
      } else {
        TRACE(1, "IEC disconnect request detected.");
        postToMainThread(&M::IECsignalsDisconnect);
      }
      ++posted;
    };

    bool lastRequest = false;
    for (;;) {
      // Our own reference keeps the configuration alive for the read, even if the error or
      // interrupt state releases the process-wide one meanwhile.
      const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
      if (item) {
        bool requested = false;
        try {
          requested = item->readActivateConnection() != 0;
        } catch (const std::runtime_error& e) {
          TRACE(1, "Exception: cannot read xActivateConnection: ");
          TRACE(1, e.what());
          postToMainThread(&M::error);
          break;
        }
        if (requested && !lastRequest) {
          postRequest(true);
          lastRequest = true;
        } else if (!requested && lastRequest) {
          postRequest(false);
          lastRequest = false;
        } else if (machine->activationRequestsRun() - runAtStart >= posted) {
          // No edge and nothing of ours queued: an edge that came while the machine could not
          // take it (connecting, disconnecting) was ignored there. Once the machine rests in a
          // state that contradicts the flag, the flag's level asks once more; the request then
          // runs before the next comparison, so each contradiction is posted once.
          const uint8_t state = machine->currentState();
          if (requested && state == M::ST_DISCONNECTED) {
            postRequest(true);
          } else if (!requested && (state == M::ST_CONNECTED || state == M::ST_CONNECTIONLOST)) {
            postRequest(false);
          }
        }
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
      if (!keepRunning()) break;
    }
  }
  TRACE(2, "worker thread xActivate connection: thread stopped.");
}

void ZAL_MQTT_stateMachine::EN_EntryInitialize(const EventData*) {
  TRACE(1, "state action: Entry initialize");
  TRACE(1, "connecting to variable server.. ");
  if (waitForVariableServer() != 0) {
    TRACE(1, "Error: unable to connect to the variable server.");
    initEntryFailed = true;
    return;
  }
  TRACE(1, "..connected.");

  try {
    setConfiguration(std::make_shared<ZAL_MQTT_item>(kConfigurationRoot));
    TRACE(1, " ..done.");
  } catch (const std::runtime_error& e) {
    TRACE(1, "caught runtime error: ", e.what());
    initEntryFailed = true;
    return;
  }

  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) {
    TRACE(1, "cannot create configuration object. Aborting 'initialize' entry action.");
    return;
  }

  // Written at the level in force before the change.
  TRACE(1, "Setting Trace level to ", item->getTraceLevel(), ".");
  setTraceLevel(item->getTraceLevel());
  setStringEncoding(item->getStringEncoding() == 1 ? StringEncoding::kLatin1 : StringEncoding::kUtf8);

  mosquitto_lib_init();
  warnStatusTopicSubscribed(*item);

  TRACE(1, "create mosquitto client instance.");
  const bool cleanSession = item->getCleanSession() != 0;
  TRACE(2, "Client ID: ", item->getClientID(), ", xCleanSession: ", cleanSession ? 1 : 0);
  if (mosqClient != nullptr) {  // never expected: the error state destroys the old instance
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
  }
  mosqClient = mosquitto_new(item->getClientID().c_str(), cleanSession, this);
}

void ZAL_MQTT_stateMachine::ST_Initialize(const EventData*) {
  TRACE(1, "state: initialize");
  if (initEntryFailed) {
    initEntryFailed = false;
    raiseInternalEvent(ST_ERROR);
    TRACE(1, "Entry action has reported an error. Leaving state 'initialize', now.");
  } else if (!getConfiguration()) {
    raiseInternalEvent(ST_ERROR);
    TRACE(1, "Configuration is invalid. Transitioning to state 'error', now.");
  } else if (mosqClient == nullptr) {
    raiseInternalEvent(ST_ERROR);
    TRACE(1, "Initialization error: cannot create mosquitto instance.");
  } else {
    activationWatcherRun = true;
    watcherGeneration.fetch_add(1);
    std::thread(activationWatcher, this).detach();
    raiseInternalEvent(ST_DISCONNECTED);
  }
}

void ZAL_MQTT_stateMachine::EX_ExitInitialize() {
  TRACE(1, "state action: Exit initialize");
  if (!installSigintHandler()) TRACE(1, "Error: cannot install the interrupt handler.");
}
