// Life-cycle machine: connection set-up states, their timers and the MQTT library's connect and
// disconnect callbacks.
#include <mosquitto.h>
#include <openssl/bn.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BrokerFailover.h"
#include "DiskBuffer.h"
#include "MainThreadPost.h"
#include "Mqtt5.h"
#include "SparkplugSession.h"
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
// key, also completes a certificate handshake with a server that offers one and verifies
// nothing (there is no CA), so the credentials would go to a peer that never proved it holds
// the key. The connection set-up therefore gives the library a TLS context of its own for a PSK
// configuration (pskContext), which fails such a handshake before any MQTT byte is sent. As a
// second line, the connect callback refuses a connection on which the server presented a
// certificate (a pre-shared-key handshake has none). Set by the connection set-up.
std::atomic<bool> preSharedKeyOnly{false};

// True when the connection's TLS session shows a server certificate.
bool serverPresentedCertificate(mosquitto* client) {
  SSL* ssl = static_cast<SSL*>(mosquitto_ssl_get(client));
  return ssl != nullptr && SSL_get0_peer_certificate(ssl) != nullptr;
}

// ---- pre-shared-key TLS context ------------------------------------------------------------

// The identity and key bytes of a PSK context, owned by the context (freed with it).
struct PreSharedKey {
  std::string identity;
  std::vector<unsigned char> key;
};

void freePreSharedKey(void*, void* data, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<PreSharedKey*>(data);
}

int preSharedKeyIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freePreSharedKey);
  return index;
}

// The key bytes of a hexadecimal key text, converted as the MQTT library converts it: leading
// "00" pairs are zero bytes, the rest is one big-endian number. Empty on failure.
std::vector<unsigned char> keyBytes(const std::string& hex) {
  size_t zeros = 0;
  while (hex.compare(zeros * 2, 2, "00") == 0) ++zeros;
  std::vector<unsigned char> bytes(zeros, 0);
  const std::string rest = hex.substr(zeros * 2);
  if (rest.empty()) return bytes;
  BIGNUM* number = nullptr;
  if (BN_hex2bn(&number, rest.c_str()) != static_cast<int>(rest.size())) {
    BN_free(number);
    return {};
  }
  bytes.resize(zeros + static_cast<size_t>(BN_num_bytes(number)));
  BN_bn2bin(number, bytes.data() + zeros);
  BN_free(number);
  return bytes;
}

// OpenSSL's client callback: hands over the identity and key of the context.
unsigned int pskClientCallback(SSL* ssl, const char*, char* identity, unsigned int maxIdentityLength,
                               unsigned char* psk, unsigned int maxPskLength) {
  const auto* key =
      static_cast<const PreSharedKey*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), preSharedKeyIndex()));
  if (key == nullptr || key->identity.size() + 1 > maxIdentityLength || key->key.size() > maxPskLength ||
      key->key.empty())
    return 0;
  std::memcpy(identity, key->identity.c_str(), key->identity.size() + 1);
  std::memcpy(psk, key->key.data(), key->key.size());
  return static_cast<unsigned int>(key->key.size());
}

// A TLS client context that completes a handshake only with a server that holds the key: PSK
// cipher suites only up to TLS 1.2, and, since TLS 1.3 has no suites of its own for a
// pre-shared key, peer verification against an empty trust store, so that a server that
// authenticates with a certificate in place of the key fails the handshake. Null on failure.
SSL_CTX* pskContext(const std::string& psk, const std::string& identity) {
  std::vector<unsigned char> bytes = keyBytes(psk);
  if (bytes.empty()) return nullptr;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  auto* key = new PreSharedKey{identity, std::move(bytes)};
  if (SSL_CTX_set_ex_data(context, preSharedKeyIndex(), key) != 1) {
    delete key;
    SSL_CTX_free(context);
    return nullptr;
  }
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(context, "PSK") != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_psk_client_callback(context, pskClientCallback);
  return context;
}

// Sets up pre-shared-key TLS on client: the library checks the key (hexadecimal), then uses
// the context of pskContext as it is. True on success.
bool setPreSharedKey(mosquitto* client, const std::string& psk, const std::string& identity) {
  if (mosquitto_tls_psk_set(client, psk.c_str(), identity.c_str(), "PSK") != MOSQ_ERR_SUCCESS) return false;
  SSL_CTX* context = pskContext(psk, identity);
  if (context == nullptr) return false;
  // The library takes its own reference to the context and frees it with the client.
  const bool set = mosquitto_int_option(client, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0) == MOSQ_ERR_SUCCESS &&
                   mosquitto_void_option(client, MOSQ_OPT_SSL_CTX, context) == MOSQ_ERR_SUCCESS;
  SSL_CTX_free(context);
  return set;
}

// ---- failures of a connection ----------------------------------------------------------------

// One connection set-up (from ST_PREPARETOCONNECT until the next one) either runs, with the
// library reconnecting by itself after transient losses, or fails once for good. Written by
// the connection set-up (main thread) and the library callbacks (network thread).
//
// failureReported: a failure that retrying cannot mend was traced and `error` posted; the
//   callbacks post nothing more for this set-up.
// acknowledged: the broker accepted the current connection (CONNACK 0); cleared when it ends.
// connectCallRunning: the main thread is inside mosquitto_connect_async; library errors reported
//   there are traced, and ST_Connecting judges the call's result.
std::atomic<bool> failureReported{false};
std::atomic<bool> acknowledged{false};
std::atomic<bool> connectCallRunning{false};

// An outage: from the first failed or lost connection of a set-up until the broker accepts a
// connection again. A peer that accepts TCP and closes before answering (a load balancer or a
// port-forward in front of a restarting broker, a TLS listener reached without TLS) is part of
// an outage like a refused connection: the library keeps reconnecting, and the cause is traced
// once per outage, not once per attempt. Only the network thread touches these, and the main
// thread while no network thread runs (the connection set-up before the loop starts, and the
// reconnect timing of uiReconnectMaxS between two attempts).
//
// outageRunning: an outage is under way. outageSince: when it began. outageAttempts: the
// connection attempts of the outage that the library reported as failed (a refused TCP
// connect that the library retries on its own is not reported to the service).
bool outageRunning = false;
std::chrono::steady_clock::time_point outageSince;
uint64_t outageAttempts = 0;

// A connection (or an attempt) ended with a non-zero code. Traces the cause at the outage's
// start only.
void outageFailure(const std::string& cause) {
  if (!outageRunning) {
    outageRunning = true;
    outageSince = std::chrono::steady_clock::now();
    outageAttempts = 0;
    TRACE(1, "connection to the broker lost: ", cause);
  }
  ++outageAttempts;
  failoverAttemptFailed();
}

// Network thread: the broker accepted a connection; ends the outage, if one ran, with its line.
// The length is given to a tenth of a second.
void outageEnded() {
  if (!outageRunning) return;
  outageRunning = false;
  const auto length =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - outageSince);
  TRACE(1, "connection to the broker re-established after ", outageAttempts, " failed attempts in ",
        length.count() / 1000, ".", (length.count() % 1000) / 100, " s.");
}

// Disconnect callbacks run so far, so that the error state can wait for the one its own
// disconnect brings. Guarded by disconnectsSeenMutex (held for a statement, nothing else held).
std::mutex disconnectsSeenMutex;
std::condition_variable disconnectsSeenSignal;
uint64_t disconnectsSeen = 0;

// How long the error state waits for the library to confirm its disconnect.
constexpr auto kErrorDisconnectWait = std::chrono::seconds(3);

// ---- the service's own reconnect timing (uiReconnectMaxS) ----------------------------------
//
// Without the member the library re-dials by itself, every second. With it, the service times
// the attempts: the disconnect callback stops the library's loop (mosquitto_disconnect from
// within the callback ends the network thread by itself, nothing is cancelled, so the client
// needs no reset and keeps its session state), ST_CONNECTIONLOST joins the ended thread and a
// timer of ours waits; then the main thread starts one attempt (mosquitto_reconnect_async and
// a new network thread). The waits double from 1 s up to uiReconnectMaxS, each multiplied by
// a random factor between 0.75 and 1.25, so that a fleet does not re-dial in lockstep; a
// connection that held for a minute starts the waits at 1 s again.
//
// reconnectMaxS: the configured maximum, 0 when off; set by the connection set-up, read by the
//   callbacks. acknowledgedAtMs: steady-clock milliseconds of the last accepted connection
//   (network thread writes, main thread reads). The rest is the main thread's.
std::atomic<uint32_t> reconnectMaxS{0};
std::atomic<int64_t> acknowledgedAtMs{0};
unsigned reconnectDoublings = 0;       // the next wait is 2^n s, at most reconnectMaxS
bool reconnectAttemptRunning = false;  // an attempt's network thread runs
std::atomic<uint64_t> connectionLostVisit{0};
std::atomic<uint64_t> expiredReconnectVisit{0};
constexpr auto kConnectionHeld = std::chrono::minutes(1);

int64_t steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Main thread: starts the wait before the next attempt.
void scheduleReconnect(ZAL_MQTT_stateMachine* machine) {
  static std::mt19937 jitterSource{std::random_device{}()};
  const uint32_t maxS = reconnectMaxS.load();
  const double base = std::min(std::ldexp(1.0, static_cast<int>(reconnectDoublings)), double(maxS));
  if (base < maxS) ++reconnectDoublings;
  std::uniform_real_distribution<double> jitter(0.75, 1.25);
  const auto wait = std::chrono::milliseconds(static_cast<int64_t>(base * jitter(jitterSource) * 1000.0));
  TRACE(2, "next connection attempt in ", wait.count(), " ms.");
  const uint64_t visit = connectionLostVisit.load();
  std::thread([machine, wait, visit] {
    std::this_thread::sleep_for(wait);
    if (connectionLostVisit.load() != visit ||
        machine->currentState() != ZAL_MQTT_stateMachine::ST_CONNECTIONLOST)
      return;
    expiredReconnectVisit = visit;
    postToMainThread(&ZAL_MQTT_stateMachine::reconnectTimerExpired);
  }).detach();
}

// The reason of a CONNACK refusal as the library words it, without its "Connection Refused: "
// prefix and final full stop ("not authorised").
std::string refusalReason(int result) {
  if (mqtt5Active()) return mqtt5RefusalReason(result);  // with the broker's Reason String
  std::string text = mosquitto_connack_string(result);
  const std::string prefix = "Connection Refused: ";
  if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// Disconnect codes after which the library itself stops reconnecting: a protocol or TLS failure,
// a refusal, a reset by the peer at the protocol level.
bool libraryGivesUp(int result, int error) {
  switch (result) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_CONN_REFUSED:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
      return true;
    case MOSQ_ERR_ERRNO:
      return error == EPROTO;
    default:
      return false;
  }
}

// The states in which the library connects on the service's behalf; a failure reported in any
// other state (disconnecting, interrupted, already failed) changes nothing.
bool connectingOnOurBehalf(void* machine) {
  const uint8_t state = static_cast<ZAL_MQTT_stateMachine*>(machine)->currentState();
  return state == ZAL_MQTT_stateMachine::ST_CONNECTING || state == ZAL_MQTT_stateMachine::ST_CONNECTIONLOST ||
         state == ZAL_MQTT_stateMachine::ST_CONNECTED;
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

// Ends the connection set-up for good after a failure that retrying cannot mend (the cause is
// already traced): stops the library's own reconnecting when called from a connect or
// disconnect callback (stopLibrary), and posts `error` once. Network thread.
void reportPermanentFailure(mosquitto* client, void* machine, bool stopLibrary) {
  if (stopLibrary) mosquitto_disconnect(client);
  if (!connectingOnOurBehalf(machine)) return;
  if (failureReported.exchange(true)) return;
  postFromCallback(&ZAL_MQTT_stateMachine::error);
}

}  // namespace

void callback_on_connect(mosquitto* client, void* machine, int result) {
  CancellationDisabled guard;
  if (failureReported.load()) {
    mosquitto_disconnect(client);
    return;
  }
  if (result != 0) {
    // Refused in the CONNACK: wrong credentials, client ID or protocol. Never connected.
    TRACE(1, "Error: the broker refused the connection: ", refusalReason(result), ".");
    reportPermanentFailure(client, machine, true);
    return;
  }
  if (preSharedKeyOnly.load() && serverPresentedCertificate(client)) {
    // Not the broker the key was shared with: leave before anything is published or subscribed.
    TRACE(1, "Error: the broker did not authenticate with the pre-shared key. Connection refused.");
    reportPermanentFailure(client, machine, true);
    return;
  }
  acknowledged = true;
  acknowledgedAtMs = steadyMs();
  outageEnded();
  failoverReached();
  // Before the library resends what it kept from before a loss, which it does once this
  // callback returns: the birth message is the first message of every connection.
  if (connectingOnOurBehalf(machine)) {
    statusTopicBirth(client);
    sparkplugBirth(client);
  }
  postFromCallback(&ZAL_MQTT_stateMachine::connectedToBroker);
}

void callback_on_disconnect(mosquitto* client, void* machine, int result) {
  CancellationDisabled guard;
  const int error = errno;  // the library's text for MOSQ_ERR_ERRNO is this errno's
  handleDisconnect(client, machine, result, error, std::string(), false);
}

void handleDisconnect(mosquitto* client, void* machine, int result, int error, const std::string& brokerCause,
                      bool brokerPermanent) {
  acknowledged = false;
  {
    std::lock_guard<std::mutex> lock(disconnectsSeenMutex);
    ++disconnectsSeen;
  }
  disconnectsSeenSignal.notify_all();
  sparkplugConnectionEnded(client, result);  // the next connection's will carries the next bdSeq
  if (failureReported.load()) {
    // Already failed for good: keep the library from trying again.
    if (result != 0) mosquitto_disconnect(client);
    return;
  }
  if (result != 0) {
    errno = error;
    const std::string cause = brokerCause.empty() ? std::string(mosquitto_strerror(result)) : brokerCause;
    if (connectingOnOurBehalf(machine) && (brokerPermanent || libraryGivesUp(result, error))) {
      TRACE(1, "Error: the connection to the broker failed: ", cause);
      reportPermanentFailure(client, machine, true);
      return;
    }
    // Anything else is transient, a peer that accepted and closed before answering included:
    // the library reconnects by itself, or, with uiReconnectMaxS, the service does.
    outageFailure(cause);
    if (reconnectMaxS.load() != 0) {
      mosquitto_disconnect(client);  // the library's loop ends instead of re-dialling
      postFromCallback(&ZAL_MQTT_stateMachine::connectionToBrokerLost);
      postFromCallback(&ZAL_MQTT_stateMachine::reconnectAttemptEnded);
      return;
    }
  }
  postFromCallback(result == 0 ? &ZAL_MQTT_stateMachine::disconnectedFromBroker
                               : &ZAL_MQTT_stateMachine::connectionToBrokerLost);
}

void callback_on_log(mosquitto* client, void* machine, int level, const char* text) {
  CancellationDisabled guard;
  // Only the library's error reports: TLS and protocol failures, with OpenSSL's reason.
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  // Before the broker has answered, such a report ends the attempt for good (certificate
  // verification, a handshake the peer refused, TLS against a plain listener); the library
  // then stops by itself. After an answer it describes a lost connection, which the disconnect
  // callback reports.
  if (acknowledged.load() || connectCallRunning.load() || failureReported.load() ||
      !connectingOnOurBehalf(machine)) {
    TRACE(1, "MQTT library error: ", text);
    return;
  }
  std::string cause = text;
  const std::string prefix = "Error: ";
  if (cause.compare(0, prefix.size(), prefix) == 0) cause.erase(0, prefix.size());
  TRACE(1, "Error: the connection to the broker failed: ", cause);
  reportPermanentFailure(client, machine, false);
}

void leaveBrokerForError(mosquitto* client) {
  if (client == nullptr) return;
  // From here the callbacks post nothing, and a CONNACK that still arrives is answered with a
  // disconnect.
  failureReported = true;
  sparkplugDeath(client);
  publishOfflineStatus(client, "error");
  uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> lock(disconnectsSeenMutex);
    seen = disconnectsSeen;
  }
  if (mosquitto_disconnect(client) == MOSQ_ERR_SUCCESS) {
    // A connection (or an attempt) was up: the DISCONNECT goes out on the network thread, which
    // is stopped once the library confirms it, so that the broker drops the last will and the
    // retained status keeps the reason "error".
    std::unique_lock<std::mutex> lock(disconnectsSeenMutex);
    const bool confirmed = disconnectsSeenSignal.wait_for(lock, kErrorDisconnectWait,
                                                          [seen] { return disconnectsSeen != seen; });
    lock.unlock();
    if (!confirmed)
      TRACE(1, "MQTT disconnection not confirmed in time. Stopping the MQTT client without it.");
  }
  mosquitto_loop_stop(client, true);  // no reconnect, no keep-alive until the client is made anew
  TRACE(1, "MQTT client stopped: no connection to the broker while in state 'error'.");
}

void ZAL_MQTT_stateMachine::EN_EntryPrepareToConnect(const EventData*) {
  TRACE(1, "state: EntryPrepareToConnect");
  prepareToConnectNextState = ST_ERROR;
  preSharedKeyOnly = false;
  failureReported = false;
  acknowledged = false;
  outageRunning = false;
  reconnectDoublings = 0;
  reconnectAttemptRunning = false;
  acknowledgedAtMs = 0;
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) {
    TRACE(1, kNoConfiguration);
    return;
  }

  // With a failover list the service times every reconnection attempt itself, so that it can
  // choose the broker of each; under MQTT 5 too, because the library does not re-dial after a
  // DISCONNECT from the broker. Without uiReconnectMaxS, one attempt a second, as the library's.
  failoverSetUp(*item);
  const bool serviceTimed = failoverActive() || item->getProtocolVersion() == kProtocolVersion5;
  reconnectMaxS = item->getReconnectMaxS() != 0 ? item->getReconnectMaxS() : serviceTimed ? 1 : 0;
  TRACE(1, "registering callbacks..");
  mosquitto_connect_callback_set(mosqClient, callback_on_connect);
  mosquitto_disconnect_callback_set(mosqClient, callback_on_disconnect);
  mosquitto_log_callback_set(mosqClient, callback_on_log);
  resetSubscribeQueueBytes();
  mosquitto_message_callback_set(mosqClient, callback_on_message);
  TRACE(1, "..callbacks registered.");
  if (!prepareStatusTopic(mosqClient, *item)) return;
  if (!prepareSparkplug(mosqClient, *item)) return;
  if (!setInflightWindow(mosqClient, *item)) return;
  if (!prepareProtocol(mosqClient, *item)) return;

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
      // With a certificate configuration beside it (both flags set, neither 1), the server is
      // verified against the CA: the library's own set-up serves both.
      preSharedKeyOnly = tls->getUseCertificateBasedTLS() == 0;
      const bool set = preSharedKeyOnly ? setPreSharedKey(mosqClient, psk, identity)
                                        : mosquitto_tls_psk_set(mosqClient, psk.c_str(), identity.c_str(),
                                                                nullptr) == MOSQ_ERR_SUCCESS;
      if (!set) {
        TRACE(1, "Error: TLS PSK configuration is invalid or not enough memory available.");
        prepareToConnectNextState = ST_ERROR;
        return;
      }
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
  disconnectAsked = false;
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) {
    TRACE(1, kNoConfiguration);
    connectResult = MOSQ_ERR_INVAL;
    return;
  }
  // The root's broker, or the failover list's current one (the root's, at a set-up).
  const BrokerAddress broker =
      failoverActive() ? failoverBroker(true) : BrokerAddress{item->getBrokerURL(), item->getBrokerPort()};
  connectCallRunning = true;
  connectResult = mosquitto_connect_async(mosqClient, broker.host.c_str(), static_cast<int>(broker.port),
                                          static_cast<int>(item->getKeepAliveTime()));
  connectCallRunning = false;
}

void ZAL_MQTT_stateMachine::ST_Connecting(const EventData*) {
  TRACE(1, "state: Connecting");
  if (failoverActive() && (connectResult == MOSQ_ERR_ERRNO || connectResult == MOSQ_ERR_EAI)) {
    // With a failover list a broker that cannot be reached at once (refused, no route, no
    // such name) is an outage like a lost connection: the attempts go on, and on to the next
    // broker of the list.
    mosquitto_disconnect(mosqClient);  // the library's loop ends instead of re-dialling
    outageFailure(mosquitto_strerror(connectResult));
    raiseInternalEvent(ST_CONNECTIONLOST);
    return;
  }
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
  // With a failover list the set-up that follows (an automatic retry) starts at the next broker.
  if (failoverActive()) failoverAbandonCurrent();
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

void startReconnectTiming(ZAL_MQTT_stateMachine* machine) {
  ++connectionLostVisit;
  if (reconnectMaxS.load() == 0 || mosqClient == nullptr) return;
  // The disconnect callback stopped the library's loop: its thread ends by itself.
  reconnectAttemptRunning = false;
  mosquitto_loop_stop(mosqClient, false);
  const int64_t since = acknowledgedAtMs.exchange(0);
  if (since != 0 && steadyMs() - since >= std::chrono::milliseconds(kConnectionHeld).count())
    reconnectDoublings = 0;
  scheduleReconnect(machine);
}

void ZAL_MQTT_stateMachine::reconnectTimerExpired() {
  if (currentState() != ST_CONNECTIONLOST || connectionLostVisit.load() != expiredReconnectVisit.load() ||
      reconnectAttemptRunning || mosqClient == nullptr)
    return;
  connectCallRunning = true;
  int result = MOSQ_ERR_SUCCESS;
  if (failoverActive() && failoverBeforeAttempt()) {
    // Another broker of the list: the library's loop is stopped, so its address may change.
    const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
    const BrokerAddress broker = failoverBroker(false);
    result = item ? mosquitto_connect_async(mosqClient, broker.host.c_str(), static_cast<int>(broker.port),
                                            static_cast<int>(item->getKeepAliveTime()))
                  : MOSQ_ERR_INVAL;
  } else {
    result = mosquitto_reconnect_async(mosqClient);
  }
  connectCallRunning = false;
  if (result == MOSQ_ERR_SUCCESS) {
    result = mosquitto_loop_start(mosqClient);
    if (result != MOSQ_ERR_SUCCESS) mosquitto_disconnect(mosqClient);
  }
  if (result != MOSQ_ERR_SUCCESS) {
    // Failed at once (no route, host lookup): one attempt of the outage; wait again.
    outageFailure(mosquitto_strerror(result));
    scheduleReconnect(this);
    return;
  }
  reconnectAttemptRunning = true;
}

void ZAL_MQTT_stateMachine::reconnectAttemptEnded() {
  if (currentState() != ST_CONNECTIONLOST || !reconnectAttemptRunning || mosqClient == nullptr) return;
  reconnectAttemptRunning = false;
  mosquitto_loop_stop(mosqClient, false);  // ended by itself after the callback stopped it
  scheduleReconnect(this);
}
