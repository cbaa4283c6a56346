// The life-cycle machine's transition map: all 144 cells (event x state), through the public
// event operations, checking the resulting state and the "     external event: " line.
//
// The machine's own state functions do real work, so the test machine puts a table of
// recording actions in place of the real one (the engine takes the table through a virtual
// call). Its initialisation state forwards the machine to the state under test, so every state
// is reached through StartStateMachine and internal transitions alone.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FaultProbe.h"
#include "Trace.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

using M = ZAL_MQTT_stateMachine;
constexpr uint8_t ign = StateMachine::NO_TRANSITION;
constexpr uint8_t inv = StateMachine::INVALID_TRANSITION;

class MapMachine : public ZAL_MQTT_stateMachine {
 public:
  int forwardTo = -1;  // the initialisation state requests this state once
  std::vector<uint8_t> statesRun;

  void goTo(uint8_t state) {
    if (state == ST_BLACKDOT) return;
    if (state != ST_INITIALIZE) forwardTo = state;
    StartStateMachine();
  }
  void forward(uint8_t state) { raiseInternalEvent(state); }

 protected:
  const ExtendedStateTableRow* getExtendedStateTable() override;
};

struct Recorder : StateBase {
  uint8_t number;
  explicit Recorder(uint8_t n) : number(n) {}
  void invoke(StateMachine* sm, const EventData*) const override {
    auto* m = static_cast<MapMachine*>(sm);
    m->statesRun.push_back(number);
    if (number == M::ST_INITIALIZE && m->forwardTo >= 0) {
      uint8_t next = static_cast<uint8_t>(m->forwardTo);
      m->forwardTo = -1;
      m->forward(next);
    }
  }
};

const ExtendedStateTableRow* MapMachine::getExtendedStateTable() {
  static const Recorder r[M::ST_COUNT] = {Recorder(0), Recorder(1), Recorder(2),  Recorder(3),
                                          Recorder(4), Recorder(5), Recorder(6),  Recorder(7),
                                          Recorder(8), Recorder(9), Recorder(10), Recorder(11)};
  static const ExtendedStateTableRow table[M::ST_COUNT] = {
      {&r[0], nullptr, nullptr, nullptr},  {&r[1], nullptr, nullptr, nullptr},
      {&r[2], nullptr, nullptr, nullptr},  {&r[3], nullptr, nullptr, nullptr},
      {&r[4], nullptr, nullptr, nullptr},  {&r[5], nullptr, nullptr, nullptr},
      {&r[6], nullptr, nullptr, nullptr},  {&r[7], nullptr, nullptr, nullptr},
      {&r[8], nullptr, nullptr, nullptr},  {&r[9], nullptr, nullptr, nullptr},
      {&r[10], nullptr, nullptr, nullptr}, {&r[11], nullptr, nullptr, nullptr}};
  return table;
}

struct EventRow {
  const char* name;
  void (M::*raise)();
  uint8_t expected[M::ST_COUNT];
};

// The expected grid, written out independently of the machine's own tables.
// clang-format off
const EventRow grid[] = {
  //                                                       0    1    2    3    4    5    6    7    8    9   10   11
  {"StartStateMachine",         &M::StartStateMachine,         {  1, ign, ign, ign, ign, ign, ign, ign, ign, ign, ign, ign}},
  {"disconnectedFromBroker",    &M::disconnectedFromBroker,    {inv, ign, ign,   2, ign, ign, ign, ign, ign, ign, ign,   9}},
  {"connectionToBrokerLost",    &M::connectionToBrokerLost,    {inv, ign, ign,   2, ign, ign,   4, ign,   4, ign, ign,   9}},
  {"connectionToBrokerTimeout", &M::connectionToBrokerTimeout, {inv, ign, ign, ign, ign, ign,  10, ign, ign, ign, ign, ign}},
  {"reconnectedToBroker",       &M::reconnectedToBroker,       {inv, ign, ign, ign,   8, ign, ign, ign, ign, ign, ign, ign}},
  {"connectedToBroker",         &M::connectedToBroker,         {inv, ign, ign, ign,   8, ign,   8, ign, ign, ign, ign, ign}},
  {"error",                     &M::error,                     {inv,  10,  10,  10,  10,  10,  10,  10,  10,  10, ign,  10}},
  {"retry",                     &M::retry,                     {inv, ign, ign, ign, ign, ign, ign, ign, ign, ign,   1, ign}},
  {"SIGINT",                    sigintEvent,                   {inv,  11,  11,  11,  11,  11,  11,  11,  11,  11,  11, ign}},
  {"IECsignalsConnect",         &M::IECsignalsConnect,         {inv, ign,   5, ign, ign, ign, ign, ign, ign, ign, ign, ign}},
  {"IECsignalsDisconnect",      &M::IECsignalsDisconnect,      {inv, ign, ign, ign,   3, ign, ign, ign,   3, ign, ign, ign}},
  {"waitTimeIsOver",            &M::waitTimeIsOver,            {inv, ign, ign, ign, ign, ign, ign,   6, ign, ign, ign, ign}},
};
// clang-format on

std::string eventLine(const char* name) { return std::string("     external event: ") + name + "\n"; }

TEST(LifeCycleMap, EveryCellOfTheGrid) {
  setTraceLevel(1);
  int cells = 0;
  for (const EventRow& row : grid) {
    for (uint8_t state = 0; state < M::ST_COUNT; ++state) {
      ++cells;
      const uint8_t expected = row.expected[state];
      SCOPED_TRACE(std::string(row.name) + " in state " + std::to_string(state));
      if (expected == inv) {
        std::string out = runExpectingFault([&] {
          setTraceLevel(0);
          MapMachine m;
          m.goTo(state);
          (m.*row.raise)();
        });
        EXPECT_EQ(out, kFaultLines);
        continue;
      }
      MapMachine m;
      setTraceLevel(0);
      m.goTo(state);
      ASSERT_EQ(m.currentState(), state);
      m.statesRun.clear();
      setTraceLevel(1);
      testing::internal::CaptureStderr();
      (m.*row.raise)();
      std::string trace = testing::internal::GetCapturedStderr();
      // Exactly one line: prefix, then the event line.
      ASSERT_GE(trace.size(), eventLine(row.name).size());
      EXPECT_EQ(trace.substr(trace.size() - eventLine(row.name).size()), eventLine(row.name));
      EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 1);
      if (expected == ign) {
        EXPECT_EQ(m.currentState(), state);
        EXPECT_TRUE(m.statesRun.empty());
      } else {
        EXPECT_EQ(m.currentState(), expected);
        EXPECT_EQ(m.statesRun, std::vector<uint8_t>{expected});
      }
    }
  }
  EXPECT_EQ(cells, 144);
}

TEST(LifeCycleMap, TheMachineStartsInBlackDotWithTwelveStates) {
  M machine;
  EXPECT_EQ(machine.currentState(), M::ST_BLACKDOT);
  EXPECT_EQ(machine.getStateCount(), 12);
}

}  // namespace
