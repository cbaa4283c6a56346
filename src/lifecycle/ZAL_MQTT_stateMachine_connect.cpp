// Life-cycle machine: connection set-up states, their timers and the MQTT library's connect and
// disconnect callbacks.
#include <mosquitto.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MainThreadPost.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

// Visit counters: EN_EntryConnecting counts each entry into ST_CONNECTING, ST_WaitForNetwork
// each entry into ST_WAITFORNETWORK. A timer remembers the visit that started it and posts only
// while the machine is still in that visit, so a timer left over from an earlier attempt can
// never cut a later attempt short. Written by state actions, read by the timer threads.
std::atomic<uint64_t> connectingVisit{0};
std::atomic<uint64_t> waitForNetworkVisit{0};
// The ST_CONNECTING visit whose connection-timeout timer expired last; read by the timer's job
// on the main thread.
std::atomic<uint64_t> expiredConnectingVisit{0};

// A pre-shared key must be the whole authentication of a PSK connection. The library, given a
// key and no cipher list, also completes a certificate handshake with a server that offers one,
// and verifies nothing (there is no CA), so the key would authenticate nothing. Set by the
// connection set-up for a PSK configuration; the connect callback then refuses a connection on
// which the server presented a certificate (a pre-shared-key handshake has none).
std::atomic<bool> preSharedKeyOnly{false};

// True when the connection's TLS session shows a server certificate.
bool serverPresentedCertificate(mosquitto* client) {
  SSL* ssl = static_cast<SSL*>(mosquitto_ssl_get(client));
  return ssl != nullptr && SSL_get0_peer_certificate(ssl) != nullptr;
}

constexpr const char* kNoConfiguration = "Error: no ZAL_MQTT_configuration object.";

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// Posting from a library callback: the callback must not let an exception out into C code.
void postFromCallback(MainThreadJob job) {
  try {
    postToMainThread(job);
  } catch (...) {
    // The queue's lock could not be taken: nothing sensible is left to do on this thread.
  }
}

}  // namespace

void callback_on_connect(mosquitto* client, void*, int) {
  CancellationDisabled guard;
  if (preSharedKeyOnly.load() && serverPresentedCertificate(client)) {
    // Not the broker the key was shared with: leave before anything is published or subscribed.
    // No event is posted; the connection-timeout timer ends the attempt.
    TRACE(1, "Error: the broker did not authenticate with the pre-shared key. Connection refused.");
    mosquitto_disconnect(client);
    return;
  }
  postFromCallback(&ZAL_MQTT_stateMachine::connectedToBroker);
}

void callback_on_disconnect(mosquitto*, void*, int result) {
  CancellationDisabled guard;
  postFromCallback(result == 0 ? &ZAL_MQTT_stateMachine::disconnectedFromBroker
                               : &ZAL_MQTT_stateMachine::connectionToBrokerLost);
}

void ZAL_MQTT_stateMachine::EN_EntryPrepareToConnect(const EventData*) {
  TRACE(1, "state: EntryPrepareToConnect");
  prepareToConnectNextState = ST_ERROR;
  preSharedKeyOnly = false;
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) {
    TRACE(1, kNoConfiguration);
    return;
  }

  TRACE(1, "registering callbacks..");
  mosquitto_connect_callback_set(mosqClient, callback_on_connect);
  mosquitto_disconnect_callback_set(mosqClient, callback_on_disconnect);
  resetSubscribeQueueBytes();
  mosquitto_message_callback_set(mosqClient, callback_on_message);
  TRACE(1, "..callbacks registered.");
  if (!prepareStatusTopic(mosqClient, *item)) return;

  TRACE(1, "starting MQTT message loop.");
  const int loopResult = mosquitto_loop_start(mosqClient);
  if (loopResult != MOSQ_ERR_SUCCESS) {
    TRACE(1, mosquitto_strerror(loopResult));
    TRACE(1, "error starting loop: 0x", hexString(static_cast<uint32_t>(loopResult)));
    TRACE(1, "destroy mosquitto client instance.");
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
    prepareToConnectNextState = ST_ERROR;
    return;
  }

  TRACE(1, "Check user configuration flag..");
  if (item->getUseUserAuthentication() != 0) {
    TRACE(1, "Setting user credentials for broker connection.");
    const std::string username = item->getUsername();
    const std::string password = item->getPassword();
    if (mosquitto_username_pw_set(mosqClient, username.c_str(), password.c_str()) != MOSQ_ERR_SUCCESS) {
      TRACE(1, "Error setting user credentials.");
      prepareToConnectNextState = ST_ERROR;
      return;
    }
  }

  TRACE(1, "Check existence of TLS configuration..");
  const std::shared_ptr<ZAL_MQTT_TLS> tls = item->getTLS();
  if (tls) {
    if (tls->getUseCertificateBasedTLS() != 0) {
      TRACE(1, "Certificate - based TLS configuration found.");
      const std::string caFile = tls->getCAfilename();
      const std::string caPath = tls->getCAfilepath();
      const std::string certFile = tls->getCertfileName();
      const std::string keyFile = tls->getKeyfileName();
      if (mosquitto_tls_set(mosqClient, orNull(caFile), orNull(caPath), orNull(certFile), orNull(keyFile),
                            nullptr) != MOSQ_ERR_SUCCESS) {
        TRACE(1, "Error: TLS certificate configuration is invalid or not enough memory available.");
        prepareToConnectNextState = ST_ERROR;
        return;
      }
    }
    if (tls->getUsePSKBasedTLS() != 0) {
      TRACE(1, "PSK - based TLS configuration found.");
      const std::string psk = tls->getPSK();
      const std::string identity = tls->getIdentity();
      if (mosquitto_tls_psk_set(mosqClient, psk.c_str(), identity.c_str(), nullptr) != MOSQ_ERR_SUCCESS) {
        TRACE(1, "Error: TLS PSK configuration is invalid or not enough memory available.");
        prepareToConnectNextState = ST_ERROR;
        return;
      }
      preSharedKeyOnly = tls->getUseCertificateBasedTLS() == 0;
    }
  }

  TRACE(1, "go to 'connecting'");
  prepareToConnectNextState = ST_CONNECTING;
}

void ZAL_MQTT_stateMachine::ST_PrepareToConnect(const EventData*) {
  TRACE(1, "state: PrepareToConnect");
  raiseInternalEvent(prepareToConnectNextState);
}

void ZAL_MQTT_stateMachine::EN_EntryConnecting(const EventData*) {
  TRACE(1, "state: EntryConnecting");
  connectingVisit.fetch_add(1);
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) {
    TRACE(1, kNoConfiguration);
    connectResult = MOSQ_ERR_INVAL;
    return;
  }
  const std::string host = item->getBrokerURL();
  connectResult = mosquitto_connect_async(mosqClient, host.c_str(), static_cast<int>(item->getBrokerPort()),
                                          static_cast<int>(item->getKeepAliveTime()));
}

void ZAL_MQTT_stateMachine::ST_Connecting(const EventData*) {
  TRACE(1, "state: Connecting");
  if (connectResult != MOSQ_ERR_SUCCESS && connectResult != MOSQ_ERR_EAI) {
    TRACE(1, "cannot connect to broker. Mosquitto error string is: ", mosquitto_strerror(connectResult));
    TRACE(1, "destroy mosquitto client instance.");
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
    raiseInternalEvent(ST_ERROR);
    TRACE(1, "left 'connecting' state function.");
    return;
  }
  if (connectResult == MOSQ_ERR_EAI) {
    TRACE(1, "Lookup error occurred. Retry in 5s.");
    raiseInternalEvent(ST_WAITFORNETWORK);
    return;
  }

  TRACE(1, "detach thread with connection timeout timer..");
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  const uint64_t keepAliveMs = item ? uint64_t{item->getKeepAliveTime()} * 1000 : 0;
  const uint64_t visit = connectingVisit.load();
  std::thread([this, keepAliveMs, visit] {
    if (keepAliveMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(keepAliveMs));
    // Only the attempt that started this timer may be failed by it: once the machine has left
    // that visit of ST_CONNECTING (connected, lost, or a newer attempt), the timer ends quietly.
    // A loss reported at the same moment may still be queued: the job decides on the main
    // thread, after it.
    if (currentState() != ST_CONNECTING || connectingVisit.load() != visit) return;
    expiredConnectingVisit = visit;
    postToMainThread(&ZAL_MQTT_stateMachine::connectionTimerExpired);
  }).detach();
  TRACE(1, "left 'connecting' state function.");
}

void ZAL_MQTT_stateMachine::connectionTimerExpired() {
  if (currentState() != ST_CONNECTING || connectingVisit.load() != expiredConnectingVisit.load()) return;
  TRACE(1, "Error: the broker has refused the connection.");
  connectionToBrokerTimeout();
}

void ZAL_MQTT_stateMachine::ST_WaitForNetwork(const EventData*) {
  TRACE(1, "state: WaitForNetwork");
  const uint64_t visit = waitForNetworkVisit.fetch_add(1) + 1;
  std::thread timer([this, visit] {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    if (currentState() != ST_WAITFORNETWORK || waitForNetworkVisit.load() != visit) return;
    TRACE(2, "take lock..");
    postToMainThread(&ZAL_MQTT_stateMachine::waitTimeIsOver);
  });
  TRACE(2, "detach thread with timer..");
  timer.detach();
  TRACE(1, "return from state function 'WaitForNetwork'.");
}
