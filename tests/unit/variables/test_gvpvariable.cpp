// GVPvariable: tree building, typed reads and writes, snapshots and change detection, and the
// live-object counter, over the in-process variable store.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "Trace.h"
#include "TraceLines.h"

namespace {

using Node = std::shared_ptr<GVPvariable>;

const char* kTree = R"({"variables": {
  "APPL.P.xBool":  {"type": "BOOL", "value": 1},
  "APPL.P.i8":     {"type": "SINT8", "value": -5},
  "APPL.P.i16":    {"type": "SINT16", "value": -300},
  "APPL.P.i32":    {"type": "SINT32", "value": -70000},
  "APPL.P.i64":    {"type": "SINT64", "value": -5000000000},
  "APPL.P.u8":     {"type": "UINT8", "value": 255},
  "APPL.P.u16":    {"type": "UINT16", "value": 65535},
  "APPL.P.u32":    {"type": "UINT32", "value": 4294967295},
  "APPL.P.u64":    {"type": "UINT64", "value": 18446744073709551615},
  "APPL.P.r":      {"type": "REAL", "value": 0.0},
  "APPL.P.lr":     {"type": "LREAL", "value": 2.5},
  "APPL.P.by":     {"type": "BYTE", "value": 7},
  "APPL.P.w":      {"type": "WORD", "value": 7},
  "APPL.P.dw":     {"type": "DWORD", "value": 7},
  "APPL.P.lw":     {"type": "LWORD", "value": 7},
  "APPL.P.t":      {"type": "TIME", "value": 7},
  "APPL.P.d":      {"type": "DATE", "value": 7},
  "APPL.P.tod":    {"type": "TIME_OF_DAY", "value": 7},
  "APPL.P.dt":     {"type": "DATE_AND_TIME", "value": 7},
  "APPL.P.k54":    {"type": 54, "value": 7},
  "APPL.P.k57":    {"type": 57, "value": 7},
  "APPL.P.s":      {"type": "STRING", "value": "hello"},
  "APPL.P.t20":    {"type": 20},
  "APPL.P.t23":    {"type": 23},
  "APPL.P.bad21":  {"type": 21},
  "APPL.P.st":     {"type": "STRUCT", "members": {
                     "a": {"type": "UINT16", "value": 1},
                     "b": {"type": "UINT16", "value": 2},
                     "c": {"type": "UINT16", "value": 3}}},
  "APPL.P.emptySt": {"type": "STRUCT", "members": {}},
  "APPL.P.emptyArr": {"type": "ARRAY", "elements": []},
  "APPL.P.arr":    {"type": "ARRAY", "elementType": "SINT32", "values": [10, 20, 30]},
  "APPL.P.nest":   {"type": "STRUCT", "members": {
                     "inner": {"type": "STRUCT", "members": {
                       "x": {"type": "REAL", "value": 1.0},
                       "y": {"type": "STRING", "value": "y"}}},
                     "recs": {"type": "ARRAY", "lowerBound": 1, "elements": [
                       {"type": "STRUCT", "members": {"v": {"type": "UINT8", "value": 1}}},
                       {"type": "STRUCT", "members": {"v": {"type": "UINT8", "value": 2}}}]},
                     "blanks": {"type": "ARRAY", "elements": [
                       {"type": "STRUCT", "members": {}},
                       {"type": "STRUCT", "members": {}}]}}}
}})";

class GVPvariableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kalpinproc::loadTree(kTree);
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    baseline = GVPvariable::getObjectCount();
  }
  void TearDown() override {
    GVPvariable::setMemberPause(std::chrono::milliseconds(10));
    EXPECT_EQ(GVPvariable::getObjectCount(), baseline) << "objects left alive";
  }

  static Node make(const std::string& name, bool shallow = false) {
    return std::make_shared<GVPvariable>("APPL.P.", name, shallow);
  }
  static Node child(const Node& node, const std::string& name) {
    for (const auto& c : node->getChildren()) {
      if (c->getName() == name) return c;
    }
    return nullptr;
  }
  static std::vector<std::string> names(const Node& node) {
    std::vector<std::string> result;
    for (const auto& c : node->getChildren()) result.push_back(c->getName());
    return result;
  }
  static std::vector<uint8_t> bytesOf(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + size);
  }

  uint64_t baseline = 0;
};

std::string errorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no error)";
}

// ---- building -------------------------------------------------------------------------------

TEST_F(GVPvariableTest, ConstructorErrorTextsAndNothingLeftBehind) {
  kalpinproc::loadTree(R"({"variables": {
    "APPL.E.u": {"type": "UINT32", "value": 1},
    "APPL.E.s": {"type": "STRING", "value": "x"},
    "APPL.E.t": {"type": "UINT8", "value": 1},
    "APPL.E.bad": {"type": 21},
    "APPL.E.dirFault": {"type": "STRUCT", "members": {"m": {"type": "BOOL", "value": 0}}},
    "APPL.E.walkFault": {"type": "STRUCT", "members": {"m": {"type": "BOOL", "value": 0}}},
    "APPL.E.member": {"type": "STRUCT", "members": {
      "ok": {"type": "BOOL", "value": 0},
      "m": {"type": "BOOL", "value": 0}}},
    "APPL.E.elem": {"type": "ARRAY", "elementType": "BOOL", "values": [0, 1]}
  }})");
  kalpinproc::setFault("APPL.E.u", "read", 0x81000003);
  kalpinproc::setFault("APPL.E.s", "read", 0x81000003);
  kalpinproc::setFault("APPL.E.t", "type", 0x81000005);
  kalpinproc::setFault("APPL.E.dirFault", "opendir", 0x81000504);
  kalpinproc::setFault("APPL.E.walkFault", "readdir", 0x81000003);
  kalpinproc::setFault("APPL.E.member.m", "open", 0x81000504);
  kalpinproc::setFault("APPL.E.elem[1]", "open", 0x81000002);
  const std::string count = std::to_string(GVPvariable::getObjectCount() + 1);
  // clang-format off
  const std::vector<std::vector<std::string>> cases = {
    // path       name         expected text
    {"APPL.E.",   "",          "GVPvariable::GVPvariable() called with empty name."},
    {"",          "",          "GVPvariable::GVPvariable() called with empty name."},
    {"",          "u",         "GVPvariable::GVPvariable() called with empty path"},
    {"APPL.E.",   "none",      "APPL.E.none open variable handle result is: 81000501"},
    {"APPL.E.",   "t",         "Get element type result is: 81000005"},
    {"APPL.E.",   "bad",       "GVPvariable constructor error: invalid or unknown GVP element type."},
    {"APPL.E.",   "u",         "KalpApiVarRead() of variable u's value failed with 0x81000003."},
    {"APPL.E.",   "s",         "KalpApiVarRead() of string variable failed."},
    {"APPL.E.",   "dirFault",  "GVPvariable::GVPvariable(): read directory failed with 0x81000504!"},
    {"APPL.E.",   "walkFault", "Cannot process element in Directory 'APPL.E.walkFault'. KalpApiVarReadDir() "
                               "returned 0x81000003. There are " + count + " GVPvariable objects."},
    {"APPL.E.",   "member",    "APPL.E.member.m open variable handle result is: 81000504"},
    {"APPL.E.",   "elem",      "APPL.E.elem[1] open variable handle result is: 81000002"},
  };
  // clang-format on
  const size_t handles = kalpinproc::openHandleCount();
  for (const auto& c : cases) {
    EXPECT_EQ(errorText([&] { GVPvariable node(c[0], c[1], false); }), c[2]) << c[0] << c[1];
    // A failed build is not counted and gives back every handle and walk it opened.
    EXPECT_EQ(GVPvariable::getObjectCount(), baseline) << c[1];
    EXPECT_EQ(kalpinproc::openHandleCount(), handles) << c[1];
    EXPECT_EQ(kalpinproc::openDirCount(), 0u) << c[1];
  }
}

TEST_F(GVPvariableTest, BuildsMembersInServerOrderWithPathsAndSeparators) {
  Node nest = make("nest");
  EXPECT_EQ(nest->getPath(), "APPL.P.");
  EXPECT_EQ(nest->getName(), "nest");
  EXPECT_EQ(nest->getType(), KALPAPI_TYPE_STRUCT);
  EXPECT_EQ(names(nest), (std::vector<std::string>{"inner", "recs", "blanks"}));
  Node inner = child(nest, "inner");
  EXPECT_EQ(inner->getPath(), "APPL.P.nest.");
  EXPECT_EQ(names(inner), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(child(inner, "y")->getPath(), "APPL.P.nest.inner.");
  Node recs = child(nest, "recs");
  EXPECT_EQ(recs->getType(), KALPAPI_TYPE_ARRAY);
  EXPECT_EQ(names(recs), (std::vector<std::string>{"[1]", "[2]"}));
  EXPECT_EQ(recs->getChildren()[1]->getPath(), "APPL.P.nest.recs");
  EXPECT_EQ(child(recs->getChildren()[1], "v")->getPath(), "APPL.P.nest.recs[2].");
  EXPECT_EQ(child(recs->getChildren()[1], "v")->readUint8(), 2);
  EXPECT_EQ(GVPvariable::getObjectCount(), baseline + 12);
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

TEST_F(GVPvariableTest, ShallowAndEmptyStructuredNodesHaveNoChildrenAndNoHandle) {
  const size_t handles = kalpinproc::openHandleCount();
  for (const char* name : {"st", "arr", "emptySt", "emptyArr"}) {
    Node node = make(name, /*shallow=*/std::string(name) == "st" || std::string(name) == "arr");
    EXPECT_TRUE(node->getChildren().empty()) << name;
    EXPECT_EQ(kalpinproc::openHandleCount(), handles) << name;
    EXPECT_EQ(kalpinproc::openDirCount(), 0u) << name;
  }
}

TEST_F(GVPvariableTest, ValuelessTypesChangeAtTheirFirstTestOnlyAlsoAsMembers) {
  for (const char* name : {"t20", "t23"}) {
    Node node = make(name);
    EXPECT_TRUE(node->getChildren().empty());
    EXPECT_TRUE(node->hasChanged()) << name;
    EXPECT_FALSE(node->hasChanged()) << name;
    Node out;
    EXPECT_FALSE(node->getChanged(out)) << name;
    EXPECT_EQ(out, node) << name << ": stands for itself, as a scalar does";
  }

  // A structure with such a member is tested like any other: the member never holds a change
  // test up, and only-changed keeps it out once it has been seen.
  kalpinproc::loadTree(R"({"variables": {"APPL.P.mixed": {"type": "STRUCT", "members": {
    "a": {"type": "UINT16", "value": 1}, "none": {"type": 20}, "b": {"type": "UINT16", "value": 2}}}}})");
  Node mixed = make("mixed");
  Node out;
  EXPECT_TRUE(mixed->getChanged(out));
  EXPECT_EQ(names(out), (std::vector<std::string>{"a", "none", "b"}));
  EXPECT_FALSE(mixed->hasChanged());
  kalpinproc::setText("APPL.P.mixed.b", "3");
  EXPECT_TRUE(mixed->getChanged(out));
  EXPECT_EQ(names(out), (std::vector<std::string>{"b"}));
}

TEST_F(GVPvariableTest, MemberWalkPausesTenMillisecondsPerMemberAndTwiceMore) {
  GVPvariable::setMemberPause(std::chrono::milliseconds(10));
  const auto start = std::chrono::steady_clock::now();
  Node st = make("st");  // three members: at least (3 + 2) pauses
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(st->getChildren().size(), 3u);
}

// ---- reads and writes -----------------------------------------------------------------------

TEST_F(GVPvariableTest, TypedReadsReturnTheStoredValue) {
  EXPECT_EQ(make("xBool")->readBool(), 1);
  EXPECT_EQ(make("i8")->readInt8(), -5);
  EXPECT_EQ(make("i16")->readInt16(), -300);
  EXPECT_EQ(make("i32")->readInt32(), -70000);
  EXPECT_EQ(make("i64")->readInt64(), -5000000000LL);
  EXPECT_EQ(make("u8")->readUint8(), 255);
  EXPECT_EQ(make("u16")->readUint16(), 65535);
  EXPECT_EQ(make("u32")->readUint32(), 4294967295u);
  EXPECT_EQ(make("u64")->readUint64(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(make("r")->readReal(), 0.0f);
  EXPECT_EQ(make("lr")->readLreal(), 2.5);
  EXPECT_EQ(make("s")->readString(), "hello");
  EXPECT_EQ(make("dt")->readUint64(), 7u);

  Node u32 = make("u32");
  kalpinproc::setFault("APPL.P.u32", "read", 0x81000003);
  EXPECT_EQ(errorText([&] { u32->readInt32(); }),
            "KalpApiVarRead() of variable u32's value failed with 0x81000003.");
}

TEST_F(GVPvariableTest, ReadStringOfALongerTextGivesItsFirst256Bytes) {
  kalpinproc::loadTree(R"({"variables": {
    "APPL.P.long": {"type": "STRING", "value": ")" +
                       std::string(300, 'a') + R"("}}})");
  Node text = make("long");
  EXPECT_EQ(text->readString(), std::string(256, 'a'));
  EXPECT_TRUE(text->hasChanged());
  EXPECT_FALSE(text->hasChanged());
}

TEST_F(GVPvariableTest, TypedWritesStoreExactlyTheValueBytes) {
  struct Case {
    const char* name;
    std::function<void(GVPvariable&)> write;
    std::vector<uint8_t> bytes;
  };
  const float real = -1.5f;
  const double lreal = 1e300;
  const uint64_t big = 0x0102030405060708ull;
  // clang-format off
  const std::vector<Case> cases = {
    {"xBool", [](GVPvariable& v) { v.writeBool(2); },           {2}},
    {"u8",    [](GVPvariable& v) { v.writeUint8(0x80); },       {0x80}},
    {"i8",    [](GVPvariable& v) { v.writeInt8(-2); },          {0xfe}},
    {"u16",   [](GVPvariable& v) { v.writeUint16(0x1234); },    {0x34, 0x12}},
    {"i16",   [](GVPvariable& v) { v.writeInt16(-2); },         {0xfe, 0xff}},
    {"u32",   [](GVPvariable& v) { v.writeUint32(0xdeadbeef); }, {0xef, 0xbe, 0xad, 0xde}},
    {"i32",   [](GVPvariable& v) { v.writeInt32(-1); },         {0xff, 0xff, 0xff, 0xff}},
    {"u64",   [&](GVPvariable& v) { v.writeUint64(big); },      {8, 7, 6, 5, 4, 3, 2, 1}},
    {"i64",   [](GVPvariable& v) { v.writeInt64(-2); },         {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    {"r",     [&](GVPvariable& v) { v.writeReal(real); },       bytesOf(&real, 4)},
    {"lr",    [&](GVPvariable& v) { v.writeLreal(lreal); },     bytesOf(&lreal, 8)},
    {"t",     [](GVPvariable& v) { v.writeUint64(12345); },     {0x39, 0x30, 0, 0, 0, 0, 0, 0}},
  };
  // clang-format on
  for (const auto& c : cases) {
    Node node = make(c.name);
    c.write(*node);
    EXPECT_EQ(kalpinproc::getRaw(std::string("APPL.P.") + c.name), c.bytes) << c.name;

    kalpinproc::setFault(std::string("APPL.P.") + c.name, "write", 0x81000504);
    EXPECT_EQ(errorText([&] { c.write(*node); }),
              std::string("KalpApiVarWrite() of basic variable ") + c.name + " failed.");
  }
}

TEST_F(GVPvariableTest, WriteStringWritesTheBytesAndAnEmptyTextAsOneNul) {
  Node s = make("s");
  s->writeString("hi");
  EXPECT_EQ(s->readString(), "hi");
  s->writeString("");  // one NUL: the variable holds the empty text
  EXPECT_EQ(s->readString(), "");
  EXPECT_TRUE(kalpinproc::getRaw("APPL.P.s").empty());

  kalpinproc::setFault("APPL.P.s", "write", 0x81000504);
  EXPECT_EQ(errorText([&] { s->writeString("x"); }),
            "KalpApiVarWrite() of basic variable s failed with 0x81000504.");
}

TEST_F(GVPvariableTest, WriteStringRefusesTextsBeyondOneWriteInsteadOfCuttingThem) {
  Node s = make("s");
  // 70000 bytes would go out with a byte count of 4464: refused, the variable keeps its text.
  EXPECT_EQ(errorText([&] { s->writeString(std::string(70000, 'z')); }),
            "KalpApiVarWrite() of basic variable s failed: text of 70000 bytes is longer than the "
            "65535 bytes one write can carry.");
  EXPECT_EQ(kalpinproc::getText("APPL.P.s"), "hello");
  EXPECT_NE(errorText([&] { s->writeString(std::string(65536, 'z')); }), "(no error)");
  // The largest text one write carries still goes out whole.
  s->writeString(std::string(65535, 'z'));
  EXPECT_EQ(kalpinproc::getRaw("APPL.P.s").size(), 65535u);
}

// ---- change detection ---------------------------------------------------------------------

TEST_F(GVPvariableTest, EveryScalarKindReportsItsFirstChangeThenOnlyRealChanges) {
  // Values at the top of their width (255, 65535, ...) wrap to a snapshot of 0.
  for (const char* name : {"xBool", "i8", "i16", "i32", "i64", "u8", "u16", "u32", "u64", "r",   "lr",
                           "by",    "w",  "dw",  "lw",  "t",   "d",  "tod", "dt",  "k54", "k57", "s"}) {
    Node node = make(name);
    EXPECT_TRUE(node->hasChanged()) << name;
    EXPECT_FALSE(node->hasChanged()) << name;
    Node out;
    EXPECT_FALSE(node->getChanged(out)) << name;
    EXPECT_EQ(out, node) << name << ": a scalar hands out itself";
  }
}

TEST_F(GVPvariableTest, ChangesAreRawBitComparisons) {
  struct Case {
    const char* name;
    std::vector<uint8_t> settle, next;
    bool changed;
  };
  const float plusZero = 0.0f, minusZero = -0.0f;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const double one = 1.0, nextOne = std::nextafter(1.0, 2.0);
  // clang-format off
  const std::vector<Case> cases = {
    // variable  value before          value after          changed
    {"xBool",    {1},                  {2},                 true},   // both TRUE, different byte
    {"r",        bytesOf(&plusZero, 4), bytesOf(&minusZero, 4), true},
    {"r",        bytesOf(&nan, 4),     bytesOf(&nan, 4),    false},  // same NaN bits
    {"lr",       bytesOf(&one, 8),     bytesOf(&nextOne, 8), true},
    {"i16",      {0xff, 0x00},         {0x00, 0xff},        true},
    {"u64",      {1, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0x80}, true},
  };
  // clang-format on
  for (const auto& c : cases) {
    const std::string path = std::string("APPL.P.") + c.name;
    kalpinproc::setRaw(path, c.settle);
    Node node = make(c.name);
    node->hasChanged();
    kalpinproc::setRaw(path, c.next);
    EXPECT_EQ(node->hasChanged(), c.changed) << c.name;
  }
}

TEST_F(GVPvariableTest, StringChangesByLengthOrBytes) {
  Node s = make("s");
  s->hasChanged();
  kalpinproc::setText("APPL.P.s", "hellO");
  EXPECT_TRUE(s->hasChanged());
  kalpinproc::setText("APPL.P.s", "hellO!");
  EXPECT_TRUE(s->hasChanged());
  kalpinproc::setText("APPL.P.s", "hellO!");
  EXPECT_FALSE(s->hasChanged());
}

TEST_F(GVPvariableTest, OwnWritesAreReportedAtTheNextTest) {
  Node u16 = make("u16");
  u16->hasChanged();
  u16->writeUint16(1);
  EXPECT_TRUE(u16->hasChanged());
  EXPECT_FALSE(u16->hasChanged());
}

TEST_F(GVPvariableTest, StructuredChangeTestVisitsEveryMember) {
  Node st = make("st");
  EXPECT_TRUE(st->hasChanged());
  EXPECT_FALSE(st->hasChanged());
  kalpinproc::setText("APPL.P.st.a", "10");
  kalpinproc::setText("APPL.P.st.c", "30");
  EXPECT_TRUE(st->hasChanged());
  // Both changed members were refreshed, not only the first.
  EXPECT_FALSE(child(st, "a")->hasChanged());
  EXPECT_FALSE(child(st, "c")->hasChanged());
  EXPECT_FALSE(make("emptySt")->hasChanged());
}

TEST_F(GVPvariableTest, ReadFailureMidTreeRefreshesOnlyTheMembersVisitedBeforeIt) {
  for (bool reduced : {false, true}) {
    Node st = make("st");
    st->hasChanged();
    kalpinproc::setText("APPL.P.st.a", reduced ? "100" : "10");
    kalpinproc::setText("APPL.P.st.c", reduced ? "300" : "30");
    kalpinproc::setFault("APPL.P.st.b", "read", 0x81000003);
    Node out;
    const std::string text = errorText([&] { reduced ? st->getChanged(out) : st->hasChanged(); });
    EXPECT_EQ(text, "KalpApiVarRead() of variable b's value failed with 0x81000003.");
    EXPECT_EQ(out, nullptr);
    kalpinproc::setFault("APPL.P.st.b", "read", 0);
    EXPECT_FALSE(child(st, "a")->hasChanged()) << "a was visited before b";
    EXPECT_TRUE(child(st, "c")->hasChanged()) << "c was not reached";
  }
}

TEST_F(GVPvariableTest, GetChangedOfStructKeepsOnlyChangedMembers) {
  Node st = make("st");
  st->hasChanged();
  const uint64_t before = GVPvariable::getObjectCount();

  kalpinproc::setText("APPL.P.st.a", "11");
  kalpinproc::setText("APPL.P.st.c", "33");
  Node out;
  EXPECT_TRUE(st->getChanged(out));
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, st) << "a struct hands out a copy";
  EXPECT_EQ(out->getName(), "st");
  EXPECT_EQ(out->getPath(), "APPL.P.");
  EXPECT_EQ(out->getType(), KALPAPI_TYPE_STRUCT);
  ASSERT_EQ(out->getChildren().size(), 2u);
  EXPECT_EQ(out->getChildren()[0], child(st, "a")) << "members are shared, not copied";
  EXPECT_EQ(out->getChildren()[1], child(st, "c"));
  EXPECT_EQ(st->getChildren().size(), 3u) << "the original keeps its members";
  EXPECT_EQ(GVPvariable::getObjectCount(), before + 1) << "the copy is counted";
  EXPECT_FALSE(child(st, "c")->hasChanged()) << "every member was refreshed";

  // Nothing changed: false, and still a copy, with no members.
  EXPECT_FALSE(st->getChanged(out));
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->getChildren().empty());
  EXPECT_EQ(GVPvariable::getObjectCount(), before + 1) << "the first copy is gone";
  out.reset();
  EXPECT_EQ(GVPvariable::getObjectCount(), before);
}

TEST_F(GVPvariableTest, GetChangedOfArrayKeepsEveryElement) {
  Node arr = make("arr");
  arr->hasChanged();
  kalpinproc::setText("APPL.P.arr[1]", "21");
  Node out;
  EXPECT_TRUE(arr->getChanged(out));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->getType(), KALPAPI_TYPE_ARRAY);
  EXPECT_EQ(out->getChildren(), arr->getChildren());

  EXPECT_FALSE(arr->getChanged(out));
  EXPECT_EQ(out->getChildren().size(), 3u);
}

TEST_F(GVPvariableTest, EmptyStructuredNodesLeaveOutUntouched) {
  Node sentinel = make("u8");
  for (const char* name : {"emptySt", "emptyArr"}) {
    Node node = make(name);
    Node out = sentinel;
    EXPECT_FALSE(node->getChanged(out)) << name;
    EXPECT_EQ(out, sentinel) << name;
  }
}

TEST_F(GVPvariableTest, GetChangedReducesNestedTrees) {
  Node nest = make("nest");
  nest->hasChanged();
  kalpinproc::setText("APPL.P.nest.recs[2].v", "9");
  Node out;
  EXPECT_TRUE(nest->getChanged(out));
  ASSERT_NE(out, nullptr);
  // Only the array changed; it keeps both records, each in its reduced form.
  ASSERT_EQ(names(out), (std::vector<std::string>{"recs"}));
  Node recs = out->getChildren()[0];
  ASSERT_EQ(names(recs), (std::vector<std::string>{"[1]", "[2]"}));
  EXPECT_TRUE(recs->getChildren()[0]->getChildren().empty());
  EXPECT_EQ(names(recs->getChildren()[1]), (std::vector<std::string>{"v"}));
  EXPECT_EQ(recs->getChildren()[1]->getChildren()[0]->readUint8(), 9);
}

TEST_F(GVPvariableTest, ArrayOfMemberlessElementsKeepsThemAsThemselves) {
  Node blanks = child(make("nest"), "blanks");
  Node out;
  EXPECT_FALSE(blanks->getChanged(out));
  ASSERT_NE(out, nullptr);
  // No element may be an empty reference: the codec walks every one.
  EXPECT_EQ(out->getChildren(), blanks->getChildren());
}

TEST_F(GVPvariableTest, GetChangedOnNodeNotOwnedBySharedPtrThrowsBadWeakPtr) {
  GVPvariable onStack("APPL.P.", "u16", false);
  Node out;
  EXPECT_THROW(onStack.getChanged(out), std::bad_weak_ptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(onStack.hasChanged()) << "the failed call left the snapshot alone";
}

// ---- live-object counter ------------------------------------------------------------------

TEST_F(GVPvariableTest, CounterStaysExactUnderConcurrentCopiesAndBuilds) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<Node> trees;
  for (int i = 0; i < kThreads; ++i) trees.push_back(make("st"));
  const uint64_t before = GVPvariable::getObjectCount();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&trees, i] {
      Node out;
      for (int round = 0; round < kRounds; ++round) {
        trees[i]->getChanged(out);  // a new copy each round, the last one released
        if (round % 10 == 0) make("u8");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(GVPvariable::getObjectCount(), before);
}

// ---- destructor ---------------------------------------------------------------------------

TEST_F(GVPvariableTest, FailedCloseInDestructorIsTracedNotThrown) {
  const uint32_t level = traceLevel.load();
  setTraceLevel(1);
  Node u16 = make("u16");
  kalpinproc::loadTree(kTree);  // every handle of the old tree is gone
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(u16.reset());
  const std::string trace = ::testing::internal::GetCapturedStderr();
  setTraceLevel(level);
  EXPECT_NE(trace.find("| GVPvariable u16 destructor error: KalpApiVarCloseHdl() returned 0x"),
            std::string::npos)
      << trace;
  EXPECT_EQ(trace.back(), '\n');
}

TEST_F(GVPvariableTest, ReleaseAfterAServerRestartTracesOneSummaryLine) {
  const uint32_t level = traceLevel.load();
  for (const uint32_t summaryLevel : {2u, 1u}) {
    SCOPED_TRACE(summaryLevel);
    setTraceLevel(summaryLevel);
    // Five handles: two scalars and the three members of the struct (which holds none itself).
    std::vector<Node> nodes = {make("u16"), make("st"), make("s")};
    kalpinproc::loadTree(kTree);  // every handle of the old tree is gone
    ::testing::internal::CaptureStderr();
    {
      GVPvariable::ReleaseSummary summary;
      nodes.clear();
    }
    const std::vector<std::string> lines = traceBodies(::testing::internal::GetCapturedStderr());
    if (summaryLevel == 2) {
      EXPECT_EQ(lines,
                std::vector<std::string>{"released 5 variable handles that ended with an earlier variable "
                                         "server (KalpApiVarCloseHdl() returned 0x81000002)."});
    } else {
      EXPECT_TRUE(lines.empty()) << lines.front();
    }
  }
  // Handles that close normally leave the summary silent.
  setTraceLevel(2);
  Node u8 = make("u8");
  ::testing::internal::CaptureStderr();
  {
    GVPvariable::ReleaseSummary summary;
    u8.reset();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  setTraceLevel(level);
}

}  // namespace

namespace {

// A deadband test: the published value, the value read at the test, and whether it counts as
// changed, for REAL and LREAL alike.
struct DeadbandCase {
  double published, current;
  bool changed;
};

}  // namespace

TEST_F(GVPvariableTest, DeadbandComparesWithThePublishedValueByItsRules) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // clang-format off
  const std::vector<DeadbandCase> cases = {
    // published  current  changed       (band 0.5)
    {2.5,        2.75,    false},
    {2.5,        3.0,     false},      // exactly the band away: not beyond it
    {2.5,        3.25,    true},
    {2.5,        1.75,    true},
    {0.0,        -0.0,    false},      // the sign of zero is no change
    {nan,        nan,     false},
    {nan,        2.5,     true},
    {2.5,        nan,     true},
    {inf,        inf,     false},
    {inf,        -inf,    true},
    {2.5,        inf,     true},
    {inf,        1e30,    true},
  };
  // clang-format on
  for (const char* name : {"r", "lr"}) {
    const bool real = std::string(name) == "r";
    const std::string path = std::string("APPL.P.") + name;
    auto store = [&](double value) {
      const float single = static_cast<float>(value);
      kalpinproc::setRaw(path, real ? bytesOf(&single, 4) : bytesOf(&value, 8));
    };
    for (const DeadbandCase& c : cases) {
      Node node = make(name);
      node->setDeadband(0.5);
      store(c.published);
      EXPECT_TRUE(node->hasChanged()) << "never published: a change";
      node->markPublished();
      store(c.current);
      EXPECT_EQ(node->hasChanged(), c.changed) << name << " " << c.published << " -> " << c.current;
      // The reference stays the published value: testing again gives the same answer.
      EXPECT_EQ(node->hasChanged(), c.changed) << name << " " << c.published << " -> " << c.current;
    }
  }
  // Other types keep the exact comparison; a structure hands the band to its REAL members.
  Node u32 = make("u32");
  u32->setDeadband(1000);
  u32->hasChanged();
  u32->markPublished();
  kalpinproc::setRaw("APPL.P.u32", {1, 0, 0, 0});
  EXPECT_TRUE(u32->hasChanged());
}
