// libFuzzer target: every input is a received JSON payload, written through payloadToVariables
// into an in-process tree that holds each variable type once (scalars, strings, structs, nested
// arrays, arrays of structs, value-less types), once with UTF-8 and once with Latin-1 STRINGs.
// Payload problems must only be traced: any exception is a finding. Then the tree, holding
// whatever bytes the payload left in its strings, is encoded; the payload must be valid UTF-8
// JSON.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "GVPvariable.h"
#include "KalpInproc.h"
#include "PayloadCodec.h"
#include "Trace.h"

namespace {

const char* kTree = R"({"variables": {
  "APPL.F.xOn":    {"type": "BOOL", "value": 0},
  "APPL.F.i8":     {"type": "SINT8", "value": 0},
  "APPL.F.i16":    {"type": "SINT16", "value": 0},
  "APPL.F.i32":    {"type": "SINT32", "value": 0},
  "APPL.F.i64":    {"type": "SINT64", "value": 0},
  "APPL.F.u8":     {"type": "UINT8", "value": 0},
  "APPL.F.u16":    {"type": "UINT16", "value": 0},
  "APPL.F.u32":    {"type": "UINT32", "value": 0},
  "APPL.F.u64":    {"type": "UINT64", "value": 0},
  "APPL.F.by":     {"type": "BYTE", "value": 0},
  "APPL.F.w":      {"type": "WORD", "value": 0},
  "APPL.F.dw":     {"type": "DWORD", "value": 0},
  "APPL.F.lw":     {"type": "LWORD", "value": 0},
  "APPL.F.k54":    {"type": 54, "value": 0},
  "APPL.F.r":      {"type": "REAL", "value": 0.0},
  "APPL.F.lr":     {"type": "LREAL", "value": 0.0},
  "APPL.F.t":      {"type": "TIME", "value": 0},
  "APPL.F.d":      {"type": "DATE", "value": 0},
  "APPL.F.tod":    {"type": "TIME_OF_DAY", "value": 0},
  "APPL.F.dt":     {"type": "DATE_AND_TIME", "value": 0},
  "APPL.F.s":      {"type": "STRING", "value": ""},
  "APPL.F.t20":    {"type": 20},
  "APPL.F.t23":    {"type": 23},
  "APPL.F.a":      {"type": "ARRAY", "lowerBound": -2, "elementType": "SINT16", "values": [0, 0, 0, 0]},
  "APPL.F.aEmpty": {"type": "ARRAY", "elements": []},
  "APPL.F.aa":     {"type": "ARRAY", "elements": [
                     {"type": "ARRAY", "elementType": "UINT8", "values": [0, 0]},
                     {"type": "ARRAY", "lowerBound": 3, "elementType": "STRING", "values": ["", ""]}]},
  "APPL.F.recs":   {"type": "ARRAY", "lowerBound": 1, "elements": [
                     {"type": "STRUCT", "members": {"v": {"type": "UINT8", "value": 0},
                                                    "s": {"type": "STRING", "value": ""}}},
                     {"type": "STRUCT", "members": {"v": {"type": "UINT8", "value": 0},
                                                    "s": {"type": "STRING", "value": ""}}}]},
  "APPL.F.m":      {"type": "STRUCT", "members": {
                     "xOn": {"type": "BOOL", "value": 0},
                     "r": {"type": "LREAL", "value": 0.0},
                     "in": {"type": "STRUCT", "members": {
                       "a": {"type": "ARRAY", "elementType": "REAL", "values": [0.0, 0.0]},
                       "e": {"type": "STRUCT", "members": {}}}}}}
}})";

std::vector<std::shared_ptr<GVPvariable>>& tree() {
  static std::vector<std::shared_ptr<GVPvariable>> nodes = [] {
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    kalpinproc::loadTree(kTree);
    std::vector<std::shared_ptr<GVPvariable>> built;
    for (const char* name :
         {"xOn", "i8", "i16", "i32", "i64", "u8", "u16", "u32", "u64", "by", "w",      "dw", "lw",   "k54",
          "r",   "lr", "t",   "d",   "tod", "dt", "s",   "t20", "t23", "a",  "aEmpty", "aa", "recs", "m"}) {
      built.push_back(std::make_shared<GVPvariable>("APPL.F.", name, false));
    }
    // Every trace text is built and written (scripts/fuzz closes the target's standard error
    // with -close_fd_mask=2; libFuzzer and the sanitizers keep their own copy of it).
    setTraceLevel(4);
    return built;
  }();
  return nodes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& nodes = tree();
  const std::string payload(reinterpret_cast<const char*>(data), size);
  for (const StringEncoding encoding : {StringEncoding::kLatin1, StringEncoding::kUtf8}) {
    setStringEncoding(encoding);
    payloadToVariables(payload, nodes);
    rapidjson::StringBuffer buffer;
    toJSON(nodes, buffer);
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(buffer.GetString(), buffer.GetSize());
    if (document.HasParseError()) std::abort();
  }
  return 0;
}
