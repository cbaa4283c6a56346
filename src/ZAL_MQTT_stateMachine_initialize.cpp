// Life-cycle machine: initialisation state.
#include "ZAL_MQTT_stateMachine.h"

#include "Trace.h"

void ZAL_MQTT_stateMachine::EN_EntryInitialize(const EventData*) {
  TRACE(1, "state action: Entry initialize");
}

void ZAL_MQTT_stateMachine::ST_Initialize(const EventData*) {
  TRACE(1, "state: initialize");
}

void ZAL_MQTT_stateMachine::EX_ExitInitialize() {
  TRACE(1, "state action: Exit initialize");
}

