// The service's life-cycle machine: twelve states, twelve events, on the StateMachine engine.
#pragma once

#include <atomic>
#include <cstdint>

#include "StateMachine.h"

class ZAL_MQTT_stateMachine : public StateMachine {
 public:
  enum States : uint8_t {
    ST_BLACKDOT = 0,
    ST_INITIALIZE = 1,
    ST_DISCONNECTED = 2,
    ST_DISCONNECTING = 3,
    ST_CONNECTIONLOST = 4,
    ST_PREPARETOCONNECT = 5,
    ST_CONNECTING = 6,
    ST_WAITFORNETWORK = 7,
    ST_CONNECTED = 8,
    ST_ENDOFACTIVE = 9,
    ST_ERROR = 10,
    ST_SIGINT = 11,
    ST_COUNT = 12
  };

  ZAL_MQTT_stateMachine();
  ~ZAL_MQTT_stateMachine() override;

  // Events. Each traces "     external event: <name>" and runs the transition its table gives
  // for the current state. StartStateMachine comes from the start thread; every other event is
  // raised on the main thread by a posted job.
  void StartStateMachine();
  void disconnectedFromBroker();
  void connectionToBrokerLost();
  void connectionToBrokerTimeout();
  void reconnectedToBroker();
  void connectedToBroker();
  void error();
  void retry();
  // SIGINT is also the signal's macro name: keep it out of the way for the declaration.
#pragma push_macro("SIGINT")
#undef SIGINT
  void SIGINT();
#pragma pop_macro("SIGINT")
  void IECsignalsConnect();
  void IECsignalsDisconnect();
  void waitTimeIsOver();

  // Job of the connection-timeout timer, run on the main thread like every event: while the
  // attempt that started the timer is still in ST_CONNECTING, traces the refused connection
  // and raises connectionToBrokerTimeout; otherwise (connected, lost, a newer attempt) it does
  // nothing. Judged where the events run, the refused line never goes without the error state.
  void connectionTimerExpired();

  // Jobs of the service's own reconnect timing (uiReconnectMaxS), run on the main thread while
  // the connection is lost: the wait before the next attempt is over (an attempt is started),
  // and the library reported that the attempt ended without a connection (the next wait is
  // started). Each does nothing outside the ST_CONNECTIONLOST visit it belongs to.
  void reconnectTimerExpired();
  void reconnectAttemptEnded();

  // How many IECsignalsConnect and IECsignalsDisconnect events have run to their end. The
  // activation watcher compares it with its own posts to know whether one is still queued.
  uint64_t activationRequestsRun() const { return activationRequestsRun_.load(); }

 protected:
  const StateTableRow* getStateTable() override { return nullptr; }
  const ExtendedStateTableRow* getExtendedStateTable() override;

 private:
  void raiseEvent(const char* eventName, const uint8_t (&transitions)[ST_COUNT]);

  std::atomic<uint64_t> activationRequestsRun_{0};

  // State functions.
  void ST_BlackDot(const EventData* data);
  void ST_Initialize(const EventData* data);
  void ST_Disconnected(const EventData* data);
  void ST_Disconnecting(const EventData* data);
  void ST_ConnectionLost(const EventData* data);
  void ST_PrepareToConnect(const EventData* data);
  void ST_Connecting(const EventData* data);
  void ST_WaitForNetwork(const EventData* data);
  void ST_Connected(const EventData* data);
  void ST_EndOfActive(const EventData* data);
  void ST_Error(const EventData* data);
  void ST_SIGINToccured(const EventData* data);

  // Entry functions.
  void EN_EntryInitialize(const EventData* data);
  void EN_EntryDisconnecting(const EventData* data);
  void EN_EntryConnectionLost(const EventData* data);
  void EN_EntryPrepareToConnect(const EventData* data);
  void EN_EntryConnecting(const EventData* data);
  void EN_EntryConnected(const EventData* data);
  void EN_EntryError(const EventData* data);
  void EN_SIGINToccuredEntry(const EventData* data);

  // Exit functions.
  void EX_ExitInitialize();
  void EX_ExitDisconnecting();
  void EX_ExitConnected();
  void EX_ExitError();
  void EX_SIGINToccuredExit();

  // Binding objects, one per filled cell of the state table. They hold nothing but the member
  // function they bind, so one set serves every machine object (tests create several).
  // clang-format off
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_BlackDot> BlackDot;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_Initialize> Initialize;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_Disconnected> Disconnected;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_Disconnecting> Disconnecting;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_ConnectionLost> ConnectionLost;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_PrepareToConnect> PrepareToConnect;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_Connecting> Connecting;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_WaitForNetwork> WaitForNetwork;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_Connected> Connected;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_EndOfActive> EndOfActive;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_Error> Error;
  static const StateAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::ST_SIGINToccured> SIGINToccured;

  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryInitialize> EntryInitialize;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryDisconnecting> EntryDisconnecting;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryConnectionLost> EntryConnectionLost;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryPrepareToConnect> EntryPrepareToConnect;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryConnecting> EntryConnecting;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryConnected> EntryConnected;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_EntryError> EntryError;
  static const EntryAction<ZAL_MQTT_stateMachine, EventData, &ZAL_MQTT_stateMachine::EN_SIGINToccuredEntry> SIGINToccuredEntry;

  static const ExitAction<ZAL_MQTT_stateMachine, &ZAL_MQTT_stateMachine::EX_ExitInitialize> ExitInitialize;
  static const ExitAction<ZAL_MQTT_stateMachine, &ZAL_MQTT_stateMachine::EX_ExitDisconnecting> ExitDisconnecting;
  static const ExitAction<ZAL_MQTT_stateMachine, &ZAL_MQTT_stateMachine::EX_ExitConnected> ExitConnected;
  static const ExitAction<ZAL_MQTT_stateMachine, &ZAL_MQTT_stateMachine::EX_ExitError> ExitError;
  static const ExitAction<ZAL_MQTT_stateMachine, &ZAL_MQTT_stateMachine::EX_SIGINToccuredExit> SIGINToccuredExit;
  // clang-format on
};

// The SIGINT event operation, for code that also sees the signal's SIGINT macro.
#pragma push_macro("SIGINT")
#undef SIGINT
inline constexpr void (ZAL_MQTT_stateMachine::*sigintEvent)() = &ZAL_MQTT_stateMachine::SIGINT;
#pragma pop_macro("SIGINT")
