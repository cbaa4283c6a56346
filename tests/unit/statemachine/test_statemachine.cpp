// The state machine engine: order of actions, ignored events, guards, faults, event data.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FaultProbe.h"
#include "StateMachine.h"

namespace {

int liveData = 0;  // event data objects alive
int deletedData = 0;

struct CountedData : EventData {
  CountedData() { ++liveData; }
  ~CountedData() override {
    --liveData;
    ++deletedData;
  }
};

class TestMachine;

// Actions record what ran; each knows the state number it belongs to.
struct RecordingState : StateBase {
  uint8_t number;
  explicit RecordingState(uint8_t n) : number(n) {}
  void invoke(StateMachine* sm, const EventData* data) const override;
};
struct RecordingEntry : EntryBase {
  uint8_t number;
  explicit RecordingEntry(uint8_t n) : number(n) {}
  void invoke(StateMachine* sm, const EventData* data) const override;
};
struct RecordingExit : ExitBase {
  uint8_t number;
  explicit RecordingExit(uint8_t n) : number(n) {}
  void invoke(StateMachine* sm) const override;
};
struct Guard : TransitionGuard {
  bool check(StateMachine* sm, const EventData* data) const override;
};

class TestMachine : public StateMachine {
 public:
  static constexpr uint8_t kStates = 4;
  TestMachine() : StateMachine(kStates, 0) {}

  void event(uint8_t target, EventData* data = nullptr) { raiseExternalEvent(target, data); }
  void request(uint8_t target, EventData* data = nullptr) { raiseInternalEvent(target, data); }
  void mapped(const uint8_t* transitions) { raiseMappedEvent(transitions); }

  std::vector<std::string> log;
  bool guardAnswer = true;
  int stateChain = -1;         // state action of state 1 requests this state once, when >= 0
  bool entryRequests = false;  // entry action of state 2 requests a transition
  bool requestTwice = false;   // state action of state 3 requests twice, the second wins
  std::atomic<bool> inState1{false};
  std::atomic<bool> releaseState1{true};
  bool usePlain = false;
  bool useNone = false;

 protected:
  const StateTableRow* getStateTable() override {
    static const RecordingState s0{0}, s1{1}, s2{2}, s3{3};
    static const StateTableRow plain[kStates] = {{&s0}, {&s1}, {&s2}, {&s3}};
    return usePlain ? plain : nullptr;
  }
  const ExtendedStateTableRow* getExtendedStateTable() override {
    static const RecordingState s0{0}, s1{1}, s2{2}, s3{3};
    static const RecordingEntry e1{1}, e2{2}, e3{3};
    static const RecordingExit x0{0}, x1{1}, x2{2};
    static const Guard guard;
    static const ExtendedStateTableRow table[kStates] = {
        {&s0, nullptr, nullptr, &x0},
        {&s1, nullptr, &e1, &x1},
        {&s2, nullptr, &e2, &x2},
        {&s3, &guard, &e3, nullptr},
    };
    return useNone ? nullptr : table;
  }
};

void RecordingState::invoke(StateMachine* sm, const EventData* data) const {
  auto* m = static_cast<TestMachine*>(sm);
  m->log.push_back("state " + std::to_string(number) + " in " + std::to_string(m->currentState()) +
                   (data ? "" : " null"));
  if (number == 1) {
    m->inState1 = true;
    while (!m->releaseState1) std::this_thread::yield();
  }
  if (number == 1 && m->stateChain >= 0) {
    uint8_t next = static_cast<uint8_t>(m->stateChain);
    m->stateChain = -1;
    m->request(next);
  }
  if (number == 3 && m->requestTwice) {
    m->requestTwice = false;
    m->request(1, new CountedData);
    m->request(2, new CountedData);
  }
}
void RecordingEntry::invoke(StateMachine* sm, const EventData*) const {
  auto* m = static_cast<TestMachine*>(sm);
  m->log.push_back("entry " + std::to_string(number) + " in " + std::to_string(m->currentState()));
  if (number == 2 && m->entryRequests) m->request(1);
}
void RecordingExit::invoke(StateMachine* sm) const {
  auto* m = static_cast<TestMachine*>(sm);
  m->log.push_back("exit " + std::to_string(number) + " in " + std::to_string(m->currentState()));
}
bool Guard::check(StateMachine* sm, const EventData*) const {
  auto* m = static_cast<TestMachine*>(sm);
  m->log.push_back("guard");
  return m->guardAnswer;
}

using Log = std::vector<std::string>;

TEST(StateMachineEngine, ExitEntryStateInOrderWithOldStateDuringExitAndEntry) {
  TestMachine m;
  m.event(1);
  EXPECT_EQ(m.log, (Log{"exit 0 in 0", "entry 1 in 0", "state 1 in 1"}));
  EXPECT_EQ(m.currentState(), 1);
}

TEST(StateMachineEngine, InternalEventRunsInTheSameLoop) {
  TestMachine m;
  m.stateChain = 2;
  m.event(1);
  EXPECT_EQ(m.log, (Log{"exit 0 in 0", "entry 1 in 0", "state 1 in 1", "exit 1 in 1", "entry 2 in 1",
                        "state 2 in 2"}));
  EXPECT_EQ(m.currentState(), 2);
}

TEST(StateMachineEngine, SelfTransitionRunsOnlyTheStateAction) {
  TestMachine m;
  m.event(1);
  m.log.clear();
  m.event(1);
  EXPECT_EQ(m.log, (Log{"state 1 in 1"}));
}

TEST(StateMachineEngine, IgnoredEventDeletesItsDataOnceAndRunsNothing) {
  TestMachine m;
  deletedData = 0;
  m.event(StateMachine::NO_TRANSITION, new CountedData);
  EXPECT_TRUE(m.log.empty());
  EXPECT_EQ(m.currentState(), 0);
  EXPECT_EQ(deletedData, 1);
  EXPECT_EQ(liveData, 0);
}

TEST(StateMachineEngine, EventDataIsHandedToActionsAndDeletedAfterwards) {
  TestMachine m;
  deletedData = 0;
  m.event(1, new CountedData);
  EXPECT_EQ(deletedData, 1);
  m.event(2);  // no data: the actions still get a plain EventData
  EXPECT_EQ(m.log.back(), "state 2 in 2");
  EXPECT_EQ(liveData, 0);
}

TEST(StateMachineEngine, GuardSayingNoCancelsTheTransitionAndDeletesTheData) {
  TestMachine m;
  m.guardAnswer = false;
  deletedData = 0;
  m.event(3, new CountedData);
  EXPECT_EQ(m.log, (Log{"guard"}));
  EXPECT_EQ(m.currentState(), 0);
  EXPECT_EQ(deletedData, 1);

  m.guardAnswer = true;
  m.log.clear();
  m.event(3);
  EXPECT_EQ(m.log, (Log{"guard", "exit 0 in 0", "entry 3 in 0", "state 3 in 3"}));
}

TEST(StateMachineEngine, SecondInternalRequestReplacesTheFirstWithoutLeakingItsData) {
  TestMachine m;
  deletedData = 0;
  m.requestTwice = true;
  m.event(3);
  EXPECT_EQ(m.currentState(), 2);
  EXPECT_EQ(deletedData, 2);
  EXPECT_EQ(liveData, 0);
}

TEST(StateMachineEngine, MappedEventWaitsForARunningChainAndIsJudgedByItsEnd) {
  TestMachine m;
  m.stateChain = 2;
  m.releaseState1 = false;
  std::thread start([&] { m.event(1); });  // runs 1, then (once released) 2
  while (!m.inState1) std::this_thread::yield();
  // Ignored in state 1, but leads from 2 to 3: raised while the chain still sits in state 1.
  const uint8_t transitions[TestMachine::kStates] = {StateMachine::NO_TRANSITION, StateMachine::NO_TRANSITION,
                                                     3, StateMachine::NO_TRANSITION};
  std::thread poster([&] { m.mapped(transitions); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  m.releaseState1 = true;
  start.join();
  poster.join();
  EXPECT_EQ(m.currentState(), 3);
}

TEST(StateMachineEngine, PlainTableRunsOnlyStateActions) {
  TestMachine m;
  m.usePlain = true;
  m.event(2);
  EXPECT_EQ(m.log, (Log{"state 2 in 2"}));
}

TEST(StateMachineEngine, FaultsEndInTheFaultHandler) {
  struct Case {
    const char* name;
    std::function<void()> body;
  };
  const std::vector<Case> cases = {
      {"invalid transition",
       [] {
         TestMachine m;
         m.event(StateMachine::INVALID_TRANSITION);
       }},
      {"state out of range",
       [] {
         TestMachine m;
         m.event(TestMachine::kStates);
       }},
      {"entry action requests a transition",
       [] {
         TestMachine m;
         m.entryRequests = true;
         m.event(2);
       }},
      {"no table",
       [] {
         TestMachine m;
         m.useNone = true;
         m.event(1);
       }},
      {"state count 254",
       [] {
         struct Big : StateMachine {
           Big() : StateMachine(254, 0) {}
           const StateTableRow* getStateTable() override { return nullptr; }
           const ExtendedStateTableRow* getExtendedStateTable() override { return nullptr; }
         } big;
       }},
      {"null data to a bound action",
       [] {
         struct Bound : TestMachine {
           void f(const EventData*) {}
         } b;
         StateAction<Bound, EventData, &Bound::f> action;
         action.invoke(&b, nullptr);
       }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runExpectingFault(c.body), kFaultLines) << c.name;
  }
}

}  // namespace
