// Life-cycle machine: connected state.
#include "ZAL_MQTT_stateMachine.h"

#include "Trace.h"

void ZAL_MQTT_stateMachine::EN_EntryConnected(const EventData*) {
  TRACE(1, "state action: Entry connected");
}

void ZAL_MQTT_stateMachine::ST_Connected(const EventData*) {
  TRACE(1, "state: Connected");
  TRACE(1, "end of state function 'connected'");
}

void ZAL_MQTT_stateMachine::EX_ExitConnected() {
  TRACE(1, "state action: Exit connected");
}

