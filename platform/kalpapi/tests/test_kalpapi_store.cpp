// The variable store on its own: tree files, typed values, raw access, walks, faults.
#include <KalpApi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "KalpStore.h"

using kalpstore::Store;

namespace {

std::string tree(const std::string& variables, const std::string& extra = "") {
  return "{" + extra + "\"variables\": {" + variables + "}}";
}

std::string loadError(const std::string& json) {
  Store store;
  try {
    store.load(json, "test.json");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(loaded)";
}

}  // namespace

TEST(KalpStoreTreeFile, MalformedInputGivesClearError) {
  struct Case {
    std::string json;
    std::string expected;  // part of the message
  };
  // clang-format off
  const Case cases[] = {
    {"{",                                                        "test.json: not valid JSON at offset 1"},
    {"[]",                                                       "top level: must be an object"},
    {"{\"vars\": {}}",                                           "vars: unknown key"},
    {"{\"deviceState\": -1}",                                    "deviceState: must be a 32-bit unsigned number"},
    {tree("\"A\": {}"),                                          "variables.\"A\": \"type\" is missing"},
    {tree("\"A\": 5"),                                           "variables.\"A\": a variable must be a JSON object"},
    {tree("\"A\": {\"type\": \"FOO\"}"),                          "variables.\"A\".type: unknown type name 'FOO'"},
    {tree("\"A\": {\"type\": \"UINT8\", \"value\": 256}"),       "variables.\"A\".value: value 256 does not fit UINT8"},
    {tree("\"A\": {\"type\": \"SINT8\", \"value\": -129}"),      "value -129 does not fit SINT8"},
    {tree("\"A\": {\"type\": \"UINT64\", \"value\": -1}"),       "value -1 does not fit UINT64"},
    {tree("\"A\": {\"type\": \"SINT32\", \"value\": 1.5}"),      "must be an integer number"},
    {tree("\"A\": {\"type\": \"BOOL\", \"value\": 256}"),        "a BOOL value must be true, false or a byte"},
    {tree("\"A\": {\"type\": \"REAL\", \"value\": 1e39}"),       "does not fit REAL"},
    {tree("\"A\": {\"type\": \"REAL\", \"value\": \"nan\"}"),     "a REAL value must be a number, \"NaN\", \"Infinity\" or \"-Infinity\""},
    {tree("\"A\": {\"type\": \"REAL\", \"value\": \"NaN(0x3f800000)\"}"), "a REAL value must be a number"},  // 1.0f, not a NaN
    {tree("\"A\": {\"type\": \"LREAL\", \"value\": \"NaN(0x7fc00001)\"}"), "an LREAL value must be a number"},  // too few digits
    {tree("\"A\": {\"type\": \"STRING\", \"value\": 5}"),        "a STRING value must be a JSON string"},
    {tree("\"A\": {\"type\": \"STRUCT\", \"value\": 5}"),        "variables.\"A\".value: a variable of type STRUCT has no value"},
    {tree("\"A\": {\"type\": \"UINT8\", \"members\": {}}"),      "only STRUCT and DIRECTORY have \"members\""},
    {tree("\"A\": {\"type\": \"STRUCT\", \"members\": {\"x.y\": {\"type\": 1}}}"), "cannot contain '.', '[' or ']'"},
    {tree("\"A\": {\"type\": \"STRUCT\", \"members\": {\"x\": {\"type\": 2, \"value\": 300}}}"),
                                                                 "variables.\"A\".members.x.value: value 300 does not fit SINT8"},
    {tree("\"A.B\": {\"type\": 1}, \"A.B\": {\"type\": 1}"),     "the variable is defined twice"},
    {tree("\"A\": {\"type\": 6}, \"A.B\": {\"type\": 1}"),       "'A' is a UINT8, not a STRUCT or DIRECTORY"},
    {tree("\"A..B\": {\"type\": 1}"),                            "empty level in the path"},
    {tree("\"A[1]\": {\"type\": 1}"),                            "cannot name an array element"},
    {tree("\"A\": {\"type\": \"ARRAY\", \"elements\": [], \"elementType\": 6, \"values\": []}"), "either \"elements\" or"},
    {tree("\"A\": {\"type\": \"ARRAY\", \"elementType\": \"STRUCT\", \"values\": [1]}"), "needs a scalar or STRING element type"},
    {tree("\"A\": {\"type\": \"ARRAY\", \"elementType\": 6, \"values\": [1, 999]}"), "variables.\"A\".values[1]: value 999 does not fit UINT8"},
    {tree("\"A\": {\"type\": \"ARRAY\", \"lowerBound\": \"1\"}"), "\"lowerBound\" must be a 32-bit integer"},
    {tree("\"A\": {\"type\": 6, \"fault\": {\"close\": 1}}"),     "variables.\"A\".fault.close: unknown operation"},
    {tree("\"A\": {\"type\": 6, \"fault\": {\"read\": \"0xZZ\"}}"), "a status must be a 32-bit unsigned number"},
    {tree("\"A\": {\"type\": 22, \"simulate\": {\"kind\": \"sine\"}}"), "only numeric and BOOL variables can be simulated"},
    {tree("\"A\": {\"type\": 6, \"simulate\": {\"kind\": \"noise\"}}"), "must be \"counter\", \"sine\" or \"toggle\""},
    {tree("\"A\": {\"type\": 6, \"simulate\": {\"kind\": \"counter\", \"periodMs\": 0}}"), "must be a positive whole number"},
    {tree("\"A\": {\"type\": 6, \"vaule\": 1}"),                  "variables.\"A\".vaule: unknown key"},
    {tree("\"A\": {\"type\": 6, \"valid\": 0}"),                  "\"valid\" must be true or false"},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_NE(loadError(c.json).find(c.expected), std::string::npos)
        << "input: " << c.json << "\nmessage: " << loadError(c.json);
  }
}

TEST(KalpStoreTreeFile, DeepNestingIsRefusedNotACrash) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += R"({"type": "STRUCT", "members": {"m": )";
  deep += R"({"type": 1})";
  for (int i = 0; i < 100000; ++i) deep += "}}";
  EXPECT_NE(loadError(tree("\"A\": " + deep)).find("nested deeper than 200 levels"), std::string::npos);
}

TEST(KalpStoreTreeFile, DottedLevelsCountTowardTheDepthLimit) {
  auto path = [](int levels) {
    std::string p = "a";
    for (int i = 1; i < levels; ++i) p += ".a";
    return p;
  };
  auto nested = [](int levels) {
    std::string node = R"({"type": "UINT8"})";
    for (int i = 0; i < levels; ++i) node = R"({"type": "STRUCT", "members": {"m": )" + node + "}}";
    return node;
  };
  // The limit holds whole: a tree of 200 levels loads and dumps, one of 201 is refused, with the
  // file, the (cut) key and the count of levels, however the levels are made.
  Store store;
  store.load(tree("\"" + path(150) + "\": " + nested(50)));
  std::string dump;
  ASSERT_EQ(store.dump("", dump), KALPAPI_OK);
  Store again;
  again.load(dump);
  std::string members;
  for (int i = 0; i < 50; ++i) members += ".m";
  EXPECT_EQ(again.getText(path(150) + members), "0");
  EXPECT_NE(loadError(tree("\"" + path(150) + "\": " + nested(51))).find("nested deeper than 200 levels"),
            std::string::npos);
  const std::string deep = loadError(tree("\"" + path(201) + "\": {\"type\": 1}"));
  EXPECT_NE(deep.find("test.json: variables.\"a.a.a"), std::string::npos) << deep;
  EXPECT_NE(deep.find("the path has 201 levels, more than the 200"), std::string::npos) << deep;
  const std::string huge = loadError(tree("\"" + path(20000) + "\": {\"type\": 1}"));
  EXPECT_NE(huge.find("...(39999 bytes)"), std::string::npos) << huge.substr(0, 300);
  EXPECT_LT(huge.size(), 400u);
  // Levels are found by path: siblings under one folder, and a folder met again later.
  std::string many;
  for (int i = 0; i < 2000; ++i)
    many += (i ? ", " : "") + ("\"F.V" + std::to_string(i) + "\": {\"type\": 6}");
  store.load(tree(many + ", \"G.A\": {\"type\": 6}, \"F.W\": {\"type\": 6}"));
  EXPECT_EQ(store.getText("F.V1999"), "0");
  EXPECT_EQ(store.getText("F.W"), "0");
  EXPECT_NE(loadError(tree(many + ", \"F.V3\": {\"type\": 6}")).find("defined twice"), std::string::npos);
  EXPECT_NE(loadError(tree(many + ", \"F.V3.X\": {\"type\": 6}")).find("'F.V3' is a UINT8"),
            std::string::npos);
}

TEST(KalpStoreHandles, BelongToTheirOwnerUpToItsLimitAndAreFreedWithIt) {
  Store store;
  store.load(tree("\"A.U\": {\"type\": \"UINT32\", \"value\": 5}"));
  store.setHandleLimit(3);
  const Store::Owner mine = 100, theirs = 200;
  uint32_t h = 0, d = 0, type = 0, value = 0;
  ASSERT_EQ(store.open("A.U", h, mine), KALPAPI_OK);
  ASSERT_EQ(store.openDir("A", d, mine), KALPAPI_OK);
  // Another owner's handle is an invalid handle for every call, closing included.
  kalpstore::DirEntryData entry;
  EXPECT_EQ(store.getType(h, type, theirs), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.read(h, &value, 4, theirs), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.write(h, &value, 4, theirs), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.close(h, theirs), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.readDir(d, entry, theirs), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.closeDir(d, theirs), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.read(h, &value, 4, mine), KALPAPI_OK);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(store.readDir(d, entry, mine), KALPAPI_OK);
  // The limit counts handles and walks of one owner; closing one makes room.
  uint32_t h2 = 0, h3 = 0;
  ASSERT_EQ(store.open("A.U", h2, mine), KALPAPI_OK);
  EXPECT_EQ(store.open("A.U", h3, mine), KALPAPI_E_TOO_MANY_HANDLES);
  EXPECT_EQ(store.openDir("A", h3, mine), KALPAPI_E_TOO_MANY_HANDLES);
  EXPECT_EQ(store.open("A.U", h3, theirs), KALPAPI_OK);
  EXPECT_EQ(store.close(h2, mine), KALPAPI_OK);
  EXPECT_EQ(store.open("A.U", h2, mine), KALPAPI_OK);
  // Released with its owner: every handle and walk goes, the other owner's stay.
  store.release(mine);
  EXPECT_EQ(store.openHandleCount(), 1u);
  EXPECT_EQ(store.openDirCount(), 0u);
  EXPECT_EQ(store.read(h, &value, 4, mine), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.read(h3, &value, 4, theirs), KALPAPI_OK);
  // Numbers tell nothing about the next one: no two of a run of handles are neighbours.
  store.setHandleLimit(0);
  std::vector<uint32_t> handles(1000);
  for (auto& each : handles) ASSERT_EQ(store.open("A.U", each, mine), KALPAPI_OK);
  int neighbours = 0;
  for (size_t i = 1; i < handles.size(); ++i) neighbours += handles[i] - handles[i - 1] < 1000;
  EXPECT_LT(neighbours, 5);
}

TEST(KalpStoreTreeFile, FailedLoadKeepsTheOldTreeAndFileErrorsNameTheFile) {
  Store store;
  store.load(tree("\"A.B\": {\"type\": \"UINT8\", \"value\": 7}"));
  EXPECT_THROW(store.load(tree("\"A.B\": {\"type\": \"UINT8\", \"value\": 700}")), std::runtime_error);
  EXPECT_EQ(store.getText("A.B"), "7");
  try {
    store.loadFile("/nonexistent/tree.json");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/tree.json: cannot open the file"), std::string::npos);
  }
}

TEST(KalpStoreTypes, EveryTypeCodeHasItsSizeTextAndRawBytes) {
  struct Case {
    std::string type;
    std::string json;
    std::string text;
    uint32_t code;
    size_t size;
  };
  // clang-format off
  const Case cases[] = {
    {"\"BOOL\"",          "true",                    "TRUE",                  1, 1},
    {"\"BOOL\"",          "2",                       "TRUE",                  1, 1},
    {"\"BOOL\"",          "false",                   "FALSE",                 1, 1},
    {"\"SINT8\"",         "-128",                    "-128",                  2, 1},
    {"\"SINT16\"",        "-32768",                  "-32768",                3, 2},
    {"\"SINT32\"",        "-2147483648",             "-2147483648",           4, 4},
    {"\"SINT64\"",        "-9223372036854775808",    "-9223372036854775808",  5, 8},
    {"\"UINT8\"",         "255",                     "255",                   6, 1},
    {"\"UINT16\"",        "65535",                   "65535",                 7, 2},
    {"\"UINT32\"",        "4294967295",              "4294967295",            8, 4},
    {"\"UINT64\"",        "18446744073709551615",    "18446744073709551615",  9, 8},
    {"\"REAL\"",          "1.5",                     "1.5",                  10, 4},
    {"\"LREAL\"",         "0.1",                     "0.1",                  11, 8},
    {"\"BYTE\"",          "200",                     "200",                  12, 1},
    {"\"WORD\"",          "60000",                   "60000",                13, 2},
    {"\"DWORD\"",         "4000000000",              "4000000000",           14, 4},
    {"\"LWORD\"",         "18000000000000000000",    "18000000000000000000", 15, 8},
    {"\"TIME\"",          "5000",                    "5000",                 16, 8},
    {"\"DATE\"",          "1700000000",              "1700000000",           17, 8},
    {"\"TIME_OF_DAY\"",   "3600000",                 "3600000",              18, 8},
    {"\"DATE_AND_TIME\"", "1700000000000",           "1700000000000",        19, 8},
    {"54",                "18446744073709551615",    "18446744073709551615", 54, 8},
    {"57",                "1",                       "1",                    57, 8},
    {"\"STRING\"",        "\"hello\"",               "hello",                22, 5},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type + " " + c.json);
    Store store;
    store.load(tree("\"V\": {\"type\": " + c.type + ", \"value\": " + c.json + "}"));
    uint32_t handle = 0, type = 0;
    ASSERT_EQ(store.open("V", handle), KALPAPI_OK);
    ASSERT_EQ(store.getType(handle, type), KALPAPI_OK);
    EXPECT_EQ(type, c.code);
    EXPECT_EQ(store.getText("V"), c.text);
    std::string text;
    EXPECT_EQ(store.readText("V", text), KALPAPI_OK);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(store.getRaw("V").size(), c.size);
    // The text form reads back to the same bytes (BOOL 2 becomes 1: text has only TRUE/FALSE).
    auto before = store.getRaw("V");
    ASSERT_EQ(store.writeText("V", c.text), KALPAPI_OK);
    if (c.json != "2") {
      EXPECT_EQ(store.getRaw("V"), before);
    }
  }
}

TEST(KalpStoreTypes, TextThatDoesNotFitIsRejectedAndChangesNothing) {
  struct Case {
    const char* type;
    const char* text;
  };
  // clang-format off
  const Case rejected[] = {
    {"UINT8", "256"}, {"UINT8", "-1"}, {"UINT8", ""}, {"UINT8", "1 "}, {"SINT8", "128"}, {"SINT8", "-129"},
    {"SINT32", "1.5"}, {"UINT16", "12a"}, {"UINT64", "18446744073709551616"}, {"BOOL", "2"}, {"BOOL", "yes"},
    {"REAL", "1e39"}, {"REAL", "x"}, {"LREAL", "1e400"}, {"LREAL", ""}, {"STRUCT", "1"},
    // NaN bit patterns: wider than the type, not a NaN, or not in the form a dump writes.
    {"REAL", "NaN(0x7ff0000000000001)"}, {"REAL", "NaN(0x3f800000)"}, {"REAL", "NaN(0x7f801)"},
    {"REAL", "nan(0x7f800001)"}, {"LREAL", "NaN(0x7f800001)"}, {"LREAL", "NaN(0x17ff0000000000001)"},
  };
  // clang-format on
  for (const auto& c : rejected) {
    SCOPED_TRACE(std::string(c.type) + " '" + c.text + "'");
    Store store;
    bool structured = std::string(c.type) == "STRUCT";
    store.load(tree(std::string("\"V\": {\"type\": \"") + c.type + "\"" +
                    (structured ? "" : ", \"value\": 1") + "}"));
    std::string why;
    EXPECT_EQ(store.writeText("V", c.text, &why), KALPAPI_E_INVALID_PARAMETER);
    EXPECT_FALSE(why.empty());
    if (!structured) {
      EXPECT_EQ(store.getText("V"), c.type == std::string("BOOL") ? "TRUE" : "1");
    }
  }
  Store store;
  store.load(
      tree("\"U\": {\"type\": \"DWORD\"}, \"B\": {\"type\": \"BOOL\"}, \"S\": {\"type\": \"SINT16\"}"));
  EXPECT_EQ(store.writeText("U", "0xff"), KALPAPI_OK);
  EXPECT_EQ(store.getText("U"), "255");
  EXPECT_EQ(store.writeText("B", "true"), KALPAPI_OK);
  EXPECT_EQ(store.getRaw("B"), std::vector<uint8_t>{1});
  EXPECT_EQ(store.writeText("B", "0"), KALPAPI_OK);
  EXPECT_EQ(store.getText("B"), "FALSE");
  EXPECT_EQ(store.writeText("S", "+12"), KALPAPI_OK);
  EXPECT_EQ(store.getText("S"), "12");
  EXPECT_EQ(store.writeText("Missing", "1"), KALPAPI_E_NOT_FOUND);

  // A NaN's bits are written as given, as `kalpvar dump` shows them; a wider pattern says so.
  store.load(tree("\"R\": {\"type\": \"REAL\"}, \"L\": {\"type\": \"LREAL\"}"));
  EXPECT_EQ(store.writeText("R", "NaN(0x7f800001)"), KALPAPI_OK);
  EXPECT_EQ(store.getRaw("R"), (std::vector<uint8_t>{0x01, 0x00, 0x80, 0x7f}));
  EXPECT_EQ(store.writeText("L", "NaN(0xfff0000000000123)"), KALPAPI_OK);
  EXPECT_EQ(store.getRaw("L"), (std::vector<uint8_t>{0x23, 0x01, 0, 0, 0, 0, 0xf0, 0xff}));
  std::string why;
  EXPECT_EQ(store.writeText("R", "NaN(0x7ff0000000000001)", &why), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_NE(why.find("wider than REAL (8 hex digits)"), std::string::npos) << why;
  EXPECT_EQ(store.writeText("R", "nan"), KALPAPI_OK);  // a plain NaN text as before
}

TEST(KalpStoreRaw, ScalarCountsStringCutsAndValuelessTypes) {
  Store store;
  store.load(tree(R"("U": {"type": "UINT32", "value": 305419896},
                     "S": {"type": "STRING", "value": "abc"},
                     "Long": {"type": "STRING", "value": ")" +
                  std::string(300, 'x') + R"("},
                     "T20": {"type": 20}, "T21": {"type": 21}, "T0": {"type": 0})"));
  uint32_t u = 0, s = 0, l = 0;
  ASSERT_EQ(store.open("U", u), KALPAPI_OK);
  ASSERT_EQ(store.open("S", s), KALPAPI_OK);
  ASSERT_EQ(store.open("Long", l), KALPAPI_OK);

  uint8_t bytes[8];
  std::memset(bytes, 0xee, sizeof bytes);
  EXPECT_EQ(store.read(u, bytes, 2), KALPAPI_OK);  // fewer bytes: the low-order part
  EXPECT_EQ(bytes[0], 0x78);
  EXPECT_EQ(bytes[1], 0x56);
  EXPECT_EQ(bytes[2], 0xee);
  EXPECT_EQ(store.read(u, bytes, 8), KALPAPI_E_INVALID_PARAMETER);  // more than the value
  EXPECT_EQ(bytes[2], 0xee);
  const uint64_t eight = 1;
  EXPECT_EQ(store.write(u, &eight, 8), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.write(u, &eight, 2), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.getText("U"), "305419896");
  const uint32_t four = 7;
  EXPECT_EQ(store.write(u, &four, 4), KALPAPI_OK);
  EXPECT_EQ(store.getText("U"), "7");

  char text[256];
  std::memset(text, 'z', sizeof text);
  EXPECT_EQ(store.read(s, text, sizeof text), KALPAPI_OK);  // text, then zeros to the count
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(text[255], '\0');
  EXPECT_EQ(store.read(s, text, 2), KALPAPI_OK);
  EXPECT_EQ(std::string(text, 2), "ab");
  EXPECT_EQ(store.read(l, text, sizeof text), KALPAPI_OK);  // 300 bytes cut to the 256 asked for
  EXPECT_EQ(std::string(text, 256), std::string(256, 'x'));
  EXPECT_EQ(store.write(s, "new\0tail", 8), KALPAPI_OK);  // up to the first NUL
  EXPECT_EQ(store.getText("S"), "new");
  EXPECT_EQ(store.write(s, "", 0), KALPAPI_OK);
  EXPECT_EQ(store.getText("S"), "");

  for (const char* path : {"T20", "T21", "T0"}) {
    uint32_t h = 0, type = 99;
    ASSERT_EQ(store.open(path, h), KALPAPI_OK) << path;
    EXPECT_EQ(store.getType(h, type), KALPAPI_OK);
    EXPECT_EQ(type, static_cast<uint32_t>(std::stoi(path + 1)));
    EXPECT_EQ(store.read(h, bytes, 1), KALPAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(store.close(h), KALPAPI_OK);
  }
  EXPECT_EQ(store.close(u), KALPAPI_OK);
  EXPECT_EQ(store.close(u), KALPAPI_E_INVALID_PARAMETER);  // closed handle
  EXPECT_EQ(store.read(u, bytes, 4), KALPAPI_E_INVALID_PARAMETER);
  uint32_t type;
  EXPECT_EQ(store.getType(0, type), KALPAPI_E_INVALID_PARAMETER);
  uint32_t h;
  EXPECT_EQ(store.open("", h), KALPAPI_E_NOT_FOUND);
  EXPECT_EQ(store.open("U.x", h), KALPAPI_E_NOT_FOUND);
}

TEST(KalpStoreWalk, EntriesInOrderWithNamesSeparatorsAndValidity) {
  Store store;
  store.load(tree(R"("P.Arr": {"type": "ARRAY", "lowerBound": 1, "elementType": "UINT8", "values": [10, 20]},
                     "P.S": {"type": "STRUCT", "members": {"z": {"type": 6}, "a": {"type": 6, "valid": false},
                             "Sub": {"type": "STRUCT"}}},
                     "P.Neg": {"type": "ARRAY", "lowerBound": -1, "elements": [{"type": 1}, {"type": "STRUCT",
                             "members": {"x": {"type": 2, "value": -3}}}]},
                     "P.Empty": {"type": "ARRAY"}, "P.Scalar": {"type": 6})"));
  auto walk = [&](const std::string& path) {
    std::vector<std::string> out;
    uint32_t d = 0;
    uint32_t status = store.openDir(path, d);
    if (status != KALPAPI_OK) return std::vector<std::string>{"status " + std::to_string(status)};
    kalpstore::DirEntryData e;
    while ((status = store.readDir(d, e)) == KALPAPI_OK)
      out.push_back(std::to_string(e.valid) + "|" + e.separator + "|" + e.memberName);
    EXPECT_EQ(status, KALPAPI_E_NO_MORE_ENTRIES);
    EXPECT_EQ(store.readDir(d, e), KALPAPI_E_NO_MORE_ENTRIES);  // still the end
    EXPECT_EQ(store.closeDir(d), KALPAPI_OK);
    EXPECT_EQ(store.readDir(d, e), KALPAPI_E_INVALID_PARAMETER);  // closed
    return out;
  };
  EXPECT_EQ(walk(""), (std::vector<std::string>{"1|.|P"}));
  EXPECT_EQ(walk("P"), (std::vector<std::string>{"1|.|Arr", "1|.|S", "1|.|Neg", "1|.|Empty", "1|.|Scalar"}));
  EXPECT_EQ(walk("P.Arr"), (std::vector<std::string>{"1||[1]", "1||[2]"}));
  EXPECT_EQ(walk("P.S"), (std::vector<std::string>{"1|.|z", "0|.|a", "1|.|Sub"}));
  EXPECT_EQ(walk("P.Neg"), (std::vector<std::string>{"1||[-1]", "1||[0]"}));
  EXPECT_EQ(store.getText("P.Arr[2]"), "20");
  EXPECT_EQ(store.getText("P.Neg[0].x"), "-3");
  uint32_t d = 0;
  EXPECT_EQ(store.openDir("P.Empty", d), KALPAPI_E_NO_MORE_ENTRIES);
  EXPECT_EQ(store.openDir("P.S.Sub", d), KALPAPI_E_NO_MORE_ENTRIES);
  EXPECT_EQ(store.openDir("P.Scalar", d), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.openDir("P.Nope", d), KALPAPI_E_NOT_FOUND);
  EXPECT_EQ(store.openDirCount(), 0u);
}

TEST(KalpStoreFaults, EachOperationAnswersItsInjectedStatusUntilCleared) {
  Store store;
  store.load(tree(R"("D": {"type": "DIRECTORY", "members": {"V": {"type": "UINT16", "value": 5}}},
                     "F": {"type": "UINT8", "fault": {"read": "0x81000005", "write": 2164262148}})"));
  uint32_t h = 0, d = 0, type = 0;
  uint16_t v = 0;
  kalpstore::DirEntryData e;
  std::string text;
  // Each row: operation name, call that exercises it on D / D.V.
  const std::pair<const char*, std::function<uint32_t()>> calls[] = {
      {"open", [&] { return store.open("D.V", h); }},     {"type", [&] { return store.getType(h, type); }},
      {"read", [&] { return store.read(h, &v, 2); }},     {"write", [&] { return store.write(h, &v, 2); }},
      {"opendir", [&] { return store.openDir("D", d); }}, {"readdir", [&] { return store.readDir(d, e); }},
  };
  ASSERT_EQ(store.open("D.V", h), KALPAPI_OK);
  ASSERT_EQ(store.openDir("D", d), KALPAPI_OK);
  for (const auto& call : calls) {
    SCOPED_TRACE(call.first);
    std::string path = std::string(call.first).find("dir") != std::string::npos ? "D" : "D.V";
    ASSERT_EQ(store.setFault(path, call.first, KALPAPI_E_ACCESS_DENIED), KALPAPI_OK);
    EXPECT_EQ(call.second(), KALPAPI_E_ACCESS_DENIED);
    ASSERT_EQ(store.setFault(path, call.first, 0), KALPAPI_OK);
    EXPECT_EQ(call.second(), KALPAPI_OK);
  }
  EXPECT_EQ(store.readText("F", text), KALPAPI_E_UNKNOWN);  // text access follows read/write faults
  EXPECT_EQ(store.writeText("F", "1"), KALPAPI_E_ACCESS_DENIED);
  EXPECT_EQ(store.setFault("F", "close", 1), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(store.setFault("Nope", "read", 1), KALPAPI_E_NOT_FOUND);
}

TEST(KalpStoreDump, DumpLoadsBackToTheSameTree) {
  Store store;
  store.load(tree(R"("APPL.P": {"type": "STRUCT", "members": {
                       "B": {"type": "BOOL", "value": 2, "valid": false},
                       "R": {"type": "REAL", "value": 0.1, "fault": {"read": "0x81000504"}},
                       "Arr": {"type": "ARRAY", "lowerBound": 3, "elementType": "STRING", "values": ["a", "b"]},
                       "C": {"type": "UINT8", "value": 250, "simulate": {"kind": "counter", "periodMs": 50}},
                       "X": {"type": 21}}})",
                  "\"deviceState\": 200, "));
  std::string first, second;
  ASSERT_EQ(store.dump("", first), KALPAPI_OK);
  Store again;
  again.load(first);
  ASSERT_EQ(again.dump("", second), KALPAPI_OK);
  EXPECT_EQ(first, second);
  EXPECT_EQ(again.deviceState(), 200u);
  std::string part;
  ASSERT_EQ(store.dump("APPL.P.Arr", part), KALPAPI_OK);
  EXPECT_NE(part.find("\"APPL.P.Arr\":{\"type\":\"ARRAY\",\"lowerBound\":3"), std::string::npos) << part;
  EXPECT_EQ(store.dump("APPL.Nope", part), KALPAPI_E_NOT_FOUND);
}

TEST(KalpStoreDump, RealsLoadBackBitForBitNonFiniteOnesIncluded) {
  // REAL and LREAL bit patterns: NaNs (usual, negative, with payload, signalling), infinities,
  // signed zero, extremes; then random LREAL bits, whose shortest decimal text must parse back
  // to the same double.
  const std::vector<uint32_t> reals = {0x7fc00000, 0xffc00000, 0x7fc00001, 0x7f800001, 0x7f800000,
                                       0xff800000, 0x80000000, 0x00000001, 0x7f7fffff, 0x3dcccccd};
  std::vector<uint64_t> lreals = {
      0x7ff8000000000000, 0xfff8000000000000, 0x7ff8000000000123, 0x7ff0000000000001, 0x7ff0000000000000,
      0xfff0000000000000, 0x8000000000000000, 0x0000000000000001, 0x7fefffffffffffff, 0x3fb999999999999a};
  std::mt19937_64 random(15);
  while (lreals.size() < 500) {
    uint64_t bits = random();
    if ((bits >> 52 & 0x7ff) != 0x7ff) lreals.push_back(bits);
  }
  auto array = [](const char* type, size_t n) {
    return std::string("{\"type\": \"ARRAY\", \"elementType\": \"") + type + "\", \"values\": [" + [&] {
      std::string zeros;
      for (size_t i = 0; i < n; ++i) zeros += i ? ",0" : "0";
      return zeros;
    }() + "]}";
  };
  Store store;
  store.load(tree("\"R\": " + array("REAL", reals.size()) + ", \"L\": " + array("LREAL", lreals.size())));
  auto bytes = [](const void* p, size_t n) {
    return std::vector<uint8_t>(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  for (size_t i = 0; i < reals.size(); ++i) store.setRaw("R[" + std::to_string(i) + "]", bytes(&reals[i], 4));
  for (size_t i = 0; i < lreals.size(); ++i)
    store.setRaw("L[" + std::to_string(i) + "]", bytes(&lreals[i], 8));
  std::string dump;
  ASSERT_EQ(store.dump("", dump), KALPAPI_OK);
  EXPECT_NE(dump.find(R"({"type":"REAL","value":"NaN"})"), std::string::npos) << dump.substr(0, 400);
  EXPECT_NE(dump.find(R"x("value":"NaN(0xffc00000)")x"), std::string::npos);
  EXPECT_NE(dump.find(R"("value":"-Infinity")"), std::string::npos);
  Store again;
  again.load(dump);
  for (size_t i = 0; i < reals.size(); ++i)
    EXPECT_EQ(again.getRaw("R[" + std::to_string(i) + "]"), bytes(&reals[i], 4))
        << "REAL " << std::hex << reals[i];
  for (size_t i = 0; i < lreals.size(); ++i)
    EXPECT_EQ(again.getRaw("L[" + std::to_string(i) + "]"), bytes(&lreals[i], 8))
        << "LREAL " << std::hex << lreals[i];
}

TEST(KalpStoreSimulation, CounterWrapsAndToggleFlipsOncePerPeriod) {
  Store store;
  store.load(tree(R"("C": {"type": "UINT8", "value": 254, "simulate": {"kind": "counter", "periodMs": 100}},
                     "T": {"type": "BOOL", "simulate": {"kind": "toggle", "periodMs": 100}},
                     "S": {"type": "SINT16", "simulate": {"kind": "sine", "periodMs": 1000, "amplitude": 50}})"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(store.tick(start));
  EXPECT_EQ(store.getText("C"), "254");  // nothing due yet
  store.tick(start + std::chrono::milliseconds(150));
  EXPECT_EQ(store.getText("C"), "255");
  EXPECT_EQ(store.getText("T"), "TRUE");
  store.tick(start + std::chrono::milliseconds(260));
  EXPECT_EQ(store.getText("C"), "0");
  EXPECT_EQ(store.getText("T"), "FALSE");
  int sine = std::stoi(store.getText("S"));
  EXPECT_GE(sine, -50);
  EXPECT_LE(sine, 50);
}
