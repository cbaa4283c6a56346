#include "StateMachine.h"

#include <unistd.h>

#include <cstdio>

StateMachine::StateMachine(uint8_t maxStates, uint8_t initialState)
    : stateCount(maxStates), currentState_(initialState) {
  if (maxStates >= NO_TRANSITION) ZAL_SM_FAULT();
}

StateMachine::~StateMachine() = default;

void StateMachine::FaultHandler(const char* /*fileName*/, int /*lineNumber*/) {
  std::fputs("-------------------------\n", stdout);
  std::fflush(stdout);
  std::fputs("! FaultHandler() called !\n", stdout);
  std::fflush(stdout);
  std::fputs("-------------------------\n", stdout);
  std::fflush(stdout);
  // Stay here for good: no further transition of the faulted machine may run. If the fault
  // came from an event, this thread also keeps the machine-wide lock.
  for (;;) pause();
}

void StateMachine::raiseExternalEvent(uint8_t newState, EventData* pData) {
  std::unique_ptr<EventData> data(pData);
  std::lock_guard<std::mutex> lock(eventMutex);
  raiseLocked(newState, std::move(data));
}

void StateMachine::raiseMappedEvent(const uint8_t* transitions, EventData* pData) {
  std::unique_ptr<EventData> data(pData);
  std::lock_guard<std::mutex> lock(eventMutex);
  const uint8_t state = currentState();
  if (state >= stateCount) ZAL_SM_FAULT();
  raiseLocked(transitions[state], std::move(data));
}

void StateMachine::raiseLocked(uint8_t newState, std::unique_ptr<EventData> data) {
  if (newState == NO_TRANSITION) return;  // ignored: the data is deleted, nothing runs
  raiseInternalEvent(newState, data.release());
  runTransitions();
}

void StateMachine::raiseInternalEvent(uint8_t newState, EventData* pData) {
  if (pData == nullptr) pData = new EventData();
  pendingData.reset(pData);  // a replaced request's data is deleted here
  pendingState = newState;
  transitionPending = true;
}

void StateMachine::runTransitions() {
  if (const StateTableRow* table = getStateTable()) {
    runPlainTransitions(table);
  } else if (const ExtendedStateTableRow* table = getExtendedStateTable()) {
    runExtendedTransitions(table);
  } else {
    ZAL_SM_FAULT();
  }
}

void StateMachine::runPlainTransitions(const StateTableRow* table) {
  while (transitionPending) {
    if (pendingState >= stateCount) ZAL_SM_FAULT();
    const uint8_t target = pendingState;
    const StateBase* state = table[target].State;
    std::unique_ptr<EventData> data = std::move(pendingData);
    transitionPending = false;
    currentState_.store(target, std::memory_order_relaxed);
    if (state == nullptr) ZAL_SM_FAULT();
    state->invoke(this, data.get());
  }
}

void StateMachine::runExtendedTransitions(const ExtendedStateTableRow* table) {
  while (transitionPending) {
    if (pendingState >= stateCount) ZAL_SM_FAULT();
    const uint8_t target = pendingState;
    const StateBase* state = table[target].State;
    const TransitionGuard* guard = table[target].Guard;
    const EntryBase* entry = table[target].Entry;
    const ExitBase* exit = table[currentState()].Exit;

    std::unique_ptr<EventData> data = std::move(pendingData);
    transitionPending = false;

    if (guard != nullptr && !guard->check(this, data.get())) continue;  // cancelled; data deleted

    if (target != currentState()) {
      if (exit != nullptr) exit->invoke(this);
      if (entry != nullptr) entry->invoke(this, data.get());
      // Entry and exit actions must not request transitions.
      if (transitionPending) ZAL_SM_FAULT();
    }
    currentState_.store(target, std::memory_order_relaxed);
    if (state == nullptr) ZAL_SM_FAULT();
    state->invoke(this, data.get());
  }
}
