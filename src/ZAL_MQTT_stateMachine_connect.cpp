// Life-cycle machine: connection set-up states.
#include "ZAL_MQTT_stateMachine.h"

#include "Trace.h"

void ZAL_MQTT_stateMachine::EN_EntryPrepareToConnect(const EventData*) {
  TRACE(1, "state: EntryPrepareToConnect");
}

void ZAL_MQTT_stateMachine::ST_PrepareToConnect(const EventData*) {
  TRACE(1, "state: PrepareToConnect");
}

void ZAL_MQTT_stateMachine::EN_EntryConnecting(const EventData*) {
  TRACE(1, "state: EntryConnecting");
}

void ZAL_MQTT_stateMachine::ST_Connecting(const EventData*) {
  TRACE(1, "state: Connecting");
}

void ZAL_MQTT_stateMachine::ST_WaitForNetwork(const EventData*) {
  TRACE(1, "state: WaitForNetwork");
}

