// Payload codec: variable trees to JSON and JSON payloads into variables, over the in-process
// variable store.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "GVPvariable.h"
#include "KalpInproc.h"
#include "PayloadCodec.h"
#include "Trace.h"

namespace {

using Node = std::shared_ptr<GVPvariable>;
using Bytes = std::vector<uint8_t>;

// Every top-level member below APPL.C. is one variable of the tests.
const char* kTree = R"({"variables": {
  "APPL.C.xOn":    {"type": "BOOL", "value": 0},
  "APPL.C.i8":     {"type": "SINT8", "value": 1},
  "APPL.C.i16":    {"type": "SINT16", "value": 1},
  "APPL.C.i32":    {"type": "SINT32", "value": 1},
  "APPL.C.i64":    {"type": "SINT64", "value": 1},
  "APPL.C.u8":     {"type": "UINT8", "value": 1},
  "APPL.C.u16":    {"type": "UINT16", "value": 1},
  "APPL.C.u32":    {"type": "UINT32", "value": 1},
  "APPL.C.u64":    {"type": "UINT64", "value": 1},
  "APPL.C.by":     {"type": "BYTE", "value": 1},
  "APPL.C.w":      {"type": "WORD", "value": 1},
  "APPL.C.dw":     {"type": "DWORD", "value": 1},
  "APPL.C.lw":     {"type": "LWORD", "value": 1},
  "APPL.C.k54":    {"type": 54, "value": 1},
  "APPL.C.k57":    {"type": 57, "value": 1},
  "APPL.C.rSpeed": {"type": "REAL", "value": 1.0},
  "APPL.C.lr":     {"type": "LREAL", "value": 1.0},
  "APPL.C.t":      {"type": "TIME", "value": 4294967301},
  "APPL.C.d":      {"type": "DATE", "value": 1},
  "APPL.C.tod":    {"type": "TIME_OF_DAY", "value": 1},
  "APPL.C.dt":     {"type": "DATE_AND_TIME", "value": 1},
  "APPL.C.s":      {"type": "STRING", "value": "init"},
  "APPL.C.t20":    {"type": 20},
  "APPL.C.t23":    {"type": 23},
  "APPL.C.aTemp":  {"type": "ARRAY", "elementType": "SINT16", "values": [100, 101, 102]},
  "APPL.C.aOne":   {"type": "ARRAY", "lowerBound": 1, "elementType": "SINT16", "values": [1, 2, 3]},
  "APPL.C.aEmpty": {"type": "ARRAY", "elements": []},
  "APPL.C.aa":     {"type": "ARRAY", "elements": [
                     {"type": "ARRAY", "elementType": "SINT16", "values": [1, 2]},
                     {"type": "ARRAY", "lowerBound": 5, "elementType": "SINT16", "values": [3, 4]}]},
  "APPL.C.aStr":   {"type": "ARRAY", "elementType": "STRING", "values": ["a", "b", "c", "d"]},
  "APPL.C.recs":   {"type": "ARRAY", "elements": [
                     {"type": "STRUCT", "members": {"v": {"type": "UINT8", "value": 1}}},
                     {"type": "STRUCT", "members": {"v": {"type": "UINT8", "value": 2}}}]},
  "APPL.C.st":     {"type": "STRUCT", "members": {
                     "xa": {"type": "UINT8", "value": 1}, "yb": {"type": "UINT8", "value": 2}}},
  "APPL.C.big":    {"type": "STRUCT", "members": {"x99999999999999999999y": {"type": "UINT8", "value": 1}}},
  "APPL.C.empty":  {"type": "STRUCT", "members": {}},
  "APPL.C.Motor":  {"type": "STRUCT", "members": {
                     "xOn": {"type": "BOOL", "value": 1},
                     "rSpeed": {"type": "LREAL", "value": 1.5},
                     "aTemp": {"type": "ARRAY", "elementType": "SINT16", "values": [20, 21, -3]},
                     "sName": {"type": "STRING", "value": "M1"}}}
}})";

template <typename T>
Bytes bytesOf(T value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes raw(const std::string& name) { return kalpinproc::getRaw("APPL.C." + name); }

std::vector<int16_t> int16s(const std::string& array, const std::vector<std::string>& elements) {
  std::vector<int16_t> values;
  for (const auto& element : elements) {
    int16_t value;
    const Bytes bytes = raw(array + element);
    std::memcpy(&value, bytes.data(), sizeof value);
    values.push_back(value);
  }
  return values;
}

// Lines traced while action runs at the given level (prefix stripped).
std::vector<std::string> tracedLines(uint32_t level, const std::function<void()>& action) {
  const uint32_t previous = traceLevel.load();
  setTraceLevel(level);
  testing::internal::CaptureStderr();
  try {
    action();
  } catch (...) {
    testing::internal::GetCapturedStderr();
    setTraceLevel(previous);
    throw;
  }
  const std::string captured = testing::internal::GetCapturedStderr();
  setTraceLevel(previous);
  std::vector<std::string> lines;
  std::istringstream in(captured);
  for (std::string line; std::getline(in, line);) {
    const size_t bar = line.find("| ");
    lines.push_back(bar == std::string::npos ? line : line.substr(bar + 2));
  }
  return lines;
}

class CodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    kalpinproc::loadTree(kTree);
  }
  void TearDown() override { GVPvariable::setMemberPause(std::chrono::milliseconds(10)); }

  static Node var(const std::string& name) { return std::make_shared<GVPvariable>("APPL.C.", name, false); }

  static std::string encode(const std::vector<Node>& variables) {
    rapidjson::StringBuffer buffer;
    buffer.Put('x');  // toJSON clears what was there
    toJSON(variables, buffer);
    return std::string(buffer.GetString(), buffer.GetSize());
  }

  // Every top-level variable of the tree, in a fixed order.
  static std::vector<Node> all() {
    std::vector<Node> nodes;
    for (const char* name :
         {"xOn", "i8",  "i16",   "i32",  "i64",    "u8", "u16",  "u32", "u64", "by",    "w",
          "dw",  "lw",  "k54",   "k57",  "rSpeed", "lr", "t",    "d",   "tod", "dt",    "s",
          "t20", "t23", "aTemp", "aOne", "aEmpty", "aa", "recs", "st",  "big", "empty", "Motor"}) {
      nodes.push_back(var(name));
    }
    return nodes;
  }
};

// ---- variable tree to JSON -------------------------------------------------------------------

TEST_F(CodecTest, EncodesTheMotorExampleByteForByte) {
  EXPECT_EQ(
      encode({var("Motor")}),
      R"({"Motor":{"xOn":true,"rSpeed":1.5,"aTemp":[20,21,-3],"LowerBound_aTemp":0,"UpperBound_aTemp":2,)"
      R"("sName":"M1"}})");
  EXPECT_EQ(encode({}), "{}");
  EXPECT_EQ(encode({var("empty"), var("xOn")}), R"({"empty":{},"xOn":false})");
}

TEST_F(CodecTest, EncodesEveryScalarKindExactly) {
  struct Case {
    const char* name;
    Bytes value;
    const char* json;
  };
  const float inf = std::numeric_limits<float>::infinity();
  // clang-format off
  const std::vector<Case> cases = {
    {"xOn",    bytesOf<uint8_t>(2),                    "true"},
    {"xOn",    bytesOf<uint8_t>(0),                    "false"},
    {"i8",     bytesOf<int8_t>(-128),                  "-128"},
    {"i16",    bytesOf<int16_t>(-32768),               "-32768"},
    {"i32",    bytesOf<int32_t>(INT32_MIN),            "-2147483648"},
    {"i64",    bytesOf<int64_t>(INT64_MIN),            "-9223372036854775808"},
    {"u8",     bytesOf<uint8_t>(255),                  "255"},
    {"by",     bytesOf<uint8_t>(171),                  "171"},
    {"u16",    bytesOf<uint16_t>(65535),               "65535"},
    {"w",      bytesOf<uint16_t>(4660),                "4660"},
    {"u32",    bytesOf<uint32_t>(UINT32_MAX),          "4294967295"},
    {"dw",     bytesOf<uint32_t>(3735928559u),         "3735928559"},
    {"u64",    bytesOf<uint64_t>(UINT64_MAX),          "18446744073709551615"},
    {"lw",     bytesOf<uint64_t>(81985529216486895u),  "81985529216486895"},
    {"k54",    bytesOf<uint64_t>(UINT64_MAX - 1),      "18446744073709551614"},
    {"k57",    bytesOf<uint64_t>(7),                   "7"},
    {"t",      bytesOf<uint64_t>(0x100000005u),        "5"},           // low 32 bits only
    {"dt",     bytesOf<uint64_t>(UINT64_MAX),          "4294967295"},
    {"rSpeed", bytesOf<float>(0.1f),                   "0.10000000149011612"},
    {"rSpeed", bytesOf<float>(1.0f),                   "1.0"},
    {"rSpeed", bytesOf<float>(FLT_MAX),                "3.4028234663852886e38"},
    {"rSpeed", bytesOf<float>(-0.0f),                  "-0.0"},
    {"rSpeed", bytesOf<float>(inf),                    "null"},
    {"lr",     bytesOf<double>(1e-7),                  "1e-7"},
    {"lr",     bytesOf<double>(1.5e-7),                "1.5e-7"},
    {"lr",     bytesOf<double>(0.000001),              "0.000001"},
    {"lr",     bytesOf<double>(1e21),                  "1e21"},
    {"lr",     bytesOf<double>(1e22),                  "1e22"},
    {"lr",     bytesOf<double>(123456789012345678901.0), "123456789012345680000.0"},
    {"lr",     bytesOf<double>(-1234.5),               "-1234.5"},
    {"lr",     bytesOf<double>(5e-324),                "5e-324"},
    {"lr",     bytesOf<double>(DBL_MAX),               "1.7976931348623157e308"},
    // RapidJSON's own conversion would write ...628e175 here: one digit longer than needed.
    {"lr",     bytesOf<double>(-2.0203875408674627e175), "-2.0203875408674627e175"},
    {"lr",     bytesOf<double>(std::nan("")),          "null"},
    {"lr",     bytesOf<double>(-std::numeric_limits<double>::infinity()), "null"},
    {"s",      textBytes("q\"\\\b\f\n\r\t\x01\x1f\x7f\xc3\xa4/"),
                                                       "\"q\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001F\x7f\xc3\xa4/\""},
    {"s",      textBytes(std::string(300, 'x')),       nullptr},       // cut at 256 bytes
    {"s",      textBytes(""),                          "\"\""},
  };
  // clang-format on
  for (const auto& c : cases) {
    kalpinproc::setRaw(std::string("APPL.C.") + c.name, c.value);
    const std::string json = c.json ? c.json : "\"" + std::string(256, 'x') + "\"";
    const std::string payload = encode({var(c.name)});
    EXPECT_EQ(payload, std::string("{\"") + c.name + "\":" + json + "}") << c.name;
    rapidjson::Document document;
    EXPECT_FALSE(document.Parse(payload.c_str()).HasParseError()) << payload;
  }
}

TEST_F(CodecTest, ValuesWithoutJsonFormAreNullAndUnknownTypesAreTraced) {
  std::string payload;
  auto lines = tracedLines(2, [&] { payload = encode({var("t20"), var("aEmpty"), var("t23"), var("xOn")}); });
  EXPECT_EQ(payload, R"({"t20":null,"aEmpty":null,"t23":null,"xOn":false})");
  EXPECT_EQ(lines, (std::vector<std::string>{"nodeToJSON(): Type no. 0x14 is not implemented, yet.",
                                             "nodeToJSON(): Type no. 0x17 is not implemented, yet."}));
  EXPECT_TRUE(tracedLines(1, [&] { encode({var("t20")}); }).empty());
}

TEST_F(CodecTest, EncodesArraysWithTheirBounds) {
  EXPECT_EQ(encode({var("aOne")}), R"({"aOne":[1,2,3],"LowerBound_aOne":1,"UpperBound_aOne":3})");
  EXPECT_EQ(encode({var("recs")}), R"({"recs":[{"v":1},{"v":2}],"LowerBound_recs":0,"UpperBound_recs":1})");
  // Inside an array, an inner array's bound members come out as a string and a number.
  EXPECT_EQ(
      encode({var("aa")}),
      R"({"aa":[[1,2],"LowerBound_[0]",0,"UpperBound_[0]",1,[3,4],"LowerBound_[1]",5,"UpperBound_[1]",6],)"
      R"("LowerBound_aa":0,"UpperBound_aa":1})");
}

// Whether text is one JSON value in valid UTF-8, by RapidJSON's strict, validating parser.
bool isStrictUtf8Json(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
  return !document.HasParseError();
}

TEST_F(CodecTest, StringsComeOutAsValidUtf8) {
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
    // STRING bytes                      JSON string written
    {"plain ASCII",                      "plain ASCII"},
    {"\xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80"},   // 2, 3, 4 bytes
    {"a\x80z",                          "a\xef\xbf\xbdz"},                      // lone continuation byte
    {"a\xe2\x82z",                     "a\xef\xbf\xbdz"},                      // truncated sequence: one U+FFFD
    {"a\xf0\x9f\x98",                 "a\xef\xbf\xbd"},                       // truncated at the end
    {"\xc0\xaf",                       "\xef\xbf\xbd\xef\xbf\xbd"},             // overlong "/"
    {"\xe0\x80\xaf",                  "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}, // overlong, 3 bytes
    {"\xed\xa0\x80",                  "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}, // surrogate
    {"\xf4\x90\x80\x80",             "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}, // above U+10FFFF
    {"\xb0" "C",                        "\xef\xbf\xbd" "C"},                    // Latin-1 degree sign
    {"\xef\xbf\xbd\xff\n\"",       "\xef\xbf\xbd\xef\xbf\xbd\\n\\\""},   // escapes as before
    // Long ASCII texts are copied eight bytes at a time; one byte that needs an escape, or is
    // not ASCII, anywhere in them still gets its own form.
    {"0123456789abcdef/~\x7f",           "0123456789abcdef/~\x7f"},
    {"0123456\"89abcdef",                "0123456\\\"89abcdef"},
    {"01234567\\9abcdef",               "01234567\\\\9abcdef"},
    {"0123456789abcde\x1f",              "0123456789abcde\\u001F"},
    {"0123456789abcdef\t",               "0123456789abcdef\\t"},
    {"0123\xc3\xa4" "6789abcdef",        "0123\xc3\xa4" "6789abcdef"},
    {"01234567\xb0" "9abcdef",           "01234567\xef\xbf\xbd" "9abcdef"},
  };
  // clang-format on
  for (const auto& [stored, written] : cases) {
    SCOPED_TRACE(stored);
    kalpinproc::setRaw("APPL.C.s", textBytes(stored));
    const std::string payload = encode({var("s")});
    EXPECT_EQ(payload, "{\"s\":\"" + written + "\"}");
    EXPECT_TRUE(isStrictUtf8Json(payload));
  }
}

TEST_F(CodecTest, Latin1StringsAreConvertedBothWays) {
  setStringEncoding(StringEncoding::kLatin1);
  kalpinproc::setRaw("APPL.C.s", textBytes("\xb0"
                                           "C \xe4\xff"));
  const std::string payload = encode({var("s")});
  EXPECT_EQ(payload,
            "{\"s\":\"\xc2\xb0"
            "C \xc3\xa4\xc3\xbf\"}");
  EXPECT_TRUE(isStrictUtf8Json(payload));

  const std::vector<Node> nodes = {var("s")};
  kalpinproc::setRaw("APPL.C.s", textBytes("x"));
  EXPECT_TRUE(tracedLines(4, [&] { payloadToVariables(payload, nodes); }).empty());
  EXPECT_EQ(raw("s"), textBytes("\xb0"
                                "C \xe4\xff"));
  // Outside Latin-1: "?" for each character (and for bytes that are not UTF-8), traced once.
  EXPECT_EQ(
      tracedLines(4, [&] { payloadToVariables("{\"s\":\"20\xe2\x82\xac \\ud83d\\ude00 \xff\"}", nodes); }),
      std::vector<std::string>{"JSONvalueintoIECnode(): character outside Latin-1 written as \"?\"."});
  EXPECT_EQ(raw("s"), textBytes("20? ? ?"));
  setStringEncoding(StringEncoding::kUtf8);

  // By default a received string is written as it arrives.
  payloadToVariables(
      "{\"s\":\"\xc2\xb0"
      "C\"}",
      nodes);
  EXPECT_EQ(raw("s"), textBytes("\xc2\xb0"
                                "C"));
}

TEST_F(CodecTest, ReadFailuresPassThroughTheEncoder) {
  const Node motor = var("Motor");
  kalpinproc::setFault("APPL.C.Motor.rSpeed", "read", 0x81000002);
  try {
    encode({motor});
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "KalpApiVarRead() of variable rSpeed's value failed with 0x81000002.");
  }
}

// ---- one read per scalar: the change test's snapshot is the payload's source ------------------

TEST_F(CodecTest, SnapshotPayloadsAreWhatTheChangeTestReadWithoutReadingAgain) {
  // Every kind: after a change test, the payload from the snapshots is byte for byte the one a
  // fresh read gives.
  const std::vector<Node> tested = all();
  for (const Node& node : tested) {
    try {
      node->hasChanged();
    } catch (const std::runtime_error&) {
      // a node without a value of its own has nothing to test
    }
  }
  rapidjson::StringBuffer fromSnapshots;
  snapshotToJSON(tested, fromSnapshots);
  EXPECT_EQ(std::string(fromSnapshots.GetString(), fromSnapshots.GetSize()), encode(all()));

  // The race of two reads: the change test sees 703, the variable then becomes 704. The payload
  // holds 703, reads nothing (a read would fail now), and the next test reports 704 as a change.
  const Node counter = var("u32");
  kalpinproc::setRaw("APPL.C.u32", bytesOf<uint32_t>(703));
  EXPECT_TRUE(counter->hasChanged());
  kalpinproc::setRaw("APPL.C.u32", bytesOf<uint32_t>(704));
  kalpinproc::setFault("APPL.C.u32", "read", 0x81000003);
  rapidjson::StringBuffer payload;
  snapshotToJSON({counter}, payload);
  EXPECT_STREQ(payload.GetString(), R"({"u32":703})");
  kalpinproc::setFault("APPL.C.u32", "read", 0);
  EXPECT_TRUE(counter->hasChanged());
  snapshotToJSON({counter}, payload);
  EXPECT_STREQ(payload.GetString(), R"({"u32":704})");

  // A payload read now is the snapshot as well: what was published is not a change.
  EXPECT_EQ(encode({counter}), R"({"u32":704})");
  EXPECT_FALSE(counter->hasChanged());
  kalpinproc::setRaw("APPL.C.u32", bytesOf<uint32_t>(705));
  EXPECT_EQ(encode({counter}), R"({"u32":705})");
  EXPECT_FALSE(counter->hasChanged());
}

// A structure with a member that has no JSON form: the change test passes over the member as the
// encoder does, so an on-change set over it publishes like a cyclic one (the member as null).
TEST_F(CodecTest, MembersWithoutJsonFormAreNullInChangeTestedPayloadsToo) {
  kalpinproc::loadTree(R"({"variables": {"APPL.C.mix": {"type": "STRUCT", "members": {
    "a": {"type": "UINT8", "value": 1}, "none": {"type": 20}, "arr": {"type": "ARRAY", "elements": [
      {"type": 23}, {"type": "UINT8", "value": 5}]}}}}})");
  const Node mix = var("mix");
  const std::string whole = R"({"mix":{"a":1,"none":null,"arr":[null,5],"LowerBound_arr":0,"UpperBound_arr":1}})";
  EXPECT_EQ(encode({mix}), whole);  // the cyclic set's payload

  const Node onlyChanged = var("mix");
  Node out;
  ASSERT_TRUE(onlyChanged->getChanged(out));
  rapidjson::StringBuffer payload;
  snapshotToJSON({out}, payload);
  EXPECT_EQ(std::string(payload.GetString()), whole);
  kalpinproc::setRaw("APPL.C.mix.a", bytesOf<uint8_t>(2));
  ASSERT_TRUE(onlyChanged->getChanged(out));
  snapshotToJSON({out}, payload);
  EXPECT_STREQ(payload.GetString(), R"({"mix":{"a":2}})");

  const Node onChange = var("mix");
  ASSERT_TRUE(onChange->hasChanged());
  snapshotToJSON({onChange}, payload);
  EXPECT_EQ(std::string(payload.GetString()),
            R"({"mix":{"a":2,"none":null,"arr":[null,5],"LowerBound_arr":0,"UpperBound_arr":1}})");
  EXPECT_FALSE(onChange->hasChanged());
}

// ---- JSON to variable tree -------------------------------------------------------------------

TEST_F(CodecTest, WritesAcceptedKindsAndTracesMismatches) {
  struct Case {
    const char* payload;
    const char* name;            // variable to look at
    std::optional<Bytes> value;  // expected bytes; nullopt: unchanged
    const char* trace;           // expected level-4 line, nullptr for none
  };
  const float realLimit = static_cast<float>(3.4028234e+38);
  // clang-format off
  const std::vector<Case> cases = {
    {R"({"xOn":true})",                   "xOn",    bytesOf<uint8_t>(1), nullptr},
    {R"({"xOn":1})",                      "xOn",    std::nullopt, "JSONvalueintoIECnode(): type mismatch: bool expected."},
    {R"({"xOn":null})",                   "xOn",    std::nullopt, "JSONvalueintoIECnode(): type mismatch: bool expected."},
    {R"({"i8":300})",                     "i8",     std::nullopt, "JSONvalueintoIECnode(): value out of range: SINT8 expected."},
    {R"({"i8":2147483648})",              "i8",     std::nullopt, "JSONvalueintoIECnode(): value out of range: SINT8 expected."},
    {R"({"i8":1.0})",                     "i8",     std::nullopt, "JSONvalueintoIECnode(): type mismatch: SINT8 expected."},
    {R"({"i16":"5"})",                    "i16",    std::nullopt, "JSONvalueintoIECnode(): type mismatch: SINT16 expected."},
    {R"({"w":true})",                     "w",      std::nullopt, "JSONvalueintoIECnode(): type mismatch: UINT16 / WORD expected."},
    // Whole numbers beyond a type's range, however written (an integer of more than 64 bits,
    // an exponent, beyond the double range), are out of range; other doubles are mismatches.
    {R"({"lw":18446744073709551616})",    "lw",     std::nullopt, "JSONvalueintoIECnode(): value out of range: UINT64 / LWORD expected."},
    {R"({"i8":1e3})",                     "i8",     std::nullopt, "JSONvalueintoIECnode(): value out of range: SINT8 expected."},
    {R"({"i8":1e400})",                   "i8",     std::nullopt, "JSONvalueintoIECnode(): value out of range: SINT8 expected."},
    {R"({"u32":-1e400})",                 "u32",    std::nullopt, "JSONvalueintoIECnode(): value out of range: UINT32 / DWORD expected."},
    {R"({"i8":1.5e3})",                   "i8",     std::nullopt, "JSONvalueintoIECnode(): value out of range: SINT8 expected."},
    {R"({"i8":0.5})",                     "i8",     std::nullopt, "JSONvalueintoIECnode(): type mismatch: SINT8 expected."},
    {R"({"k57":5})",                      "k57",    bytesOf<uint64_t>(5), nullptr},
    // JSON integers are numbers for REAL and LREAL: to the nearest single or double.
    {R"({"rSpeed":1500})",                "rSpeed", bytesOf<float>(1500.0f), nullptr},
    {R"({"rSpeed":-16777217})",           "rSpeed", bytesOf<float>(-16777216.0f), nullptr},
    {R"({"rSpeed":18446744073709551615})", "rSpeed", bytesOf<float>(18446744073709551616.0f), nullptr},
    {R"({"rSpeed":"5"})",                 "rSpeed", std::nullopt, "JSONvalueintoIECnode(): type mismatch: REAL expected."},
    {R"({"rSpeed":true})",                "rSpeed", std::nullopt, "JSONvalueintoIECnode(): type mismatch: REAL expected."},
    {R"({"rSpeed":{}})",                  "rSpeed", std::nullopt, "DOMtoGVP(): malformed JSON object contains object element where IEC tree does NOT."},
    {R"({"rSpeed":5.0})",                 "rSpeed", bytesOf<float>(5.0f), nullptr},
    {R"({"rSpeed":0.1})",                 "rSpeed", bytesOf<float>(0.1f), nullptr},
    {R"({"rSpeed":-3.4028234e+38})",      "rSpeed", bytesOf<float>(-realLimit), nullptr},
    {R"({"rSpeed":3.4028234663852886e38})", "rSpeed", bytesOf<float>(FLT_MAX), nullptr},
    // Every number that rounds to a finite single, 3.4028235e38 included (how the largest single
    // is commonly printed); from the midpoint 2^128 - 2^103 on it would round to infinity.
    {R"({"rSpeed":3.4028235e38})",        "rSpeed", bytesOf<float>(FLT_MAX), nullptr},
    {R"({"rSpeed":-3.4028235677973362e38})", "rSpeed", bytesOf<float>(-FLT_MAX), nullptr},
    {R"({"rSpeed":3.4028235677973366e38})", "rSpeed", std::nullopt, "JSONvalueintoIECnode(): value out of range: REAL expected."},
    {R"({"rSpeed":3.5e38})",              "rSpeed", std::nullopt, "JSONvalueintoIECnode(): value out of range: REAL expected."},
    {R"({"rSpeed":-1e39})",               "rSpeed", std::nullopt, "JSONvalueintoIECnode(): value out of range: REAL expected."},
    {R"({"rSpeed":1e400})",               "rSpeed", std::nullopt, "JSONvalueintoIECnode(): value out of range: REAL expected."},
    {R"({"lr":5})",                       "lr",     bytesOf<double>(5.0), nullptr},
    {R"({"lr":9007199254740993})",        "lr",     bytesOf<double>(9007199254740992.0), nullptr},   // 2^53+1
    {R"({"lr":-9223372036854775808})",    "lr",     bytesOf<double>(-9223372036854775808.0), nullptr},
    {R"({"lr":null})",                    "lr",     std::nullopt, "JSONvalueintoIECnode(): type mismatch: LREAL expected."},
    {R"({"lr":0.1})",                     "lr",     bytesOf<double>(0.1), nullptr},
    {R"({"lr":-1.7976931348623157e308})", "lr",     bytesOf<double>(-DBL_MAX), nullptr},
    {R"({"lr":2.2250738585072011e-308})", "lr",     bytesOf<double>(2.2250738585072011e-308), nullptr},
    {R"({"lr":0e39})",                    "lr",     bytesOf<double>(0.0), nullptr},
    {R"({"lr":-0.0e39})",                 "lr",     bytesOf<double>(-0.0), nullptr},
    {R"({"lr":1e-400})",                  "lr",     bytesOf<double>(0.0), nullptr},
    {R"({"lr":1e400})",                   "lr",     std::nullopt, "JSONvalueintoIECnode(): value out of range: LREAL expected."},
    {R"({"lr":-1.8e308})",                "lr",     std::nullopt, "JSONvalueintoIECnode(): value out of range: LREAL expected."},
    {R"({"lr":1.7976931348623159e308})",  "lr",     std::nullopt, "JSONvalueintoIECnode(): value out of range: LREAL expected."},
    {R"({"i8":-0})",                      "i8",     bytesOf<int8_t>(0), nullptr},
    {R"({"i64":-9223372036854775809})",   "i64",    std::nullopt, "JSONvalueintoIECnode(): type mismatch: SINT64 expected."},
    {R"({"t":4294967295})",               "t",      bytesOf<uint64_t>(0xFFFFFFFFu), nullptr},   // zero-extended
    {R"({"d":4294967296})",               "d",      std::nullopt, "JSONvalueintoIECnode(): value out of range: time and /or date expected."},
    {R"({"tod":-1})",                     "tod",    std::nullopt, "JSONvalueintoIECnode(): value out of range: time and /or date expected."},
    {R"({"t":1e10})",                     "t",      std::nullopt, "JSONvalueintoIECnode(): value out of range: time and /or date expected."},
    {R"({"t":1e400})",                    "t",      std::nullopt, "JSONvalueintoIECnode(): value out of range: time and /or date expected."},
    {R"({"dt":1.0})",                     "dt",     std::nullopt, "JSONvalueintoIECnode(): type mismatch: time and /or date expected."},
    {R"({"s":"a\"b\n"})",                 "s",      textBytes("a\"b\n"), nullptr},
    {R"({"s":""})",                       "s",      textBytes(""), nullptr},
    {R"({"s":5})",                        "s",      std::nullopt, "JSONvalueintoIECnode(): type mismatch: STRING expected."},
    // A text holding NUL would be stored cut: refused.
    {R"({"s":"ab\u0000cd"})",             "s",      std::nullopt, "JSONvalueintoIECnode(): text for s holds a NUL character, nothing written."},
    // A lone surrogate escape reads as U+FFFD; pairs and an escaped backslash stay what they are.
    {R"({"s":"a\ud800b"})",               "s",      textBytes("a\xEF\xBF\xBD" "b"), nullptr},
    {R"({"s":"\udc00\uD83D"})",           "s",      textBytes("\xEF\xBF\xBD\xEF\xBF\xBD"), nullptr},
    {R"({"s":"\ud83d\ude00\\ud800"})",    "s",      textBytes("\xF0\x9F\x98\x80\\ud800"), nullptr},
    {R"({"aTemp":5})",                    "aTemp[0]", std::nullopt, nullptr},                   // array: silently nothing
    {R"({"t20":1})",                      "xOn",    std::nullopt, "Type no. 14 is not implemented, yet."},
    {R"({"empty":true})",                 "xOn",    std::nullopt, "Type no. 19 is not implemented, yet."},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    kalpinproc::loadTree(kTree);
    const std::vector<Node> fresh = all();
    const Bytes before = raw(c.name);
    bool parsed = false;
    const auto lines = tracedLines(4, [&] { parsed = payloadToVariables(c.payload, fresh); });
    EXPECT_TRUE(parsed);
    EXPECT_EQ(raw(c.name), c.value ? *c.value : before);
    EXPECT_EQ(lines, c.trace ? std::vector<std::string>{c.trace} : std::vector<std::string>{});
  }
  // Mismatch texts are level 4.
  const std::vector<Node> nodes = all();
  EXPECT_TRUE(tracedLines(3, [&] { payloadToVariables(R"({"xOn":1,"t20":1})", nodes); }).empty());
}

TEST_F(CodecTest, IntegersAreWrittenInsideTheirTypesRangeOnly) {
  struct Limits {
    const char* name;
    const char* type;  // as in the trace texts
    std::string low, high, belowLow, aboveHigh;
    Bytes lowBytes, highBytes;
  };
  // clang-format off
  const std::vector<Limits> limits = {
    {"i8",  "SINT8",          "-128", "127", "-129", "128", bytesOf<int8_t>(INT8_MIN), bytesOf<int8_t>(INT8_MAX)},
    {"i16", "SINT16",         "-32768", "32767", "-32769", "32768", bytesOf<int16_t>(INT16_MIN), bytesOf<int16_t>(INT16_MAX)},
    {"i32", "SINT32",         "-2147483648", "2147483647", "-2147483649", "2147483648", bytesOf<int32_t>(INT32_MIN), bytesOf<int32_t>(INT32_MAX)},
    {"i64", "SINT64",         "-9223372036854775808", "9223372036854775807", "", "9223372036854775808", bytesOf<int64_t>(INT64_MIN), bytesOf<int64_t>(INT64_MAX)},
    {"u8",  "UINT8 / BYTE",   "0", "255", "-1", "256", bytesOf<uint8_t>(0), bytesOf<uint8_t>(UINT8_MAX)},
    {"by",  "UINT8 / BYTE",   "0", "255", "-1", "256", bytesOf<uint8_t>(0), bytesOf<uint8_t>(UINT8_MAX)},
    {"u16", "UINT16 / WORD",  "0", "65535", "-1", "65536", bytesOf<uint16_t>(0), bytesOf<uint16_t>(UINT16_MAX)},
    {"w",   "UINT16 / WORD",  "0", "65535", "-1", "65536", bytesOf<uint16_t>(0), bytesOf<uint16_t>(UINT16_MAX)},
    {"u32", "UINT32 / DWORD", "0", "4294967295", "-1", "4294967296", bytesOf<uint32_t>(0), bytesOf<uint32_t>(UINT32_MAX)},
    {"dw",  "UINT32 / DWORD", "0", "4294967295", "-1", "4294967296", bytesOf<uint32_t>(0), bytesOf<uint32_t>(UINT32_MAX)},
    {"u64", "UINT64 / LWORD", "0", "18446744073709551615", "-1", "", bytesOf<uint64_t>(0), bytesOf<uint64_t>(UINT64_MAX)},
    {"lw",  "UINT64 / LWORD", "0", "18446744073709551615", "-9223372036854775808", "", bytesOf<uint64_t>(0), bytesOf<uint64_t>(UINT64_MAX)},
    {"k54", "UINT64 / LWORD", "0", "18446744073709551615", "-1", "", bytesOf<uint64_t>(0), bytesOf<uint64_t>(UINT64_MAX)},
  };
  // clang-format on
  const std::vector<Node> nodes = all();
  auto send = [&](const Limits& l, const std::string& number) {
    return tracedLines(
        4, [&] { payloadToVariables("{\"" + std::string(l.name) + "\":" + number + "}", nodes); });
  };
  for (const auto& l : limits) {
    SCOPED_TRACE(l.name);
    EXPECT_TRUE(send(l, l.low).empty());
    EXPECT_EQ(raw(l.name), l.lowBytes);
    EXPECT_TRUE(send(l, l.high).empty());
    EXPECT_EQ(raw(l.name), l.highBytes);
    // One past either end (where a 64-bit integer has one) writes nothing.
    for (const std::string& past : {l.belowLow, l.aboveHigh}) {
      if (past.empty()) continue;
      SCOPED_TRACE(past);
      EXPECT_EQ(send(l, past), std::vector<std::string>{"JSONvalueintoIECnode(): value out of range: " +
                                                        std::string(l.type) + " expected."});
      EXPECT_EQ(raw(l.name), l.highBytes);
    }
  }
  // BOOL stays true/false only; the time and date kinds keep their 32-bit rule.
  EXPECT_EQ(send({"xOn", "", "", "", "", "", {}, {}}, "0"),
            std::vector<std::string>{"JSONvalueintoIECnode(): type mismatch: bool expected."});
  EXPECT_EQ(send({"t", "", "", "", "", "", {}, {}}, "4294967296"),
            std::vector<std::string>{"JSONvalueintoIECnode(): value out of range: time and /or date expected."});
  EXPECT_EQ(send({"t", "", "", "", "", "", {}, {}}, "1.0"),
            std::vector<std::string>{"JSONvalueintoIECnode(): type mismatch: time and /or date expected."});
}

TEST_F(CodecTest, ObjectWalkTracesWhatDoesNotMatchAndGoesOn) {
  const std::vector<Node> nodes = all();
  // clang-format off
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
    {R"({"zzz":1,"xOn":true})",    {"no match found for zzz, skipping this JSON object member."}},
    {R"({"zzz":{"a":1},"xOn":true})", {"no match found for zzz, skipping this JSON object member."}},
    {R"({"zzz":[1],"xOn":true})",  {"no match found for zzz, skipping this JSON object member."}},
    {R"({"i8":{"a":1},"xOn":true})", {"DOMtoGVP(): malformed JSON object contains object element where IEC tree does NOT."}},
    {R"({"empty":{"a":1},"xOn":true})", {"DOMtoGVP(): malformed JSON object contains object element where IEC tree does NOT."}},
    {R"({"i8":[1],"xOn":true})",   {"DOMtoGVP(): malformed JSON object contains array element where IEC tree does NOT."}},
    {R"({"aEmpty":[1],"xOn":true})", {"DOMtoGVP(): malformed JSON object contains array element where IEC tree does NOT."}},
    {R"({"Motor":{"nope":1},"xOn":true})", {"no match found for nope, skipping this JSON object member."}},
    {R"({"aTemp":[{"a":1},[1],3],"xOn":true})",
        {"DOMtoGVP(): malformed JSON array contains object-type element where IEC tree does NOT.",
         "DOMtoGVP(): malformed JSON array contains array-type element where IEC tree does NOT."}},
    // Bound members that go with no array are skipped without a word.
    {R"({"LowerBound_x":"a","UpperBound_y":null,"zLowerBound_":1,"xOn":true})", {}},
    {R"({"aTemp[9]":1,"xOn":true})", {"no match found for aTemp[9], skipping this JSON object member."}},
    // A received name cannot break the trace line or forge another one.
    {R"({"a\nZAL_MQTT  x| forged\u0000\u007f":1,"xOn":true})",
        {"no match found for a\\x0aZAL_MQTT  x| forged\\x00\\x7f, skipping this JSON object member."}},
  };
  // clang-format on
  for (const auto& [payload, expected] : cases) {
    SCOPED_TRACE(payload);
    kalpinproc::setRaw("APPL.C.xOn", {0});
    EXPECT_EQ(tracedLines(2, [&] { EXPECT_TRUE(payloadToVariables(payload, nodes)); }), expected);
    EXPECT_EQ(raw("xOn"), Bytes{1}) << "the rest of the payload is applied";
  }
  EXPECT_EQ(int16s("aTemp", {"[0]", "[1]", "[2]"}), (std::vector<int16_t>{100, 101, 3}));
  // With no node list at all, every member is reported.
  EXPECT_EQ(tracedLines(2, [&] { payloadToVariables(R"({"a":1,"b":{}})", {}); }),
            std::vector<std::string>(
                2, "DOMtoGVP(): malformed JSON object contains element where IEC tree does NOT."));
  EXPECT_TRUE(tracedLines(1, [&] { payloadToVariables(R"({"zzz":1})", nodes); }).empty());
}

TEST_F(CodecTest, ArraysFillByPositionOrByTheirBounds) {
  // clang-format off
  const std::string surplus = "DOMtoGVP(): malformed JSON array contains element where GVP tree does NOT.";
  auto refused = [](const char* name) {
    return "DOMtoGVP(): malformed JSON object contains a bound member for " + std::string(name) +
           " that is not a whole number in the index range, skipping this JSON object member.";
  };
  const std::vector<std::tuple<const char*, std::vector<int16_t>, std::vector<std::string>>> cases = {
    // payload                                                        aTemp[0..2]       lines
    {R"({"aTemp":[7,8]})",                                            {7, 8, 102},      {}},
    {R"({"aTemp":[]})",                                               {100, 101, 102},  {}},
    {R"({"aTemp":[1,2,3,4]})",                                        {1, 2, 3},        {surplus}},
    // Surplus elements: one line per array, with their count.
    {R"({"aTemp":[1,2,3,4,5]})",                                      {1, 2, 3},        {"DOMtoGVP(): malformed JSON array contains 2 elements where GVP tree does NOT."}},
    {R"({"aTemp":[7,8],"LowerBound_aTemp":1,"UpperBound_aTemp":2})",  {100, 7, 8},      {}},
    {R"({"LowerBound_aTemp":1,"UpperBound_aTemp":2,"aTemp":[7,8]})",  {100, 7, 8},      {}},
    {R"({"aTemp":[7,8,9],"LowerBound_aTemp":0,"UpperBound_aTemp":1})", {7, 8, 102},     {}},  // stops at the bound
    {R"({"aTemp":[7,8],"LowerBound_aTemp":-5,"UpperBound_aTemp":5})", {7, 8, 102},      {}},
    // Decided here: one bound alone limits that side only; equal bounds address one element.
    {R"({"aTemp":[7,8],"LowerBound_aTemp":1})",                       {100, 7, 8},      {}},
    {R"({"aTemp":[7,8],"LowerBound_aTemp":2})",                       {100, 101, 7},    {surplus}},
    {R"({"aTemp":[7,8],"UpperBound_aTemp":0})",                       {7, 101, 102},    {}},
    {R"({"aTemp":[7],"LowerBound_aTemp":2,"UpperBound_aTemp":2})",    {100, 101, 7},    {}},
    // Bounds are whole numbers however written (Python's json writes 1.0); any other bound
    // refuses the array, and nothing of it is written.
    {R"({"aTemp":[9],"LowerBound_aTemp":1.0,"UpperBound_aTemp":1.0})", {100, 9, 102},   {}},
    {R"({"aTemp":[9],"LowerBound_aTemp":2e0})",                       {100, 101, 9},    {}},
    {R"({"aTemp":[7,8],"LowerBound_aTemp":1.0,"UpperBound_aTemp":"2"})", {100, 101, 102}, {refused("aTemp")}},
    {R"({"aTemp":[7,8],"LowerBound_aTemp":"1"})",                     {100, 101, 102},  {refused("aTemp")}},
    {R"({"aTemp":[7,8],"LowerBound_aTemp":0.5})",                     {100, 101, 102},  {refused("aTemp")}},
    {R"({"aTemp":[7,8],"UpperBound_aTemp":4294967296})",              {100, 101, 102},  {refused("aTemp")}},
    {R"({"aTemp":[7,8],"UpperBound_aTemp":1e10})",                    {100, 101, 102},  {refused("aTemp")}},
    {R"({"aTemp":[7,8],"LowerBound_aTemp":null})",                    {100, 101, 102},  {refused("aTemp")}},
    // The first bound member of a name counts.
    {R"({"aTemp":[7],"LowerBound_aTemp":1,"LowerBound_aTemp":"x"})",  {100, 7, 102},    {}},
    {R"({"aTemp[2]":9})",                                             {100, 101, 9},    {}},
  };
  // clang-format on
  for (const auto& [payload, expected, traced] : cases) {
    SCOPED_TRACE(payload);
    kalpinproc::loadTree(kTree);
    const auto lines = tracedLines(2, [&] { payloadToVariables(payload, {var("aTemp")}); });
    EXPECT_EQ(int16s("aTemp", {"[0]", "[1]", "[2]"}), expected);
    EXPECT_EQ(lines, traced);
  }
  // Bounds belong to their own array: the next array without bound members fills from its first
  // element. Indices are the elements' own, whatever the array's lower bound.
  kalpinproc::loadTree(kTree);
  payloadToVariables(R"({"aTemp":[7],"LowerBound_aTemp":2,"UpperBound_aTemp":2,"aOne":[5]})",
                     {var("aTemp"), var("aOne")});
  EXPECT_EQ(int16s("aTemp", {"[0]", "[1]", "[2]"}), (std::vector<int16_t>{100, 101, 7}));
  EXPECT_EQ(int16s("aOne", {"[1]", "[2]", "[3]"}), (std::vector<int16_t>{5, 2, 3}));
  payloadToVariables(R"({"aOne":[8,9],"LowerBound_aOne":2,"UpperBound_aOne":3,"aOne[1]":4})", {var("aOne")});
  EXPECT_EQ(int16s("aOne", {"[1]", "[2]", "[3]"}), (std::vector<int16_t>{4, 8, 9}));
}

TEST_F(CodecTest, TopLevelArrayAndNestedValuesFillInOrder) {
  const std::vector<Node> nodes = {var("xOn"), var("i8"), var("recs"), var("aa")};
  const auto lines = tracedLines(2, [&] {
    EXPECT_TRUE(payloadToVariables(R"([true,-2,[{"v":7},{"v":8}],[[5,6],[9]],"extra"])", nodes));
  });
  EXPECT_EQ(raw("xOn"), Bytes{1});
  EXPECT_EQ(raw("i8"), bytesOf<int8_t>(-2));
  EXPECT_EQ(raw("recs[0].v"), Bytes{7});
  EXPECT_EQ(raw("recs[1].v"), Bytes{8});
  EXPECT_EQ(int16s("aa", {"[0][0]", "[0][1]", "[1][5]", "[1][6]"}), (std::vector<int16_t>{5, 6, 9, 4}));
  EXPECT_EQ(lines, std::vector<std::string>{
                       "DOMtoGVP(): malformed JSON array contains element where GVP tree does NOT."});
}

TEST_F(CodecTest, WhatTheEncoderWritesReadsBackUnchanged) {
  // Arrays of arrays included: the inner arrays' bound members inside the outer JSON array are
  // not taken for element values.
  const std::vector<Node> nodes = all();
  const std::string original = encode(nodes);
  kalpinproc::setRaw("APPL.C.aa[1][5]", bytesOf<int16_t>(-1));
  kalpinproc::setRaw("APPL.C.aa[0][1]", bytesOf<int16_t>(-1));
  kalpinproc::setRaw("APPL.C.recs[1].v", {9});
  kalpinproc::setRaw("APPL.C.rSpeed", bytesOf<float>(FLT_MAX));
  kalpinproc::setRaw("APPL.C.lr", bytesOf<double>(-2.0203875408674627e175));
  kalpinproc::setRaw("APPL.C.s", textBytes("q\"\\\b\f\n\r\t\x01\x1f\x7f\xc3\xa4/"));
  const std::string changed = encode(nodes);
  ASSERT_NE(changed, original);
  kalpinproc::loadTree(kTree);
  const std::vector<Node> fresh = all();
  const auto lines = tracedLines(4, [&] { EXPECT_TRUE(payloadToVariables(changed, fresh)); });
  EXPECT_EQ(encode(fresh), changed);
  // Only the values without a JSON form are refused, each with its own text.
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "Type no. 14 is not implemented, yet.", "Type no. 17 is not implemented, yet.",
                "DOMtoGVP(): malformed JSON object contains object element where IEC tree does NOT."}));
}

TEST_F(CodecTest, StringElementsThatLookLikeBoundMarkersAreValues) {
  // Only the two members that follow an inner array are its bound markers.
  kalpinproc::setRaw("APPL.C.aStr[0]", textBytes("LowerBound_[1]"));
  kalpinproc::setRaw("APPL.C.aStr[1]", Bytes{0});  // "" between them
  kalpinproc::setRaw("APPL.C.aStr[2]", textBytes("UpperBound_[9]"));
  kalpinproc::setRaw("APPL.C.aStr[3]", textBytes("x"));
  const std::string payload = encode({var("aStr"), var("aa")});
  ASSERT_EQ(
      payload,
      R"({"aStr":["LowerBound_[1]","","UpperBound_[9]","x"],"LowerBound_aStr":0,"UpperBound_aStr":3,)"
      R"("aa":[[1,2],"LowerBound_[0]",0,"UpperBound_[0]",1,[3,4],"LowerBound_[1]",5,"UpperBound_[1]",6],)"
      R"("LowerBound_aa":0,"UpperBound_aa":1})");
  kalpinproc::loadTree(kTree);
  const std::vector<Node> fresh = {var("aStr"), var("aa")};
  EXPECT_TRUE(tracedLines(4, [&] { EXPECT_TRUE(payloadToVariables(payload, fresh)); }).empty());
  EXPECT_EQ(encode(fresh), payload);
}

TEST_F(CodecTest, EveryRealAndLrealReadsBackBitForBit) {
  const std::vector<Node> nodes = {var("rSpeed"), var("lr")};
  std::mt19937_64 random(20261210);
  for (int i = 0; i < 5000; ++i) {
    const uint64_t bits = random();
    double lreal;
    float real;
    std::memcpy(&lreal, &bits, sizeof lreal);
    std::memcpy(&real, &bits, sizeof real);
    if (!std::isfinite(lreal) || !std::isfinite(real)) continue;
    kalpinproc::setRaw("APPL.C.rSpeed", bytesOf(real));
    kalpinproc::setRaw("APPL.C.lr", bytesOf(lreal));
    const std::string payload = encode(nodes);
    kalpinproc::setRaw("APPL.C.rSpeed", bytesOf(1.0f));
    kalpinproc::setRaw("APPL.C.lr", bytesOf(1.0));
    ASSERT_TRUE(payloadToVariables(payload, nodes)) << payload;
    ASSERT_EQ(raw("rSpeed"), bytesOf(real)) << payload;
    ASSERT_EQ(raw("lr"), bytesOf(lreal)) << payload;
  }
}

// A JSON number's text as its significant digits and the power of ten of the last one, with
// no leading or trailing zeros: "12340000000.0" and "1.234e10" both give {"1234", 7}; zero
// gives {"", 0}.
std::pair<std::string, int> decimalOf(const std::string& number) {
  const size_t e = number.find_first_of("eE");
  const std::string mantissa = number.substr(number[0] == '-' ? 1 : 0, e - (number[0] == '-' ? 1 : 0));
  int exponent = e == std::string::npos ? 0 : std::stoi(number.substr(e + 1));
  const size_t point = mantissa.find('.');
  std::string digits = mantissa;
  if (point != std::string::npos) {
    digits.erase(point, 1);
    exponent -= static_cast<int>(mantissa.size() - point - 1);
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
  return {digits, digits.empty() ? 0 : exponent};
}

TEST_F(CodecTest, DoublesAreWrittenInTheirShortestClosestForm) {
  // Against the standard library's shortest form, over values of every kind: any bit pattern,
  // short decimals, binary fractions, singles widened, integers, and the edges of the ranges
  // the encoder treats apart (tiny, huge, subnormal, powers of two and ten).
  const std::vector<Node> nodes = {var("lr")};
  std::mt19937_64 random(20261211);
  std::vector<double> values = {5e-324,
                                2.2250738585072014e-308,
                                1.7976931348623157e308,
                                1e-7,
                                1e-8,
                                1e20,
                                1e21,
                                1e22,
                                1e23,
                                9007199254740993.0,
                                0.1,
                                0.3,
                                2.0,
                                1024.0,
                                0.5,
                                123456.789};
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double bitsValue;
    std::memcpy(&bitsValue, &bits, sizeof bitsValue);
    float single;
    std::memcpy(&single, &bits, sizeof single);
    values.push_back(bitsValue);
    values.push_back(static_cast<double>(single));
    values.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000000) - 1000000000) / 1000.0);
    values.push_back(static_cast<double>(random() % 100000000) /
                     static_cast<double>(uint64_t{1} << (random() % 40)));
    values.push_back(static_cast<double>(static_cast<int64_t>(random() >> (random() % 64))));
  }
  for (const double value : values) {
    if (!std::isfinite(value)) continue;
    kalpinproc::setRaw("APPL.C.lr", bytesOf(value));
    const std::string payload = encode(nodes);
    const std::string number = payload.substr(6, payload.size() - 7);  // {"lr":<number>}
    char expected[64];
    const auto end =
        std::to_chars(expected, expected + sizeof expected, value, std::chars_format::scientific).ptr;
    ASSERT_EQ(decimalOf(number), decimalOf(std::string(expected, end))) << number;
    ASSERT_EQ(number[0] == '-', std::signbit(value)) << number;
  }
}

TEST_F(CodecTest, DemoPlantVariablesRoundTrip) {
  const std::string source = __FILE__;  // <top>/tests/unit/test_codec.cpp
  std::ifstream file(source.substr(0, source.rfind("tests/unit/")) + "examples/demo-plant.json");
  ASSERT_TRUE(file) << "demo plant tree file";
  const std::string tree((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  kalpinproc::loadTree(tree);
  const std::vector<Node> plant = {std::make_shared<GVPvariable>("APPL.", "DemoPlant", false)};
  const std::string original = encode(plant);

  // The same tree with every value replaced, so that the payload has something to restore.
  rapidjson::Document document;
  document.Parse(tree.c_str());
  ASSERT_FALSE(document.HasParseError());
  std::function<void(rapidjson::Value&)> blank = [&](rapidjson::Value& node) {
    if (node.IsObject()) {
      node.RemoveMember("simulate");
      for (auto member = node.MemberBegin(); member != node.MemberEnd(); ++member) {
        const std::string name = member->name.GetString();
        rapidjson::Value& value = member->value;
        if (name == "value" || name == "values") {
          auto replace = [&](rapidjson::Value& v) {
            if (v.IsString()) {
              v.SetString("changed");
            } else if (v.IsBool()) {
              v.SetBool(!v.GetBool());
            } else if (v.IsNumber()) {
              v.SetInt(7);
            }
          };
          if (value.IsArray()) {
            for (auto& element : value.GetArray()) replace(element);
          } else {
            replace(value);
          }
        } else {
          blank(value);
        }
      }
    } else if (node.IsArray()) {
      for (auto& element : node.GetArray()) blank(element);
    }
  };
  blank(document);
  rapidjson::StringBuffer blankTree;
  rapidjson::Writer<rapidjson::StringBuffer> writer(blankTree);
  document.Accept(writer);
  kalpinproc::loadTree(blankTree.GetString());
  const std::vector<Node> fresh = {std::make_shared<GVPvariable>("APPL.", "DemoPlant", false)};
  ASSERT_NE(encode(fresh), original);

  const auto lines = tracedLines(4, [&] { EXPECT_TRUE(payloadToVariables(original, fresh)); });
  EXPECT_TRUE(lines.empty()) << lines.front();
  EXPECT_EQ(encode(fresh), original);
}

TEST_F(CodecTest, UnparsablePayloadsWriteNothing) {
  const std::vector<Node> nodes = {var("xOn"), var("aTemp")};
  const std::string deepOpen(1000000, '[');
  const std::string deepClosed = deepOpen + std::string(1000000, ']');
  std::string deepObject;
  for (unsigned i = 0; i < kPayloadMaxDepth; ++i) deepObject += "{\"a\":";
  deepObject += "1" + std::string(kPayloadMaxDepth, '}');
  // clang-format off
  const std::vector<std::string> payloads = {
    "", " ", "{", "xOn", "{\"xOn\":true,}", "[true,]", "{\"xOn\":true} x", "{\"xOn\":true}{}",
    "// note\n{\"xOn\":true}", "{'xOn':true}", "{\"xOn\":tru}", "{\"xOn\":NaN}", "{\"xOn\":Infinity}",
    "{\"xOn\":01}", "{\"xOn\":\"\\x\"}", "{\"xOn\":\"a\nb\"}", "{\"xOn\":\"\\ud80\"}",
    deepOpen, deepClosed, "[" + deepObject + "]",
  };
  // clang-format on
  for (const auto& payload : payloads) {
    SCOPED_TRACE(payload.substr(0, 40));
    bool parsed = true;
    const auto lines = tracedLines(2, [&] { parsed = payloadToVariables(payload, nodes); });
    EXPECT_FALSE(parsed);
    EXPECT_EQ(raw("xOn"), Bytes{0});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("payloadToVariables(): payload is not valid JSON (", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("), nothing written."), std::string::npos) << lines[0];
  }
  // The deepest nesting allowed still parses; scalar documents parse and do nothing.
  EXPECT_TRUE(payloadToVariables(deepObject, nodes));
  for (const std::string& payload : {std::string("5"), std::string("\"xOn\""), std::string("null")}) {
    EXPECT_TRUE(tracedLines(4, [&] { EXPECT_TRUE(payloadToVariables(payload, nodes)); }).empty());
  }
  EXPECT_EQ(raw("xOn"), Bytes{0});
}

TEST_F(CodecTest, EveryMemberIsJudgedOnItsOwn) {
  // One member that cannot be written, or that is refused, never drops the others: the walk goes
  // on with the next member, and a write that fails is traced naming the member and the reason.
  const std::string longText(70000, 'x');
  kalpinproc::setFault("APPL.C.u16", "write", 0x81000002);
  // clang-format off
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
    {R"({"i8":16,"s":")" + longText + R"(","i16":16,"i32":16})",
        {"DOMtoGVP(): APPL.C.s not written, skipping this JSON member: KalpApiVarWrite() of basic variable s "
         "failed: text of 70000 bytes is longer than the 65535 bytes one write can carry."}},
    {R"({"i8":16,"u16":5,"i16":16,"i32":16})",
        {"DOMtoGVP(): APPL.C.u16 not written, skipping this JSON member: KalpApiVarWrite() of basic variable u16 failed."}},
    {R"({"i8":16,"Motor":{"aTemp":[1,"x"],"sName":"a\u0000"},"lr":1e400,"s":"a\ud800","i16":16,"i32":16})",
        {"JSONvalueintoIECnode(): type mismatch: SINT16 expected.",
         "JSONvalueintoIECnode(): text for sName holds a NUL character, nothing written.",
         "JSONvalueintoIECnode(): value out of range: LREAL expected."}},
    {R"([16,[1],{"a":1},16])",
        {"DOMtoGVP(): malformed JSON array contains array-type element where IEC tree does NOT.",
         "DOMtoGVP(): malformed JSON array contains object-type element where IEC tree does NOT."}},
  };
  // clang-format on
  for (const auto& [payload, expected] : cases) {
    SCOPED_TRACE(payload.substr(0, 60));
    kalpinproc::setRaw("APPL.C.i8", bytesOf<int8_t>(1));
    kalpinproc::setRaw("APPL.C.i16", bytesOf<int16_t>(1));
    kalpinproc::setRaw("APPL.C.i32", bytesOf<int32_t>(1));
    const std::vector<Node> nodes =
        payload[0] == '[' ? std::vector<Node>{var("i8"), var("i32"), var("i64"), var("i16")} : all();
    EXPECT_EQ(tracedLines(4, [&] { EXPECT_TRUE(payloadToVariables(payload, nodes)); }), expected);
    EXPECT_EQ(raw("i8"), bytesOf<int8_t>(16));
    EXPECT_EQ(raw("i16"), bytesOf<int16_t>(16));
    if (payload[0] == '{') {
      EXPECT_EQ(raw("i32"), bytesOf<int32_t>(16));
    }
  }
  EXPECT_EQ(raw("s"), textBytes("a\xEF\xBF\xBD"));
  EXPECT_EQ(int16s("Motor.aTemp", {"[0]"}), std::vector<int16_t>{1});
  // Index conversions fail only for bounds given to nodes that are not array elements, by the
  // caller: those still reach it.
  rapidjson::Document document;
  document.Parse("[1]");
  EXPECT_THROW(DOMtoGVP(document, var("st")->getChildren(), 5, 0), std::invalid_argument);
}

TEST_F(CodecTest, InnerArraysTakeTheirOwnBoundMarkers) {
  const std::string refusedMarker =
      "DOMtoGVP(): malformed JSON array contains a bound marker for [0] that is not a whole number in the index "
      "range, skipping this element.";
  // clang-format off
  const std::vector<std::tuple<const char*, std::vector<int16_t>, std::vector<std::string>>> cases = {
    // payload                                                               aa[0][0..1], aa[1][5..6]
    {R"({"aa":[[9],"LowerBound_[0]",1,"UpperBound_[0]",1]})",                {1, 9, 3, 4},  {}},
    {R"({"aa":[[9],"UpperBound_[0]",1.0,"LowerBound_[0]",1.0,[8]]})",         {1, 9, 8, 4},  {}},
    {R"({"aa":[[9],"LowerBound_[0]",6,"UpperBound_[0]",6,[8],"LowerBound_[1]",6]})", {1, 2, 3, 8},
        {"DOMtoGVP(): malformed JSON array contains element where GVP tree does NOT."}},
    {R"({"aa":[[9],"LowerBound_[0]",0.5,[8]]})",                             {1, 2, 8, 4},  {refusedMarker}},
    {R"({"aa":[[9],"LowerBound_[0]",1e10]})",                                {1, 2, 3, 4},  {refusedMarker}},
    {R"({"aa":[[9,8],"LowerBound_[0]",1,"UpperBound_[0]",0]})",              {1, 2, 3, 4},
        {"DOMtoGVP(): malformed JSON array contains crossed bound markers for [0], skipping this element."}},
    // Surplus inner arrays take their markers with them: one surplus element.
    {R"({"aa":[[9],[8],[7],"LowerBound_[2]",0,"UpperBound_[2]",0]})",       {9, 2, 8, 4},
        {"DOMtoGVP(): malformed JSON array contains element where GVP tree does NOT."}},
  };
  // clang-format on
  for (const auto& [payload, expected, traced] : cases) {
    SCOPED_TRACE(payload);
    kalpinproc::loadTree(kTree);
    const std::vector<Node> nodes = {var("aa")};
    EXPECT_EQ(tracedLines(2, [&] { EXPECT_TRUE(payloadToVariables(payload, nodes)); }), traced);
    EXPECT_EQ(int16s("aa", {"[0][0]", "[0][1]", "[1][5]", "[1][6]"}), expected);
  }
  // Markers follow the inner arrays of an array of arrays only: a marker-like string after an
  // inner array at the top level, or one with no number after it, is the next variable's value.
  kalpinproc::loadTree(kTree);
  const std::vector<Node> nodes = {var("aTemp"), var("s"), var("Motor")};
  EXPECT_TRUE(tracedLines(4, [&] {
                payloadToVariables(R"([[5,6],"LowerBound_[0]",{"sName":"UpperBound_x"}])", nodes);
              }).empty());
  EXPECT_EQ(raw("s"), textBytes("LowerBound_[0]"));
  EXPECT_EQ(int16s("aTemp", {"[0]", "[1]", "[2]"}), (std::vector<int16_t>{5, 6, 102}));
  payloadToVariables(R"([[7],"LowerBound_aTemp",3])", {var("aTemp"), var("s"), var("i8")});
  EXPECT_EQ(raw("s"), textBytes("LowerBound_aTemp"));
  EXPECT_EQ(raw("i8"), bytesOf<int8_t>(3));
}

TEST_F(CodecTest, TraceLinesPerPayloadAreBoundedByItsStructure) {
  // A large payload full of surplus elements, unknown members and refused values gives a bounded
  // number of lines, with their counts; what it also carries is still written.
  std::string payload = R"({"aTemp":[)";
  for (int i = 0; i < 200000; ++i) payload += "0,";
  payload += R"(0],"xOn":true)";
  for (int i = 0; i < 50000; ++i) payload += ",\"zz" + std::to_string(i) + "\":1";
  for (int i = 0; i < 20000; ++i) payload += R"(,"i8":"x","aEmpty":[1])";
  payload += R"(,"u8":7})";
  const std::vector<Node> nodes = all();
  const auto lines = tracedLines(4, [&] { EXPECT_TRUE(payloadToVariables(payload, nodes)); });
  EXPECT_EQ(raw("xOn"), Bytes{1});
  EXPECT_EQ(raw("u8"), Bytes{7});
  EXPECT_LE(lines.size(), 112u);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "DOMtoGVP(): malformed JSON array contains 199998 elements where GVP tree does NOT.");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "no match found for zz0, skipping this JSON object member."), 1);
  EXPECT_EQ(lines[lines.size() - 2], "DOMtoGVP(): 49990 more members without a match skipped.");
  EXPECT_EQ(lines.back(), "DOMtoGVP(): 39901 more lines about this payload left out.");
  // The next payload has a budget of its own.
  EXPECT_EQ(tracedLines(2, [&] { payloadToVariables(R"({"zz":1})", nodes); }),
            std::vector<std::string>{"no match found for zz, skipping this JSON object member."});
}

TEST_F(CodecTest, BoundsThatAddressNothingAreTracedAndSkipped) {
  // Bounds for a struct (its fields have no element index) and crossed bounds write nothing for
  // that member; the rest of the payload is applied.
  // clang-format off
  const std::vector<std::pair<const char*, const char*>> cases = {
    {R"({"st":[1],"LowerBound_st":0,"UpperBound_st":5,"xOn":true})",
        "DOMtoGVP(): malformed JSON object contains bound members for st, which is not an array, skipping this JSON object member."},
    {R"({"UpperBound_st":5,"st":[1],"xOn":true})",
        "DOMtoGVP(): malformed JSON object contains bound members for st, which is not an array, skipping this JSON object member."},
    {R"({"big":[1],"LowerBound_big":0,"xOn":true})",
        "DOMtoGVP(): malformed JSON object contains bound members for big, which is not an array, skipping this JSON object member."},
    {R"({"aTemp":[7],"LowerBound_aTemp":2,"UpperBound_aTemp":1,"xOn":true})",
        "DOMtoGVP(): malformed JSON object contains crossed bound members for aTemp, skipping this JSON object member."},
  };
  // clang-format on
  for (const auto& [payload, line] : cases) {
    SCOPED_TRACE(payload);
    kalpinproc::loadTree(kTree);
    const std::vector<Node> nodes = all();
    EXPECT_EQ(tracedLines(2, [&] { EXPECT_TRUE(payloadToVariables(payload, nodes)); }),
              std::vector<std::string>{line});
    EXPECT_EQ(raw("st.xa"), Bytes{1});
    EXPECT_EQ(raw("big.x99999999999999999999y"), Bytes{1});
    EXPECT_EQ(int16s("aTemp", {"[0]", "[1]", "[2]"}), (std::vector<int16_t>{100, 101, 102}));
    EXPECT_EQ(raw("xOn"), Bytes{1});
  }
  // Without bounds an array walk fills the fields by position.
  payloadToVariables(R"({"st":[8,9]})", {var("st")});
  EXPECT_EQ(raw("st.yb"), Bytes{9});
}

TEST_F(CodecTest, LongNodeListsMatchTheFirstNodeOfEachName) {
  // Many members against many nodes, in another order than the nodes', with a name given twice
  // among the nodes: the first of them is written, as findNode finds it.
  std::vector<Node> nodes = all();
  nodes.push_back(std::make_shared<GVPvariable>("APPL.C.Motor.", "xOn", false));
  kalpinproc::setRaw("APPL.C.Motor.xOn", {0});
  EXPECT_TRUE(tracedLines(2, [&] {
                payloadToVariables(
                    R"({"u16":7,"aTemp[1]":5,"Motor":{"sName":"x"},"xOn":true,"i8":-2,"s":"z"})", nodes);
              }).empty());
  EXPECT_EQ(raw("xOn"), Bytes{1});
  EXPECT_EQ(raw("Motor.xOn"), Bytes{0});
  EXPECT_EQ(raw("u16"), bytesOf<uint16_t>(7));
  EXPECT_EQ(raw("i8"), bytesOf<int8_t>(-2));
  EXPECT_EQ(raw("s"), textBytes("z"));
  EXPECT_EQ(raw("Motor.sName"), textBytes("x"));
  EXPECT_EQ(int16s("aTemp", {"[1]"}), std::vector<int16_t>{5});
  EXPECT_EQ(tracedLines(2, [&] { payloadToVariables(R"({"u16":7,"nope":1,"u8":2})", nodes); }),
            std::vector<std::string>{"no match found for nope, skipping this JSON object member."});
}

TEST_F(CodecTest, StructMembersMatchInAnyOrder) {
  // The members of one struct are looked up in their own order first, then by name: a payload
  // in order, reversed, shuffled with a member given twice (the later value stays), or with a
  // member the struct lacks, reaches the same members.
  std::string tree = R"({"variables": {"APPL.W.wide": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < 12; ++i) {
    tree += (i ? "," : "") + std::string("\"m") + std::to_string(i) + R"(": {"type": "UINT8", "value": 0})";
  }
  kalpinproc::loadTree(tree + "}}}}");
  const std::vector<Node> wide = {std::make_shared<GVPvariable>("APPL.W.", "wide", false)};
  auto payload = [](const std::vector<int>& order, const char* extra) {
    std::string text = R"({"wide":{)";
    for (const int i : order) text += "\"m" + std::to_string(i) + "\":" + std::to_string(i + 10) + ",";
    return text + extra + "}}";
  };
  // clang-format off
  const std::vector<std::pair<std::vector<int>, const char*>> cases = {
    {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},  R"("m0":10)"},
    {{11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0},  R"("m11":21)"},
    {{3, 4, 0, 1, 2, 9, 10, 11, 5, 6, 7, 8},  R"("m4":14)"},
    {{0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 6},  R"("nope":1)"},
  };
  // clang-format on
  for (const auto& [order, extra] : cases) {
    SCOPED_TRACE(payload(order, extra));
    for (int i = 0; i < 12; ++i) kalpinproc::setRaw("APPL.W.wide.m" + std::to_string(i), {0});
    const std::vector<std::string> lines =
        tracedLines(2, [&] { payloadToVariables(payload(order, extra), wide); });
    EXPECT_EQ(lines.size(), std::string(extra).find("nope") == std::string::npos ? 0u : 1u);
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(kalpinproc::getRaw("APPL.W.wide.m" + std::to_string(i)), Bytes{static_cast<uint8_t>(i + 10)})
          << i;
    }
  }
}

TEST_F(CodecTest, FindNodeMatchesNamesAndAddressesElements) {
  const std::vector<Node> nodes = {var("xOn"), var("aTemp"), var("aOne"), var("Motor")};
  EXPECT_EQ(findNode(nodes, "xOn"), nodes[0]);
  EXPECT_EQ(findNode(nodes, "aTemp"), nodes[1]);
  EXPECT_EQ(findNode(nodes, "aTemp[2]"), nodes[1]->getChildren()[2]);
  EXPECT_EQ(findNode(nodes, "aOne[1]"), nodes[2]->getChildren()[0]);
  for (const char* missing : {"", "xon", "aTemp[3]", "aTemp[-1]", "aTemp2]", "aTem[1]", "aTemp[1", "Motor[0]",
                              "[0]", "xOn[0]", "aTemp[[1]]"}) {
    EXPECT_EQ(findNode(nodes, missing), nullptr) << missing;
  }
}

}  // namespace
