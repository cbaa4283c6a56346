// The life-cycle machine's map: binding objects, state table, transition tables and events.
// The state, entry and exit functions live in the ZAL_MQTT_stateMachine_*.cpp units by group.
#include "ZAL_MQTT_stateMachine.h"

#include "Trace.h"

using M = ZAL_MQTT_stateMachine;

// clang-format off
const StateAction<M, EventData, &M::ST_BlackDot> M::BlackDot;
const StateAction<M, EventData, &M::ST_Initialize> M::Initialize;
const StateAction<M, EventData, &M::ST_Disconnected> M::Disconnected;
const StateAction<M, EventData, &M::ST_Disconnecting> M::Disconnecting;
const StateAction<M, EventData, &M::ST_ConnectionLost> M::ConnectionLost;
const StateAction<M, EventData, &M::ST_PrepareToConnect> M::PrepareToConnect;
const StateAction<M, EventData, &M::ST_Connecting> M::Connecting;
const StateAction<M, EventData, &M::ST_WaitForNetwork> M::WaitForNetwork;
const StateAction<M, EventData, &M::ST_Connected> M::Connected;
const StateAction<M, EventData, &M::ST_EndOfActive> M::EndOfActive;
const StateAction<M, EventData, &M::ST_Error> M::Error;
const StateAction<M, EventData, &M::ST_SIGINToccured> M::SIGINToccured;

const EntryAction<M, EventData, &M::EN_EntryInitialize> M::EntryInitialize;
const EntryAction<M, EventData, &M::EN_EntryDisconnecting> M::EntryDisconnecting;
const EntryAction<M, EventData, &M::EN_EntryConnectionLost> M::EntryConnectionLost;
const EntryAction<M, EventData, &M::EN_EntryPrepareToConnect> M::EntryPrepareToConnect;
const EntryAction<M, EventData, &M::EN_EntryConnecting> M::EntryConnecting;
const EntryAction<M, EventData, &M::EN_EntryConnected> M::EntryConnected;
const EntryAction<M, EventData, &M::EN_EntryError> M::EntryError;
const EntryAction<M, EventData, &M::EN_SIGINToccuredEntry> M::SIGINToccuredEntry;

const ExitAction<M, &M::EX_ExitInitialize> M::ExitInitialize;
const ExitAction<M, &M::EX_ExitDisconnecting> M::ExitDisconnecting;
const ExitAction<M, &M::EX_ExitConnected> M::ExitConnected;
const ExitAction<M, &M::EX_ExitError> M::ExitError;
const ExitAction<M, &M::EX_SIGINToccuredExit> M::SIGINToccuredExit;
// clang-format on

ZAL_MQTT_stateMachine::ZAL_MQTT_stateMachine() : StateMachine(ST_COUNT, ST_BLACKDOT) {}

ZAL_MQTT_stateMachine::~ZAL_MQTT_stateMachine() = default;

const ExtendedStateTableRow* ZAL_MQTT_stateMachine::getExtendedStateTable() {
  // Filled in once, on the first call; the initialisation of a local static is thread-safe.
  // clang-format off
  static const ExtendedStateTableRow table[ST_COUNT] = {
    //  state action       guard    entry action            exit action
    { &BlackDot,         nullptr, nullptr,                nullptr            },  // ST_BLACKDOT
    { &Initialize,       nullptr, &EntryInitialize,       &ExitInitialize    },  // ST_INITIALIZE
    { &Disconnected,     nullptr, nullptr,                nullptr            },  // ST_DISCONNECTED
    { &Disconnecting,    nullptr, &EntryDisconnecting,    &ExitDisconnecting },  // ST_DISCONNECTING
    { &ConnectionLost,   nullptr, &EntryConnectionLost,   nullptr            },  // ST_CONNECTIONLOST
    { &PrepareToConnect, nullptr, &EntryPrepareToConnect, nullptr            },  // ST_PREPARETOCONNECT
    { &Connecting,       nullptr, &EntryConnecting,       nullptr            },  // ST_CONNECTING
    { &WaitForNetwork,   nullptr, nullptr,                nullptr            },  // ST_WAITFORNETWORK
    { &Connected,        nullptr, &EntryConnected,        &ExitConnected     },  // ST_CONNECTED
    { &EndOfActive,      nullptr, nullptr,                nullptr            },  // ST_ENDOFACTIVE
    { &Error,            nullptr, &EntryError,            &ExitError         },  // ST_ERROR
    { &SIGINToccured,    nullptr, &SIGINToccuredEntry,    &SIGINToccuredExit },  // ST_SIGINT
  };
  // clang-format on
  return table;
}

void ZAL_MQTT_stateMachine::raiseEvent(const char* eventName, const uint8_t (&transitions)[ST_COUNT]) {
  TRACE(1, "     external event: ", eventName);
  // The state is judged under the machine-wide lock: an event posted while the start thread's
  // chain of transitions still runs waits for that chain and is judged by where it ended.
  raiseMappedEvent(transitions, nullptr);
}

namespace {
// Transition tables: one row per event, one column per current state; a number is the target
// state, "ign" ignores the event, "inv" must not happen (fault). In ST_SIGINT a lost connection
// ends the service like a confirmed disconnection: the shut-down never waits for a callback
// that cannot come.
constexpr uint8_t ign = StateMachine::NO_TRANSITION;
constexpr uint8_t inv = StateMachine::INVALID_TRANSITION;
using Row = uint8_t[M::ST_COUNT];
// clang-format off
//  current state:                       0    1    2    3    4    5    6    7    8    9   10   11
constexpr Row StartStateMachineMap      {  1, ign, ign, ign, ign, ign, ign, ign, ign, ign, ign, ign };
constexpr Row disconnectedFromBrokerMap { inv, ign, ign,   2, ign, ign, ign, ign, ign, ign, ign,   9 };
constexpr Row connectionToBrokerLostMap { inv, ign, ign,   2, ign, ign,   4, ign,   4, ign, ign,   9 };
constexpr Row connectionToBrokerTimeoutMap { inv, ign, ign, ign, ign, ign, 10, ign, ign, ign, ign, ign };
constexpr Row reconnectedToBrokerMap    { inv, ign, ign, ign,   8, ign, ign, ign, ign, ign, ign, ign };
constexpr Row connectedToBrokerMap      { inv, ign, ign, ign,   8, ign,   8, ign, ign, ign, ign, ign };
constexpr Row errorMap                  { inv,  10,  10,  10,  10,  10,  10,  10,  10,  10, ign,  10 };
constexpr Row retryMap                  { inv, ign, ign, ign, ign, ign, ign, ign, ign, ign,   1, ign };
constexpr Row SIGINTMap                 { inv,  11,  11,  11,  11,  11,  11,  11,  11,  11,  11, ign };
constexpr Row IECsignalsConnectMap      { inv, ign,   5, ign, ign, ign, ign, ign, ign, ign, ign, ign };
constexpr Row IECsignalsDisconnectMap   { inv, ign, ign, ign,   3, ign, ign, ign,   3, ign, ign, ign };
constexpr Row waitTimeIsOverMap         { inv, ign, ign, ign, ign, ign, ign,   6, ign, ign, ign, ign };
// clang-format on
}  // namespace

void ZAL_MQTT_stateMachine::StartStateMachine() { raiseEvent("StartStateMachine", StartStateMachineMap); }
void ZAL_MQTT_stateMachine::disconnectedFromBroker() {
  raiseEvent("disconnectedFromBroker", disconnectedFromBrokerMap);
}
void ZAL_MQTT_stateMachine::connectionToBrokerLost() {
  raiseEvent("connectionToBrokerLost", connectionToBrokerLostMap);
}
void ZAL_MQTT_stateMachine::connectionToBrokerTimeout() {
  raiseEvent("connectionToBrokerTimeout", connectionToBrokerTimeoutMap);
}
void ZAL_MQTT_stateMachine::reconnectedToBroker() {
  raiseEvent("reconnectedToBroker", reconnectedToBrokerMap);
}
void ZAL_MQTT_stateMachine::connectedToBroker() { raiseEvent("connectedToBroker", connectedToBrokerMap); }
void ZAL_MQTT_stateMachine::error() { raiseEvent("error", errorMap); }
void ZAL_MQTT_stateMachine::retry() { raiseEvent("retry", retryMap); }
#pragma push_macro("SIGINT")
#undef SIGINT
void ZAL_MQTT_stateMachine::SIGINT() { raiseEvent("SIGINT", SIGINTMap); }
#pragma pop_macro("SIGINT")
void ZAL_MQTT_stateMachine::IECsignalsConnect() {
  raiseEvent("IECsignalsConnect", IECsignalsConnectMap);
  ++activationRequestsRun_;
}
void ZAL_MQTT_stateMachine::IECsignalsDisconnect() {
  raiseEvent("IECsignalsDisconnect", IECsignalsDisconnectMap);
  ++activationRequestsRun_;
}
void ZAL_MQTT_stateMachine::waitTimeIsOver() { raiseEvent("waitTimeIsOver", waitTimeIsOverMap); }

void ZAL_MQTT_stateMachine::ST_BlackDot(const EventData*) { TRACE(1, "BlackDot"); }
