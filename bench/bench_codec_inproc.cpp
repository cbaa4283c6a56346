// The payload codec's cost per scalar member, over the in-process store (no socket to hide it).
//
// A struct of 100 scalars (SINT32, LREAL, BOOL, UINT16, REAL) is encoded with toJSON and the
// payload written back with payloadToVariables. Each is measured in alternating pairs of blocks
// against two references doing the same document's work in the same run:
//   - bare RapidJSON: a Writer over a StringBuffer writing the same document from values in
//     memory, or a Document parsing the same payload;
//   - bare RapidJSON + store: the same, plus one KalpApiVarRead (KalpApiVarWrite) per scalar,
//     the work no encoder (decoder) over the store can avoid.
// Prints the rates per scalar, and for each reference the median pair ratio with its middle half.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sched.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "PayloadCodec.h"

namespace {

constexpr int kScalars = 100;
constexpr int kPairs = 15;
constexpr auto kBlock = std::chrono::milliseconds(100);

enum class Kind { Sint32, Lreal, Bool, Uint16, Real };
struct KindInfo {
  Kind kind;
  const char* typeName;
  uint16_t bytes;
};
const KindInfo kKinds[] = {{Kind::Sint32, "SINT32", 4},
                           {Kind::Lreal, "LREAL", 8},
                           {Kind::Bool, "BOOL", 1},
                           {Kind::Uint16, "UINT16", 2},
                           {Kind::Real, "REAL", 4}};
constexpr int kKindCount = sizeof kKinds / sizeof kKinds[0];

std::string valueText(int i) {
  switch (kKinds[i % kKindCount].kind) {
    case Kind::Sint32:
      return std::to_string(-70000 * i);
    case Kind::Lreal:
      return std::to_string(i) + ".37";
    case Kind::Bool:
      return i % 2 ? "true" : "false";
    case Kind::Uint16:
      return std::to_string(600 * i);
    case Kind::Real:
      return std::to_string(i) + ".25";
  }
  return "0";
}

// Alternates the service's round with each reference's, pair by pair, and prints the result.
template <typename Service>
void comparePairs(const char* what, Service&& service,
                  const std::vector<std::pair<const char*, std::function<void()>>>& references) {
  service();
  for (const auto& reference : references) reference.second();
  std::vector<double> serviceRates;
  std::vector<std::vector<double>> referenceRates(references.size()), ratios(references.size());
  for (int pair = 0; pair < kPairs; ++pair) {
    for (size_t r = 0; r < references.size(); ++r) {
      const auto [own, bare] = bench::inTurn(
          pair + static_cast<int>(r), [&] { return bench::ratePerSecond(service, kBlock, kScalars); },
          [&] { return bench::ratePerSecond(references[r].second, kBlock, kScalars); });
      serviceRates.push_back(own);
      referenceRates[r].push_back(bare);
      ratios[r].push_back(bare / own);  // cost ratio: service time over reference time
    }
  }
  const double ownNs = 1e9 / bench::median(serviceRates);
  std::printf("codec_inproc: %s: %.1f ns per scalar (median of %zu blocks)\n", what, ownNs,
              serviceRates.size());
  for (size_t r = 0; r < references.size(); ++r) {
    std::printf("codec_inproc: %s: %s: %.1f ns per scalar; cost ratio %s\n", what, references[r].first,
                1e9 / bench::median(referenceRates[r]), bench::ratioSummary(ratios[r]).c_str());
  }
}

}  // namespace

int main() {
  try {
    // One CPU for the whole run, so that the pairs see the same core.
    bench::pin(sched_getcpu());

    std::string json = R"({"variables": {"APPL.Bench.data": {"type": "STRUCT", "members": {)";
    for (int i = 0; i < kScalars; ++i) {
      if (i > 0) json += ",";
      json += "\"member" + std::to_string(i) + "\": {\"type\": \"" + kKinds[i % kKindCount].typeName +
              "\", \"value\": " + valueText(i) + "}";
    }
    json += "}}}}";
    kalpinproc::loadTree(json);
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    const std::vector<std::shared_ptr<GVPvariable>> variables = {
        std::make_shared<GVPvariable>("APPL.Bench.", "data", false)};

    std::vector<uint32_t> handles(kScalars);
    std::vector<std::string> names(kScalars);
    for (int i = 0; i < kScalars; ++i) {
      names[i] = "member" + std::to_string(i);
      const std::string path = "APPL.Bench.data." + names[i];
      if (KalpApiVarOpenHdlA(path.c_str(), &handles[i]) != KALPAPI_OK)
        throw std::runtime_error("open " + path);
    }

    // The document both directions use.
    rapidjson::StringBuffer payloadBuffer;
    toJSON(variables, payloadBuffer);
    const std::string payload(payloadBuffer.GetString(), payloadBuffer.GetSize());

    // Values read once, for the bare writer.
    struct Value {
      int64_t integer = 0;
      double real = 0;
      bool flag = false;
    };
    std::vector<Value> values(kScalars);
    auto readValue = [&](int i, Value& value) {
      uint8_t bytes[8] = {};
      if (KalpApiVarRead(bytes, handles[i], kKinds[i % kKindCount].bytes) != KALPAPI_OK) {
        throw std::runtime_error("read");
      }
      switch (kKinds[i % kKindCount].kind) {
        case Kind::Sint32: {
          int32_t v;
          std::memcpy(&v, bytes, 4);
          value.integer = v;
          break;
        }
        case Kind::Lreal:
          std::memcpy(&value.real, bytes, 8);
          break;
        case Kind::Bool:
          value.flag = bytes[0] != 0;
          break;
        case Kind::Uint16: {
          uint16_t v;
          std::memcpy(&v, bytes, 2);
          value.integer = v;
          break;
        }
        case Kind::Real: {
          float v;
          std::memcpy(&v, bytes, 4);
          value.real = v;
          break;
        }
      }
    };
    for (int i = 0; i < kScalars; ++i) readValue(i, values[i]);

    rapidjson::StringBuffer bareBuffer;
    auto bareWrite = [&](bool withReads) {
      bareBuffer.Clear();
      rapidjson::Writer<rapidjson::StringBuffer> writer(bareBuffer);
      writer.StartObject();
      writer.Key("data");
      writer.StartObject();
      for (int i = 0; i < kScalars; ++i) {
        if (withReads) readValue(i, values[i]);
        writer.Key(names[i].data(), static_cast<rapidjson::SizeType>(names[i].size()));
        switch (kKinds[i % kKindCount].kind) {
          case Kind::Sint32:
            writer.Int(static_cast<int>(values[i].integer));
            break;
          case Kind::Uint16:
            writer.Uint(static_cast<unsigned>(values[i].integer));
            break;
          case Kind::Bool:
            writer.Bool(values[i].flag);
            break;
          case Kind::Lreal:
          case Kind::Real:
            writer.Double(values[i].real);
            break;
        }
      }
      writer.EndObject();
      writer.EndObject();
    };
    bareWrite(false);
    if (payload != std::string(bareBuffer.GetString(), bareBuffer.GetSize())) {
      std::fprintf(stderr, "codec_inproc: note: the bare writer's document differs (its own double form)\n");
    }

    rapidjson::StringBuffer serviceBuffer;
    comparePairs("encode (toJSON)", [&] { toJSON(variables, serviceBuffer); },
                 {{"bare RapidJSON Writer", [&] { bareWrite(false); }},
                  {"bare RapidJSON Writer + one KalpApiVarRead per scalar", [&] { bareWrite(true); }}});

    auto bareParse = [&](bool withWrites) {
      rapidjson::Document document;
      document.Parse(payload.data(), payload.size());
      if (document.HasParseError()) throw std::runtime_error("parse");
      if (!withWrites) return;
      const rapidjson::Value& data = document["data"];
      int i = 0;
      for (auto member = data.MemberBegin(); member != data.MemberEnd(); ++member, ++i) {
        uint8_t bytes[8] = {};
        const rapidjson::Value& v = member->value;
        switch (kKinds[i % kKindCount].kind) {
          case Kind::Sint32: {
            const int32_t x = v.GetInt();
            std::memcpy(bytes, &x, 4);
            break;
          }
          case Kind::Uint16: {
            const uint16_t x = static_cast<uint16_t>(v.GetUint());
            std::memcpy(bytes, &x, 2);
            break;
          }
          case Kind::Bool:
            bytes[0] = v.GetBool() ? 1 : 0;
            break;
          case Kind::Lreal: {
            const double x = v.GetDouble();
            std::memcpy(bytes, &x, 8);
            break;
          }
          case Kind::Real: {
            const float x = static_cast<float>(v.GetDouble());
            std::memcpy(bytes, &x, 4);
            break;
          }
        }
        if (KalpApiVarWrite(handles[i], bytes, kKinds[i % kKindCount].bytes) != KALPAPI_OK) {
          throw std::runtime_error("write");
        }
      }
    };
    comparePairs(
        "decode (payloadToVariables)", [&] { payloadToVariables(payload, variables); },
        {{"bare RapidJSON Document parse", [&] { bareParse(false); }},
         {"bare RapidJSON Document parse + one KalpApiVarWrite per scalar", [&] { bareParse(true); }}});

    for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_codec_inproc: %s\n", error.what());
    return 1;
  }
  return 0;
}
