// Life-cycle machine: error, interrupt and end states.
#include "ZAL_MQTT_stateMachine.h"

#include "Trace.h"

void ZAL_MQTT_stateMachine::EN_EntryError(const EventData*) {
  TRACE(1, "state action: Entry error");
}

void ZAL_MQTT_stateMachine::ST_Error(const EventData*) {
  TRACE(1, "state: Error");
}

void ZAL_MQTT_stateMachine::EX_ExitError() {
  TRACE(1, "state action: Exit error");
}

void ZAL_MQTT_stateMachine::EN_SIGINToccuredEntry(const EventData*) {
  TRACE(1, "state action: SIGINT entry");
}

void ZAL_MQTT_stateMachine::ST_SIGINToccured(const EventData*) {
  TRACE(1, "state: SIGINT");
}

void ZAL_MQTT_stateMachine::EX_SIGINToccuredExit() {
  TRACE(1, "state action: SIGINT exit");
}

void ZAL_MQTT_stateMachine::ST_EndOfActive(const EventData*) {
  TRACE(1, "state: EndOfActive");
}

