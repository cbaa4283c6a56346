// Process-wide objects of the service's life cycle, shared by the state groups of
// ZAL_MQTT_stateMachine (initialise, connect, connected/publish, subscribe, disconnect,
// error/end), the MQTT library's callbacks and the worker threads.
//
// Lock rules: configurationMutex, subscribeQueueMutex, the trace lock and the main-thread
// job-queue lock are each held only for a short critical section, and never two at once.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;
class ZAL_MQTT_item;
class ZAL_MQTT_stateMachine;

// The configuration root in the variable tree.
constexpr const char* kConfigurationRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

// ---- configuration -------------------------------------------------------------------------
// The configuration in force; set by the initialisation state, released by the error and
// interrupt states (main or start thread). Other threads never touch the reference itself:
// they take their own copy with getConfiguration(), which keeps the object alive while they
// use it. Guarded by configurationMutex.
extern std::shared_ptr<ZAL_MQTT_item> configuration;
extern std::mutex configurationMutex;
std::shared_ptr<ZAL_MQTT_item> getConfiguration();
void setConfiguration(std::shared_ptr<ZAL_MQTT_item> item);  // an empty pointer releases it

// ---- MQTT client ---------------------------------------------------------------------------
// The one client instance; its user data is the machine. Created, reset and destroyed only by
// state actions (one thread at a time); whoever destroys it sets it to null in the same step.
// Publish workers read it while they run; they are joined before it can change.
extern mosquitto* mosqClient;

// ---- initialisation and activation watcher --------------------------------------------------
extern std::atomic<bool> activationWatcherRun;  // the watcher runs while true
extern bool initEntryFailed;                    // EN_EntryInitialize failed; read by ST_Initialize
// Body of the activation watcher thread (started, detached, by ST_Initialize): samples
// xActivateConnection once a second and posts IECsignalsConnect / IECsignalsDisconnect on edges,
// and once more when the machine rests in a state that contradicts the flag's level.
void activationWatcher(ZAL_MQTT_stateMachine* machine);

// ---- SIGINT ---------------------------------------------------------------------------------
// The handler EX_ExitInitialize installs. Signal context only writes the signal number into a
// pipe; a thread of ours writes "Interrupt signal (N) received." and posts the SIGINT event.
void sigintHandler(int signalNumber);
// Gives SIGINT its default action again (the error state's entry action).
void restoreSigintDefault();

// ---- connection set-up ----------------------------------------------------------------------
extern uint8_t prepareToConnectNextState;  // ST_CONNECTING or ST_ERROR, set by the entry action
extern int connectResult;                  // result of mosquitto_connect_async

// ---- reconnect timing (uiReconnectMaxS) ------------------------------------------------------
// Entry of ST_CONNECTIONLOST: with uiReconnectMaxS set, the library's network thread has ended
// by itself after the loss; it is joined and the wait before the first attempt starts.
// Without the member nothing happens (the library re-dials every second on its own).
void startReconnectTiming(ZAL_MQTT_stateMachine* machine);

// ---- disconnection, error, interrupt --------------------------------------------------------
// Entry of the error state: leaves the broker for good before the state waits. With the status
// topic configured and a connection up, the retained "offline" with reason "error" (bounded
// wait); then a disconnect, a bounded wait for the library to confirm it, and the network
// thread stopped, so that nothing is acknowledged, nothing logs in and no keep-alive runs while
// the state lasts. The entry action then destroys the client; a retry makes a new one.
void leaveBrokerForError(mosquitto* client);
// Entry of the error state: drops the received messages still queued (they were meant for a
// session that has ended) and traces their number once; returns it.
size_t dropQueuedSubscribeMessages();
extern int disconnectResult;        // result of mosquitto_disconnect in ST_DISCONNECTING
extern int sigintDisconnectResult;  // result of mosquitto_disconnect in ST_SIGINT
extern uint32_t lastErrorRetry;     // last known xErrorRetry while in ST_ERROR
// Set just before each disconnection the service asks for (requested, SIGINT), cleared when it
// sets up a new connection. Under MQTT 5 a disconnection with reason 0 that the service did not
// ask for is the broker's own DISCONNECT, and counts as a lost connection.
extern std::atomic<bool> disconnectAsked;

// ---- workers --------------------------------------------------------------------------------
// Written by the connected state's entry and exit actions (main thread), polled by workers.
extern std::atomic<uint8_t> subscribeRunning;
extern std::atomic<uint8_t> publishStop;
extern std::thread subscribeThread;
extern std::vector<std::unique_ptr<std::thread>> publishThreads;

// Publish worker for the publish configuration at index i.
void publishWorker(size_t i);
// The subscribe worker.
void subscribeWorker();
// Sleeps until deadline, but returns early once stop is 1, so that the connected state's exit
// action does not wait a whole long period for a worker.
void sleepUntilOrStop(std::chrono::steady_clock::time_point deadline, const std::atomic<uint8_t>& stop);

// ---- subscribe queue ------------------------------------------------------------------------
// Copies of received messages, oldest first; owned by the queue until taken out. Producer: the
// MQTT library's network thread (callback_on_message); consumer: the subscribe worker.
extern std::deque<mosquitto_message*> subscribeQueue;
extern std::mutex subscribeQueueMutex;                   // guards subscribeQueue and subscribeQueueBytes
extern std::condition_variable subscribeQueueCondition;  // notified after each append
extern uint32_t subscribeQueueBytes;                     // payload bytes of the queued messages
// The connection set-up's reset of the byte count: makes it equal to the payload bytes still
// queued (0 when the queue is empty), so it can never underflow on the next dequeue.
void resetSubscribeQueueBytes();
// Appends the empty wake-up message that lets the subscribe worker see subscribeRunning.
void wakeSubscribeWorker();

// ---- MQTT library callbacks (network thread) -----------------------------------------------
void callback_on_connect(mosquitto* client, void* userdata, int result);
void callback_on_disconnect(mosquitto* client, void* userdata, int result);
void callback_on_message(mosquitto* client, void* userdata, const mosquitto_message* message);
// The disconnect callback's work; error is errno as the callback found it. brokerCause is the
// broker's own reason for ending the connection (an MQTT 5 DISCONNECT), empty when it gave none;
// brokerPermanent: that reason ends the connection set-up for good, like a refused CONNACK.
void handleDisconnect(mosquitto* client, void* userdata, int result, int error,
                      const std::string& brokerCause, bool brokerPermanent);
// The library's log: its error reports are traced, and before the broker has answered they end
// the connection attempt (the cause of a TLS failure is known only from them).
void callback_on_log(mosquitto* client, void* userdata, int level, const char* text);

// The MQTT library cancels its network thread on loop_stop(force) and destroy. Every callback
// of ours holds one of these for its whole run, so it is never cancelled while it holds a lock.
class CancellationDisabled {
 public:
  CancellationDisabled() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous); }
  ~CancellationDisabled() { pthread_setcancelstate(previous, nullptr); }
  CancellationDisabled(const CancellationDisabled&) = delete;
  CancellationDisabled& operator=(const CancellationDisabled&) = delete;

 private:
  int previous = PTHREAD_CANCEL_ENABLE;
};
