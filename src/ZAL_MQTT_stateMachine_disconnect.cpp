// Life-cycle machine: disconnection states.
#include "ZAL_MQTT_stateMachine.h"

#include "Trace.h"

void ZAL_MQTT_stateMachine::ST_Disconnected(const EventData*) {
  TRACE(1, "state: Disconnected");
}

void ZAL_MQTT_stateMachine::EN_EntryDisconnecting(const EventData*) {
  TRACE(1, "state action: Entry disconnecting");
}

void ZAL_MQTT_stateMachine::ST_Disconnecting(const EventData*) {
  TRACE(1, "state: Disconnecting");
}

void ZAL_MQTT_stateMachine::EX_ExitDisconnecting() {
  TRACE(1, "state action: Exit disconnecting");
}

void ZAL_MQTT_stateMachine::EN_EntryConnectionLost(const EventData*) {
  TRACE(1, "EntryConnectionLost");
}

void ZAL_MQTT_stateMachine::ST_ConnectionLost(const EventData*) {
  TRACE(1, "ConnectionLost");
}

