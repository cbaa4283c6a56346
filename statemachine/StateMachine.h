// A small engine for table-driven state machines.
//
// A concrete machine derives from StateMachine, numbers its states from 0 and supplies a table
// with one row per state: the state action and, in the extended table, an optional guard, entry
// action and exit action. Each event of the concrete machine looks up its target state in a
// per-event transition table indexed by the current state and calls raiseExternalEvent. The
// engine then runs the old state's exit action, the new state's entry action and the new
// state's action; a state action may request one further transition with raiseInternalEvent,
// which the engine runs next, in a loop, on the same thread. Programming errors end in
// FaultHandler, which never returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

// Base of all event data. Event data lives on the heap; whoever raises an event hands the data
// to the engine, which deletes it on every path (also when the event is ignored).
class EventData {
 public:
  virtual ~EventData() = default;
};

class StateMachine;

class StateBase {
 public:
  virtual ~StateBase() = default;
  virtual void invoke(StateMachine* sm, const EventData* data) const = 0;
};

class EntryBase {
 public:
  virtual ~EntryBase() = default;
  virtual void invoke(StateMachine* sm, const EventData* data) const = 0;
};

class ExitBase {
 public:
  virtual ~ExitBase() = default;
  virtual void invoke(StateMachine* sm) const = 0;
};

class TransitionGuard {
 public:
  virtual ~TransitionGuard() = default;
  virtual bool check(StateMachine* sm, const EventData* data) const = 0;
};

struct StateTableRow {
  const StateBase* const State;
};

struct ExtendedStateTableRow {
  const StateBase* const State;
  const TransitionGuard* const Guard;
  const EntryBase* const Entry;
  const ExitBase* const Exit;
};

class StateMachine {
 public:
  static constexpr uint8_t NO_TRANSITION = 0xFE;       // event ignored in this state
  static constexpr uint8_t INVALID_TRANSITION = 0xFF;  // event must not occur in this state

  // A stateCount of 254 or more is a fault. No action runs at construction.
  StateMachine(uint8_t maxStates, uint8_t initialState = 0);
  virtual ~StateMachine();
  StateMachine(const StateMachine&) = delete;
  StateMachine& operator=(const StateMachine&) = delete;

  // The state the machine is in. Readable from any thread (a single byte, relaxed).
  uint8_t currentState() const { return currentState_.load(std::memory_order_relaxed); }
  uint8_t getStateCount() const { return stateCount; }

  // The fatal fault routine: three lines on standard output, then the calling thread stays
  // here for the rest of the process's life.
  [[noreturn]] static void FaultHandler(const char* fileName, int lineNumber);

 protected:
  // For the concrete machine's event functions, from outside any action of this machine. Runs
  // the requested transition and every transition that follows before it returns. Holds the
  // machine-wide lock for its whole run, so events of different threads never overlap.
  void raiseExternalEvent(uint8_t newState, EventData* pData = nullptr);
  // The same for an event given as its transition table (one entry per state, indexed by the
  // current state): the current state is read and its entry looked up under the machine-wide
  // lock, so an event raised while another thread's event still runs is judged by the state
  // that event leaves behind. A current state not below the state count is a fault.
  void raiseMappedEvent(const uint8_t* transitions, EventData* pData = nullptr);
  // For state actions only: requests the next transition, run after the action returns. A
  // second request before the first has run replaces it (the first request's data is deleted).
  void raiseInternalEvent(uint8_t newState, EventData* pData = nullptr);

  // The plain table (one StateTableRow per state) or null.
  virtual const StateTableRow* getStateTable() = 0;
  // The extended table (one ExtendedStateTableRow per state) or null; used when the plain one
  // is null.
  virtual const ExtendedStateTableRow* getExtendedStateTable() = 0;

 private:
  void raiseLocked(uint8_t newState, std::unique_ptr<EventData> data);
  void runTransitions();
  void runPlainTransitions(const StateTableRow* table);
  void runExtendedTransitions(const ExtendedStateTableRow* table);

  const uint8_t stateCount;
  std::atomic<uint8_t> currentState_;
  uint8_t pendingState = 0;
  bool transitionPending = false;
  std::unique_ptr<EventData> pendingData;

  // Machine-wide lock: held by raiseExternalEvent for its whole run (the start thread and the
  // main thread both raise events). Never taken by actions.
  std::mutex eventMutex;
};

#define ZAL_SM_FAULT() StateMachine::FaultHandler(__FILE__, __LINE__)

// Binds a state function `void SM::Func(const Data*)` as a StateBase.
template <class SM, class Data, void (SM::*Func)(const Data*)>
class StateAction : public StateBase {
 public:
  void invoke(StateMachine* sm, const EventData* data) const override {
    if (data == nullptr) ZAL_SM_FAULT();
    (static_cast<SM*>(sm)->*Func)(static_cast<const Data*>(data));
  }
};

// Binds an entry function `void SM::Func(const Data*)` as an EntryBase.
template <class SM, class Data, void (SM::*Func)(const Data*)>
class EntryAction : public EntryBase {
 public:
  void invoke(StateMachine* sm, const EventData* data) const override {
    if (data == nullptr) ZAL_SM_FAULT();
    (static_cast<SM*>(sm)->*Func)(static_cast<const Data*>(data));
  }
};

// Binds an exit function `void SM::Func()` as an ExitBase.
template <class SM, void (SM::*Func)()>
class ExitAction : public ExitBase {
 public:
  void invoke(StateMachine* sm) const override { (static_cast<SM*>(sm)->*Func)(); }
};
