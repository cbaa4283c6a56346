#include "KalpStore.h"

#include <KalpApi.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/random.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <unordered_set>

namespace kalpstore {

namespace {

const char* const kFaultOpNames[kFaultOpCount] = {"open", "type", "read", "write", "opendir", "readdir"};

struct TypeNameEntry {
  const char* name;
  uint32_t code;
};
const TypeNameEntry kTypeNames[] = {
    {"BOOL", 1},   {"SINT8", 2},   {"SINT16", 3},       {"SINT32", 4},         {"SINT64", 5},
    {"UINT8", 6},  {"UINT16", 7},  {"UINT32", 8},       {"UINT64", 9},         {"REAL", 10},
    {"LREAL", 11}, {"BYTE", 12},   {"WORD", 13},        {"DWORD", 14},         {"LWORD", 15},
    {"TIME", 16},  {"DATE", 17},   {"TIME_OF_DAY", 18}, {"DATE_AND_TIME", 19}, {"STRING", 22},
    {"ARRAY", 24}, {"STRUCT", 25}, {"DIRECTORY", 990},
};

// How a scalar's value bytes are interpreted.
enum class Kind { None, Bool, Signed, Unsigned, Real, LReal, String };

Kind kindOf(uint32_t type) {
  switch (type) {
    case 1:
      return Kind::Bool;
    case 2:
    case 3:
    case 4:
    case 5:
      return Kind::Signed;
    case 6:
    case 7:
    case 8:
    case 9:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 54:
    case 55:
    case 56:
    case 57:
      return Kind::Unsigned;
    case 10:
      return Kind::Real;
    case 11:
      return Kind::LReal;
    case 22:
      return Kind::String;
    default:
      return Kind::None;
  }
}

bool typeFromName(const std::string& name, uint32_t& code) {
  for (const auto& entry : kTypeNames) {
    if (name == entry.name) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

int64_t signedMin(uint32_t size) {
  return size >= 8 ? std::numeric_limits<int64_t>::min() : -(int64_t(1) << (size * 8 - 1));
}
int64_t signedMax(uint32_t size) {
  return size >= 8 ? std::numeric_limits<int64_t>::max() : (int64_t(1) << (size * 8 - 1)) - 1;
}
uint64_t unsignedMax(uint32_t size) {
  return size >= 8 ? std::numeric_limits<uint64_t>::max() : (uint64_t(1) << (size * 8)) - 1;
}

// Little-endian value bytes (the machines this runs on are little-endian; memcpy keeps it so).
std::string bytesOf(uint64_t v, uint32_t size) {
  std::string out(size, '\0');
  std::memcpy(out.data(), &v, size);
  return out;
}
uint64_t unsignedFrom(const std::string& raw) {
  uint64_t v = 0;
  std::memcpy(&v, raw.data(), std::min<size_t>(raw.size(), 8));
  return v;
}
int64_t signedFrom(const std::string& raw) {
  uint64_t u = unsignedFrom(raw);
  size_t bits = raw.size() * 8;
  if (bits < 64 && (u >> (bits - 1)) & 1) u |= ~uint64_t(0) << bits;  // sign-extend
  return static_cast<int64_t>(u);
}

template <typename F>
std::string floatText(F value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// REAL and LREAL values that JSON has no number for are strings in tree files: "Infinity",
// "-Infinity", "NaN" for the usual quiet NaN, and "NaN(0x7fc00001)" (the value's bits) for any
// other NaN, so that a dump loads back bit for bit.
template <typename F>
bool nonFiniteText(F value, std::string& text) {
  using Bits = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;
  if (std::isinf(value)) {
    text = value > 0 ? "Infinity" : "-Infinity";
    return true;
  }
  if (!std::isnan(value)) return false;
  Bits bits, usual;
  const F quiet = std::numeric_limits<F>::quiet_NaN();
  std::memcpy(&bits, &value, sizeof bits);
  std::memcpy(&usual, &quiet, sizeof usual);
  if (bits == usual) {
    text = "NaN";
  } else {
    char hex[32];
    std::snprintf(hex, sizeof hex, "NaN(0x%0*llx)", static_cast<int>(2 * sizeof bits),
                  static_cast<unsigned long long>(bits));
    text = hex;
  }
  return true;
}

// The value bytes of a non-finite text of nonFiniteText; false for any other text.
template <typename F>
bool parseNonFinite(const std::string& text, std::string& raw) {
  using Bits = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;
  F value;
  if (text == "NaN") {
    value = std::numeric_limits<F>::quiet_NaN();
  } else if (text == "Infinity" || text == "-Infinity") {
    value = text[0] == '-' ? -std::numeric_limits<F>::infinity() : std::numeric_limits<F>::infinity();
  } else {
    const size_t digits = 2 * sizeof(Bits);
    if (text.size() != digits + 7 || text.compare(0, 6, "NaN(0x") != 0 || text.back() != ')') return false;
    Bits bits = 0;
    const char* begin = text.c_str() + 6;
    auto result = std::from_chars(begin, begin + digits, bits, 16);
    if (result.ec != std::errc() || result.ptr != begin + digits) return false;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isnan(value)) return false;
  }
  raw.assign(sizeof value, '\0');
  std::memcpy(raw.data(), &value, sizeof value);
  return true;
}

// Formats raw value bytes by type, as text reads and `kalpvar get` show them.
std::string formatValue(uint32_t type, const std::string& raw) {
  switch (kindOf(type)) {
    case Kind::Bool:
      return raw[0] != 0 ? "TRUE" : "FALSE";
    case Kind::Signed:
      return std::to_string(signedFrom(raw));
    case Kind::Unsigned:
      return std::to_string(unsignedFrom(raw));
    case Kind::Real: {
      float f;
      std::memcpy(&f, raw.data(), 4);
      return floatText(f);
    }
    case Kind::LReal: {
      double d;
      std::memcpy(&d, raw.data(), 8);
      return floatText(d);
    }
    case Kind::String:
      return raw;
    case Kind::None:
      break;
  }
  return std::string();
}

bool equalsIgnoreCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Parses text as a REAL (float) or LREAL (double) into its raw bytes; false with a reason.
template <typename Floating>
bool parseFloating(const std::string& text, const char* typeText, std::string& raw, std::string& why) {
  Floating value = 0;
  const char* end = text.c_str() + text.size();
  auto result = std::from_chars(text.c_str(), end, value);
  if (result.ec == std::errc::result_out_of_range) {
    why = "'" + text + "' does not fit " + typeText;
    return false;
  }
  if (result.ec != std::errc() || result.ptr != end || text.empty()) {
    why = "'" + text + "' is not a number for " + typeText;
    return false;
  }
  raw.assign(sizeof value, '\0');
  std::memcpy(raw.data(), &value, sizeof value);
  return true;
}

// A REAL or LREAL text: a number, or a non-finite text as dumps write them ("NaN(0x7f800001)"
// keeps those very bits). Any other NaN text is refused rather than stored as some other NaN.
template <typename Floating>
bool parseReal(const std::string& text, const char* typeText, std::string& raw, std::string& why) {
  if (parseNonFinite<Floating>(text, raw)) return true;
  if (text.size() <= 3 || !equalsIgnoreCase(text.substr(0, 3), "NAN"))
    return parseFloating<Floating>(text, typeText, raw, why);
  const size_t digits = 2 * sizeof(Floating);
  if (text.compare(0, 6, "NaN(0x") == 0 && text.back() == ')') {
    const std::string hex = text.substr(6, text.size() - 7);
    const size_t significant = hex.size() - std::min(hex.size(), hex.find_first_not_of('0'));
    if (hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos && significant > digits) {
      why = "'" + text + "' is a bit pattern wider than " + typeText + " (" + std::to_string(digits) +
            " hex digits)";
      return false;
    }
    if (hex.size() == digits && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
      why = "'" + text + "' is not a NaN's bit pattern for " + typeText;
      return false;
    }
  }
  why = "'" + text + "' is not a " + typeText + " (NaN, NaN(0x" + std::string(digits, 'h') +
        ") with exactly " + std::to_string(digits) + " hex digits, Infinity, -Infinity or a number)";
  return false;
}

// Parses text into the value bytes of type; false with a reason when it does not fit.
bool parseValue(uint32_t type, const std::string& text, std::string& raw, std::string& why) {
  const uint32_t size = scalarSize(type);
  const std::string tname = typeName(type);
  switch (kindOf(type)) {
    case Kind::Bool:
      if (equalsIgnoreCase(text, "TRUE") || text == "1") {
        raw = std::string(1, '\1');
        return true;
      }
      if (equalsIgnoreCase(text, "FALSE") || text == "0") {
        raw = std::string(1, '\0');
        return true;
      }
      why = "'" + text + "' is not a BOOL (TRUE, FALSE, 1 or 0)";
      return false;
    case Kind::Signed: {
      const char* begin = text.c_str();
      const char* end = begin + text.size();
      if (begin != end && *begin == '+') ++begin;
      int64_t v = 0;
      auto result = std::from_chars(begin, end, v);
      if (result.ec == std::errc::result_out_of_range ||
          (result.ec == std::errc() && result.ptr == end && (v < signedMin(size) || v > signedMax(size)))) {
        why = "'" + text + "' does not fit " + tname;
        return false;
      }
      if (result.ec != std::errc() || result.ptr != end || text.empty()) {
        why = "'" + text + "' is not a number for " + tname;
        return false;
      }
      raw = bytesOf(static_cast<uint64_t>(v), size);
      return true;
    }
    case Kind::Unsigned: {
      const char* begin = text.c_str();
      const char* end = begin + text.size();
      if (begin != end && *begin == '+') ++begin;
      int base = 10;
      if (end - begin > 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) {
        begin += 2;
        base = 16;
      }
      uint64_t v = 0;
      auto result = std::from_chars(begin, end, v, base);
      if (result.ec == std::errc::result_out_of_range || (!text.empty() && text[0] == '-') ||
          (result.ec == std::errc() && result.ptr == end && v > unsignedMax(size))) {
        why = "'" + text + "' does not fit " + tname;
        return false;
      }
      if (result.ec != std::errc() || result.ptr != end || begin == end) {
        why = "'" + text + "' is not a number for " + tname;
        return false;
      }
      raw = bytesOf(v, size);
      return true;
    }
    case Kind::Real:
      return parseReal<float>(text, "REAL", raw, why);
    case Kind::LReal:
      return parseReal<double>(text, "LREAL", raw, why);
    case Kind::String:
      if (text.find('\0') != std::string::npos) {
        why = "a STRING cannot hold a NUL character";
        return false;
      }
      raw = text;
      return true;
    case Kind::None:
      break;
  }
  why = "a variable of type " + tname + " has no value";
  return false;
}

// A name as error texts show it: long names cut, with their length, so that one bad key does
// not make a message of megabytes.
std::string shortName(const std::string& name) {
  constexpr size_t kShown = 120;
  if (name.size() <= kShown) return name;
  return name.substr(0, kShown) + "...(" + std::to_string(name.size()) + " bytes)";
}

std::string hexStatus(uint32_t status) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", status);
  return buffer;
}

}  // namespace

bool parseFaultOp(const std::string& text, FaultOp& op) {
  for (int i = 0; i < kFaultOpCount; ++i) {
    if (text == kFaultOpNames[i]) {
      op = static_cast<FaultOp>(i);
      return true;
    }
  }
  return false;
}

uint32_t scalarSize(uint32_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 12:
      return 1;
    case 3:
    case 7:
    case 13:
      return 2;
    case 4:
    case 8:
    case 10:
    case 14:
      return 4;
    case 5:
    case 9:
    case 11:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 54:
    case 55:
    case 56:
    case 57:
      return 8;
    default:
      return 0;
  }
}

bool isStructured(uint32_t type) { return type == 24 || type == 25 || type == 990; }

std::string typeName(uint32_t type) {
  for (const auto& entry : kTypeNames) {
    if (entry.code == type) return entry.name;
  }
  return std::to_string(type);
}

struct Store::Node {
  std::string name;       // member name: "Speed", or "[3]" for an array element
  std::string separator;  // "." for struct/directory members, "" for array elements
  std::string path;       // full dotted path
  uint32_t type = KALPAPI_TYPE_DIRECTORY;
  int32_t lowerBound = 0;  // arrays
  std::string value;       // raw little-endian bytes of a scalar, or a STRING's text
  bool valid = true;
  uint32_t faults[kFaultOpCount] = {};
  std::vector<std::unique_ptr<Node>> children;
  // Simulation of the demo: 0 none, 1 counter, 2 sine, 3 toggle.
  int simKind = 0;
  uint32_t periodMs = 1000;
  double amplitude = 100.0;
  std::chrono::steady_clock::time_point simStart, simNext;

  uint32_t fault(FaultOp op) const { return faults[static_cast<int>(op)]; }
};

namespace {

using Node = Store::Node;
using JValue = rapidjson::Value;

// Builds a tree from a parsed tree file. Errors name origin and the place in the tree.
class TreeBuilder {
 public:
  explicit TreeBuilder(const std::string& origin) : origin_(origin) {}

  [[noreturn]] void fail(const std::string& where, const std::string& what) const {
    throw std::runtime_error(origin_ + ": " + where + ": " + what);
  }

  uint32_t parseStatus(const JValue& v, const std::string& where) const {
    if (v.IsUint()) return v.GetUint();
    if (v.IsString()) {
      std::string text(v.GetString(), v.GetStringLength());
      const char* begin = text.c_str();
      const char* end = begin + text.size();
      int base = 10;
      if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        begin += 2;
        base = 16;
      }
      uint32_t status = 0;
      auto result = std::from_chars(begin, end, status, base);
      if (result.ec == std::errc() && result.ptr == end && begin != end) return status;
    }
    fail(where, "a status must be a 32-bit unsigned number or its text (\"0x81000504\")");
  }

  uint32_t parseType(const JValue& v, const std::string& where) const {
    uint32_t code = 0;
    if (v.IsUint()) return v.GetUint();
    if (v.IsString()) {
      std::string name(v.GetString(), v.GetStringLength());
      if (typeFromName(name, code)) return code;
      fail(where, "unknown type name '" + name + "'");
    }
    fail(where, "\"type\" must be a type name or a numeric code");
  }

  // Scalar value from JSON.
  std::string parseScalar(uint32_t type, const JValue& v, const std::string& where) const {
    const uint32_t size = scalarSize(type);
    const std::string tname = typeName(type);
    switch (kindOf(type)) {
      case Kind::Bool:
        if (v.IsBool()) return std::string(1, v.GetBool() ? '\1' : '\0');
        if (v.IsUint() && v.GetUint() <= 255) return std::string(1, static_cast<char>(v.GetUint()));
        fail(where, "a BOOL value must be true, false or a byte 0..255");
      case Kind::Signed:
        if (v.IsInt64() && v.GetInt64() >= signedMin(size) && v.GetInt64() <= signedMax(size))
          return bytesOf(static_cast<uint64_t>(v.GetInt64()), size);
        if (v.IsNumber() && !v.IsDouble()) fail(where, "value " + numberText(v) + " does not fit " + tname);
        fail(where, "a " + tname + " value must be an integer number");
      case Kind::Unsigned:
        if (v.IsUint64() && v.GetUint64() <= unsignedMax(size)) return bytesOf(v.GetUint64(), size);
        if (v.IsNumber() && !v.IsDouble()) fail(where, "value " + numberText(v) + " does not fit " + tname);
        fail(where, "a " + tname + " value must be an unsigned integer number");
      case Kind::Real: {
        std::string raw;
        if (v.IsString() && parseNonFinite<float>(std::string(v.GetString(), v.GetStringLength()), raw))
          return raw;
        if (!v.IsNumber())
          fail(where, "a REAL value must be a number, \"NaN\", \"Infinity\" or \"-Infinity\"");
        double d = v.GetDouble();
        if (std::fabs(d) > std::numeric_limits<float>::max())
          fail(where, "value " + numberText(v) + " does not fit REAL");
        float f = static_cast<float>(d);
        raw.assign(4, '\0');
        std::memcpy(raw.data(), &f, 4);
        return raw;
      }
      case Kind::LReal: {
        std::string raw;
        if (v.IsString() && parseNonFinite<double>(std::string(v.GetString(), v.GetStringLength()), raw))
          return raw;
        if (!v.IsNumber())
          fail(where, "an LREAL value must be a number, \"NaN\", \"Infinity\" or \"-Infinity\"");
        double d = v.GetDouble();
        raw.assign(8, '\0');
        std::memcpy(raw.data(), &d, 8);
        return raw;
      }
      case Kind::String: {
        if (!v.IsString()) fail(where, "a STRING value must be a JSON string");
        std::string text(v.GetString(), v.GetStringLength());
        if (text.find('\0') != std::string::npos) fail(where, "a STRING value cannot hold a NUL character");
        return text;
      }
      case Kind::None:
        break;
    }
    fail(where, "a variable of type " + tname + " has no value");
  }

  static std::string numberText(const JValue& v) {
    if (v.IsUint64()) return std::to_string(v.GetUint64());
    if (v.IsInt64()) return std::to_string(v.GetInt64());
    return floatText(v.GetDouble());
  }

  // Fills node (name, separator, path already set) from a NODE object.
  void buildNode(Node& node, const JValue& v, const std::string& where, std::vector<Node*>& simulated) {
    struct DepthGuard {
      int& depth;
      explicit DepthGuard(int& d) : depth(++d) {}
      ~DepthGuard() { --depth; }
    } guard(depth_);
    if (depth_ > static_cast<int>(kMaxDepth))
      fail(where, "variables nested deeper than " + std::to_string(kMaxDepth) + " levels");
    if (!v.IsObject()) fail(where, "a variable must be a JSON object with a \"type\"");
    auto typeIt = v.FindMember("type");
    if (typeIt == v.MemberEnd()) fail(where, "\"type\" is missing");
    node.type = parseType(typeIt->value, where + ".type");
    const Kind kind = kindOf(node.type);
    const bool hasValue = kind != Kind::None;

    for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
      std::string key(it->name.GetString(), it->name.GetStringLength());
      const JValue& val = it->value;
      const std::string at = where + "." + key;
      if (key == "type") continue;
      if (key == "value") {
        if (!hasValue) fail(at, "a variable of type " + typeName(node.type) + " has no value");
        node.value = parseScalar(node.type, val, at);
      } else if (key == "valid") {
        if (!val.IsBool()) fail(at, "\"valid\" must be true or false");
        node.valid = val.GetBool();
      } else if (key == "fault") {
        if (!val.IsObject()) fail(at, "\"fault\" must be an object of operation: status");
        for (auto f = val.MemberBegin(); f != val.MemberEnd(); ++f) {
          std::string opName(f->name.GetString(), f->name.GetStringLength());
          FaultOp op;
          if (!parseFaultOp(opName, op))
            fail(at + "." + opName, "unknown operation (open, type, read, write, opendir, readdir)");
          node.faults[static_cast<int>(op)] = parseStatus(f->value, at + "." + opName);
        }
      } else if (key == "simulate") {
        if (!hasValue || kind == Kind::String) fail(at, "only numeric and BOOL variables can be simulated");
        if (!val.IsObject()) fail(at, "\"simulate\" must be an object");
        for (auto s = val.MemberBegin(); s != val.MemberEnd(); ++s) {
          std::string sk(s->name.GetString(), s->name.GetStringLength());
          const JValue& sv = s->value;
          if (sk == "kind") {
            std::string k = sv.IsString() ? sv.GetString() : "";
            if (k == "counter")
              node.simKind = 1;
            else if (k == "sine")
              node.simKind = 2;
            else if (k == "toggle")
              node.simKind = 3;
            else
              fail(at + ".kind", "must be \"counter\", \"sine\" or \"toggle\"");
          } else if (sk == "periodMs") {
            if (!sv.IsUint() || sv.GetUint() == 0) fail(at + ".periodMs", "must be a positive whole number");
            node.periodMs = sv.GetUint();
          } else if (sk == "amplitude") {
            if (!sv.IsNumber()) fail(at + ".amplitude", "must be a number");
            node.amplitude = sv.GetDouble();
          } else {
            fail(at + "." + sk, "unknown key (kind, periodMs, amplitude)");
          }
        }
        if (node.simKind == 0) fail(at, "\"kind\" is missing");
        simulated.push_back(&node);
      } else if (key == "members") {
        if (node.type != 25 && node.type != 990) fail(at, "only STRUCT and DIRECTORY have \"members\"");
        if (!val.IsObject()) fail(at, "\"members\" must be an object of name: variable");
        // A set of the names seen, so that a structure of 100,000 members loads in linear time.
        std::unordered_set<std::string> seen;
        for (const auto& c : node.children) seen.insert(c->name);
        for (auto m = val.MemberBegin(); m != val.MemberEnd(); ++m) {
          std::string name(m->name.GetString(), m->name.GetStringLength());
          checkMemberName(name, at);
          if (!seen.insert(name).second) fail(at + "." + name, "duplicate member name");
          auto child = std::make_unique<Node>();
          child->name = name;
          child->separator = ".";
          child->path = node.path.empty() ? name : node.path + "." + name;
          buildNode(*child, m->value, at + "." + name, simulated);
          node.children.push_back(std::move(child));
        }
      } else if (key == "lowerBound") {
        if (node.type != 24) fail(at, "only an ARRAY has \"lowerBound\"");
        if (!val.IsInt()) fail(at, "\"lowerBound\" must be a 32-bit integer");
        node.lowerBound = val.GetInt();
      } else if (key == "elements" || key == "elementType" || key == "values") {
        if (node.type != 24) fail(at, "only an ARRAY has \"" + key + "\"");
      } else {
        fail(at, "unknown key");
      }
    }
    if (hasValue && node.value.empty() && kind != Kind::String)
      node.value.assign(scalarSize(node.type), '\0');

    if (node.type == 24) buildArray(node, v, where, simulated);
  }

  void buildArray(Node& node, const JValue& v, const std::string& where, std::vector<Node*>& simulated) {
    auto elements = v.FindMember("elements");
    auto elementType = v.FindMember("elementType");
    auto values = v.FindMember("values");
    const bool longForm = elements != v.MemberEnd();
    const bool shortForm = elementType != v.MemberEnd() || values != v.MemberEnd();
    if (longForm && shortForm)
      fail(where, "an ARRAY has either \"elements\" or \"elementType\" with \"values\"");
    auto addElement = [&](size_t i) -> Node& {
      auto child = std::make_unique<Node>();
      child->name =
          "[" + std::to_string(static_cast<int64_t>(node.lowerBound) + static_cast<int64_t>(i)) + "]";
      child->separator = "";
      child->path = node.path + child->name;
      node.children.push_back(std::move(child));
      return *node.children.back();
    };
    if (longForm) {
      if (!elements->value.IsArray()) fail(where + ".elements", "must be an array of variables");
      const auto& list = elements->value;
      for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        Node& child = addElement(i);
        buildNode(child, list[i], where + ".elements[" + std::to_string(i) + "]", simulated);
      }
    } else if (shortForm) {
      if (elementType == v.MemberEnd() || values == v.MemberEnd())
        fail(where, "the short form needs both \"elementType\" and \"values\"");
      uint32_t type = parseType(elementType->value, where + ".elementType");
      if (kindOf(type) == Kind::None)
        fail(where + ".elementType", "the short form needs a scalar or STRING element type");
      if (!values->value.IsArray()) fail(where + ".values", "must be an array of values");
      const auto& list = values->value;
      for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        Node& child = addElement(i);
        child.type = type;
        child.value = parseScalar(type, list[i], where + ".values[" + std::to_string(i) + "]");
      }
    }
  }

  void checkMemberName(const std::string& name, const std::string& where) const {
    if (name.empty()) fail(where, "empty member name");
    if (name.find_first_of(".[]") != std::string::npos)
      fail(where + "." + name, "a member name cannot contain '.', '[' or ']'");
  }

  // The levels of the dotted path above the next variable built: they count toward the limit.
  void setBaseDepth(int levels) { depth_ = levels; }

  // Levels a tree may have, dotted levels and nested members together: keeps building,
  // dumping, indexing and freeing off deep recursion.
  static constexpr size_t kMaxDepth = 200;

 private:
  std::string origin_;
  int depth_ = 0;
};

void indexTree(Node& node, std::unordered_map<std::string, Node*>& byPath) {
  for (auto& child : node.children) {
    byPath[child->path] = child.get();
    indexTree(*child, byPath);
  }
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                 rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>;

void writeValue(Writer& w, const Node& node) {
  switch (kindOf(node.type)) {
    case Kind::Bool:
      if (node.value[0] == 0 || node.value[0] == 1)
        w.Bool(node.value[0] != 0);
      else
        w.Uint(static_cast<uint8_t>(node.value[0]));
      break;
    case Kind::Signed:
      w.Int64(signedFrom(node.value));
      break;
    case Kind::Unsigned:
      w.Uint64(unsignedFrom(node.value));
      break;
    case Kind::Real: {
      float f;
      std::memcpy(&f, node.value.data(), 4);
      std::string text;
      if (nonFiniteText(f, text))
        w.String(text.c_str());
      else
        w.Double(static_cast<double>(f));
      break;
    }
    case Kind::LReal: {
      double d;
      std::memcpy(&d, node.value.data(), 8);
      std::string text;
      if (nonFiniteText(d, text))
        w.String(text.c_str());
      else
        w.Double(d);
      break;
    }
    case Kind::String:
      w.String(node.value.data(), static_cast<rapidjson::SizeType>(node.value.size()));
      break;
    case Kind::None:
      w.Null();
      break;
  }
}

void writeNode(Writer& w, const Node& node) {
  w.StartObject();
  w.Key("type");
  std::string tname = typeName(node.type);
  if (tname[0] >= '0' && tname[0] <= '9')
    w.Uint(node.type);
  else
    w.String(tname.c_str());
  if (kindOf(node.type) != Kind::None) {
    w.Key("value");
    writeValue(w, node);
  }
  if (!node.valid) {
    w.Key("valid");
    w.Bool(false);
  }
  bool anyFault = false;
  for (uint32_t f : node.faults) anyFault = anyFault || f != 0;
  if (anyFault) {
    w.Key("fault");
    w.StartObject();
    for (int i = 0; i < kFaultOpCount; ++i) {
      if (node.faults[i] == 0) continue;
      w.Key(kFaultOpNames[i]);
      w.String(hexStatus(node.faults[i]).c_str());
    }
    w.EndObject();
  }
  if (node.simKind != 0) {
    w.Key("simulate");
    w.StartObject();
    w.Key("kind");
    w.String(node.simKind == 1 ? "counter" : node.simKind == 2 ? "sine" : "toggle");
    w.Key("periodMs");
    w.Uint(node.periodMs);
    if (node.simKind == 2) {
      w.Key("amplitude");
      w.Double(node.amplitude);
    }
    w.EndObject();
  }
  if (node.type == 24) {
    w.Key("lowerBound");
    w.Int(node.lowerBound);
    w.Key("elements");
    w.StartArray();
    for (const auto& c : node.children) writeNode(w, *c);
    w.EndArray();
  } else if (node.type == 25 || node.type == 990) {
    w.Key("members");
    w.StartObject();
    for (const auto& c : node.children) {
      w.Key(c->name.c_str());
      writeNode(w, *c);
    }
    w.EndObject();
  }
  w.EndObject();
}

// Value of a simulated variable, set from a double (rounded and clamped for integers).
void setNumeric(Node& node, double d) {
  const uint32_t size = scalarSize(node.type);
  switch (kindOf(node.type)) {
    case Kind::Bool:
      node.value[0] = d != 0 ? 1 : 0;
      break;
    case Kind::Signed: {
      double r = std::round(d);
      r = std::clamp(r, static_cast<double>(signedMin(size)), static_cast<double>(signedMax(size)));
      node.value = bytesOf(static_cast<uint64_t>(static_cast<int64_t>(r)), size);
      break;
    }
    case Kind::Unsigned: {
      double r = std::round(d);
      r = std::clamp(r, 0.0, static_cast<double>(unsignedMax(size)));
      node.value = bytesOf(static_cast<uint64_t>(r), size);
      break;
    }
    case Kind::Real: {
      float f = static_cast<float>(d);
      std::memcpy(node.value.data(), &f, 4);
      break;
    }
    case Kind::LReal:
      std::memcpy(node.value.data(), &d, 8);
      break;
    default:
      break;
  }
}

double numericValue(const Node& node) {
  switch (kindOf(node.type)) {
    case Kind::Bool:
      return node.value[0] != 0 ? 1 : 0;
    case Kind::Signed:
      return static_cast<double>(signedFrom(node.value));
    case Kind::Unsigned:
      return static_cast<double>(unsignedFrom(node.value));
    case Kind::Real: {
      float f;
      std::memcpy(&f, node.value.data(), 4);
      return f;
    }
    case Kind::LReal: {
      double d;
      std::memcpy(&d, node.value.data(), 8);
      return d;
    }
    default:
      return 0;
  }
}

}  // namespace

Store::Store() : root_(std::make_unique<Node>()) {}

Store::~Store() = default;

void Store::load(const std::string& json, const std::string& origin) {
  rapidjson::Document doc;
  // Full precision: an LREAL loads to the very bits that a dump wrote.
  doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag>(json.c_str(), json.size());
  if (doc.HasParseError()) {
    throw std::runtime_error(origin + ": not valid JSON at offset " + std::to_string(doc.GetErrorOffset()) +
                             ": " + rapidjson::GetParseError_En(doc.GetParseError()));
  }
  TreeBuilder builder(origin);
  if (!doc.IsObject())
    builder.fail("top level", "must be an object {\"deviceState\": N, \"variables\": {...}}");
  auto root = std::make_unique<Node>();
  std::vector<Node*> simulated;
  uint32_t state = KALPAPI_DEVICE_STATE_RUNNING;
  std::unordered_map<std::string, Node*> byPath;
  // The top-level paths and the levels above them, so that each level is found in constant time.
  std::unordered_map<std::string, Node*> levelsByPath;
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    std::string key(it->name.GetString(), it->name.GetStringLength());
    if (key == "deviceState") {
      if (!it->value.IsUint()) builder.fail("deviceState", "must be a 32-bit unsigned number");
      state = it->value.GetUint();
    } else if (key == "variables") {
      if (!it->value.IsObject()) builder.fail("variables", "must be an object of \"dotted path\": variable");
      for (auto v = it->value.MemberBegin(); v != it->value.MemberEnd(); ++v) {
        std::string path(v->name.GetString(), v->name.GetStringLength());
        std::string where = "variables.\"" + shortName(path) + "\"";
        // Every dotted level counts toward the depth limit, as a nested member does: a path of
        // thousands of levels would cost memory quadratic in its length and recursion deeper
        // than any dump or free can take.
        const size_t levels = static_cast<size_t>(std::count(path.begin(), path.end(), '.')) + 1;
        if (levels > TreeBuilder::kMaxDepth)
          builder.fail(where, "the path has " + std::to_string(levels) + " levels, more than the " +
                                  std::to_string(TreeBuilder::kMaxDepth) + " a tree may be deep");
        builder.setBaseDepth(static_cast<int>(levels) - 1);
        // Walk or create the levels above the variable; levels are found by their full path.
        Node* parent = root.get();
        size_t start = 0;
        while (true) {
          size_t dot = path.find('.', start);
          std::string segment =
              path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
          if (segment.empty()) builder.fail(where, "empty level in the path");
          if (segment.find_first_of("[]") != std::string::npos)
            builder.fail(where, "a top-level path cannot name an array element");
          std::string segPath = parent == root.get() ? segment : parent->path + "." + segment;
          auto level = levelsByPath.find(segPath);
          Node* existing = level == levelsByPath.end() ? nullptr : level->second;
          if (dot == std::string::npos) {
            if (existing) builder.fail(where, "the variable is defined twice");
            auto node = std::make_unique<Node>();
            node->name = segment;
            node->separator = ".";
            node->path = segPath;
            builder.buildNode(*node, v->value, where, simulated);
            levelsByPath.emplace(segPath, node.get());
            parent->children.push_back(std::move(node));
            break;
          }
          if (!existing) {
            auto dir = std::make_unique<Node>();
            dir->name = segment;
            dir->separator = ".";
            dir->path = segPath;
            dir->type = KALPAPI_TYPE_DIRECTORY;
            existing = dir.get();
            levelsByPath.emplace(segPath, existing);
            parent->children.push_back(std::move(dir));
          } else if (existing->type != 25 && existing->type != 990) {
            builder.fail(
                where, "'" + segPath + "' is a " + typeName(existing->type) + ", not a STRUCT or DIRECTORY");
          }
          parent = existing;
          start = dot + 1;
        }
      }
    } else {
      builder.fail(key, "unknown key (deviceState, variables)");
    }
  }
  indexTree(*root, byPath);
  auto now = std::chrono::steady_clock::now();
  for (Node* n : simulated) {
    n->simStart = now;
    n->simNext = n->simKind == 2 ? now : now + std::chrono::milliseconds(n->periodMs);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  root_ = std::move(root);
  byPath_ = std::move(byPath);
  simulated_ = std::move(simulated);
  deviceState_ = state;
  handles_.clear();
  walks_.clear();
  held_.clear();
}

void Store::loadFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw std::runtime_error(fileName + ": cannot open the file: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error(fileName + ": cannot read the file");
  load(text.str(), fileName);
}

Store::Node* Store::find(const std::string& path) const {
  if (path.empty()) return root_.get();
  auto it = byPath_.find(path);
  return it == byPath_.end() ? nullptr : it->second;
}

namespace {

// 32 random bits from the kernel's generator; a seeded generator where that is not at hand.
uint32_t randomWord() {
  uint32_t word = 0;
  if (::getrandom(&word, sizeof word, 0) == static_cast<ssize_t>(sizeof word)) return word;
  thread_local std::mt19937 fallback{std::random_device{}()};
  return static_cast<uint32_t>(fallback());
}

}  // namespace

bool Store::newHandle(Owner owner, uint32_t& handle) {
  size_t& held = held_[owner];
  if (handleLimit_ != 0 && held >= handleLimit_) return false;
  // Random numbers, also across runs: a handle kept across a server restart answers an error
  // instead of naming another variable, and no client can guess another's handles.
  do {
    handle = randomWord();
  } while (handle == 0 || handles_.count(handle) || walks_.count(handle));
  ++held;
  return true;
}

void Store::forget(Owner owner) {
  auto it = held_.find(owner);
  if (it != held_.end() && --it->second == 0) held_.erase(it);
}

void Store::setHandleLimit(size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  handleLimit_ = limit;
}

void Store::release(Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_.erase(owner) == 0) return;
  for (auto it = handles_.begin(); it != handles_.end();)
    it = it->second.owner == owner ? handles_.erase(it) : std::next(it);
  for (auto it = walks_.begin(); it != walks_.end();)
    it = it->second.owner == owner ? walks_.erase(it) : std::next(it);
}

uint32_t Store::open(const std::string& path, uint32_t& handle, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) return KALPAPI_E_NOT_FOUND;
  if (uint32_t f = node->fault(FaultOp::Open)) return f;
  if (!newHandle(owner, handle)) return KALPAPI_E_TOO_MANY_HANDLES;
  handles_[handle] = Handle{node, owner};
  return KALPAPI_OK;
}

uint32_t Store::getType(uint32_t handle, uint32_t& type, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.owner != owner) return KALPAPI_E_INVALID_PARAMETER;
  if (uint32_t f = it->second.node->fault(FaultOp::Type)) return f;
  type = it->second.node->type;
  return KALPAPI_OK;
}

uint32_t Store::read(uint32_t handle, void* destination, uint16_t byteCount, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.owner != owner || destination == nullptr)
    return KALPAPI_E_INVALID_PARAMETER;
  const Node& node = *it->second.node;
  if (uint32_t f = node.fault(FaultOp::Read)) return f;
  auto* out = static_cast<uint8_t*>(destination);
  const Kind kind = kindOf(node.type);
  if (kind == Kind::String) {
    // The text followed by its NUL, cut to the byte count; the rest of the count is zeroed.
    size_t n = std::min<size_t>(byteCount, node.value.size());
    std::memcpy(out, node.value.data(), n);
    std::memset(out + n, 0, byteCount - n);
    return KALPAPI_OK;
  }
  if (kind == Kind::None) return KALPAPI_E_INVALID_PARAMETER;
  // A scalar: at most its value size; fewer bytes give the low-order part.
  if (byteCount > node.value.size()) return KALPAPI_E_INVALID_PARAMETER;
  std::memcpy(out, node.value.data(), byteCount);
  return KALPAPI_OK;
}

uint32_t Store::write(uint32_t handle, const void* source, uint16_t byteCount, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.owner != owner || (source == nullptr && byteCount != 0))
    return KALPAPI_E_INVALID_PARAMETER;
  Node& node = *it->second.node;
  if (uint32_t f = node.fault(FaultOp::Write)) return f;
  const auto* in = static_cast<const char*>(source);
  const Kind kind = kindOf(node.type);
  if (kind == Kind::String) {
    node.value.assign(in, byteCount == 0 ? 0 : strnlen(in, byteCount));
    return KALPAPI_OK;
  }
  // A scalar takes exactly its value size.
  if (kind == Kind::None || byteCount != node.value.size()) return KALPAPI_E_INVALID_PARAMETER;
  node.value.assign(in, byteCount);
  return KALPAPI_OK;
}

uint32_t Store::close(uint32_t handle, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.owner != owner) return KALPAPI_E_INVALID_PARAMETER;
  handles_.erase(it);
  forget(owner);
  return KALPAPI_OK;
}

uint32_t Store::readText(const std::string& path, std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) return KALPAPI_E_NOT_FOUND;
  if (uint32_t f = node->fault(FaultOp::Read)) return f;
  if (kindOf(node->type) == Kind::None) return KALPAPI_E_INVALID_PARAMETER;
  text = formatValue(node->type, node->value);
  return KALPAPI_OK;
}

uint32_t Store::writeText(const std::string& path, const std::string& text, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) {
    if (why) *why = "variable '" + path + "' not found";
    return KALPAPI_E_NOT_FOUND;
  }
  if (uint32_t f = node->fault(FaultOp::Write)) {
    if (why) *why = "write fault " + hexStatus(f) + " is set on '" + path + "'";
    return f;
  }
  std::string raw, reason;
  if (!parseValue(node->type, text, raw, reason)) {
    if (why) *why = reason;
    return KALPAPI_E_INVALID_PARAMETER;
  }
  node->value = raw;
  return KALPAPI_OK;
}

uint32_t Store::openDir(const std::string& path, uint32_t& directoryHandle, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = find(path);
  if (!node) return KALPAPI_E_NOT_FOUND;
  if (uint32_t f = node->fault(FaultOp::OpenDir)) return f;
  if (!isStructured(node->type)) return KALPAPI_E_INVALID_PARAMETER;
  if (node->children.empty()) return KALPAPI_E_NO_MORE_ENTRIES;
  if (!newHandle(owner, directoryHandle)) return KALPAPI_E_TOO_MANY_HANDLES;
  walks_[directoryHandle] = Walk{node, 0, owner};
  return KALPAPI_OK;
}

uint32_t Store::readDir(uint32_t directoryHandle, DirEntryData& entry, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = walks_.find(directoryHandle);
  if (it == walks_.end() || it->second.owner != owner) return KALPAPI_E_INVALID_PARAMETER;
  Walk& walk = it->second;
  if (uint32_t f = walk.node->fault(FaultOp::ReadDir)) return f;
  if (walk.next >= walk.node->children.size()) return KALPAPI_E_NO_MORE_ENTRIES;
  const Node& child = *walk.node->children[walk.next++];
  entry.valid = child.valid ? 1 : 0;
  entry.memberName = child.name;
  entry.separator = child.separator;
  return KALPAPI_OK;
}

uint32_t Store::closeDir(uint32_t directoryHandle, Owner owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = walks_.find(directoryHandle);
  if (it == walks_.end() || it->second.owner != owner) return KALPAPI_E_INVALID_PARAMETER;
  walks_.erase(it);
  forget(owner);
  return KALPAPI_OK;
}

uint32_t Store::deviceState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deviceState_;
}

void Store::setDeviceState(uint32_t state) {
  std::lock_guard<std::mutex> lock(mutex_);
  deviceState_ = state;
}

uint32_t Store::setFault(const std::string& path, const std::string& op, uint32_t status, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) {
    if (why) *why = "variable '" + path + "' not found";
    return KALPAPI_E_NOT_FOUND;
  }
  FaultOp faultOp;
  if (!parseFaultOp(op, faultOp)) {
    if (why) *why = "unknown operation '" + op + "' (open, type, read, write, opendir, readdir)";
    return KALPAPI_E_INVALID_PARAMETER;
  }
  node->faults[static_cast<int>(faultOp)] = status;
  return KALPAPI_OK;
}

uint32_t Store::dump(const std::string& path, std::string& json) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = find(path);
  if (!node) return KALPAPI_E_NOT_FOUND;
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  w.Key("deviceState");
  w.Uint(deviceState_);
  w.Key("variables");
  w.StartObject();
  if (node == root_.get()) {
    for (const auto& c : node->children) {
      w.Key(c->path.c_str());
      writeNode(w, *c);
    }
  } else {
    w.Key(node->path.c_str());
    writeNode(w, *node);
  }
  w.EndObject();
  w.EndObject();
  json.assign(buffer.GetString(), buffer.GetSize());
  return KALPAPI_OK;
}

std::string Store::getText(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) throw std::runtime_error("variable '" + path + "' not found");
  if (kindOf(node->type) == Kind::None)
    throw std::runtime_error("variable '" + path + "' of type " + typeName(node->type) + " has no value");
  return formatValue(node->type, node->value);
}

std::vector<uint8_t> Store::getRaw(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) throw std::runtime_error("variable '" + path + "' not found");
  return std::vector<uint8_t>(node->value.begin(), node->value.end());
}

void Store::setText(const std::string& path, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) throw std::runtime_error("variable '" + path + "' not found");
  std::string raw, why;
  if (!parseValue(node->type, text, raw, why)) throw std::runtime_error(path + ": " + why);
  node->value = raw;
}

void Store::setRaw(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = path.empty() ? nullptr : find(path);
  if (!node) throw std::runtime_error("variable '" + path + "' not found");
  const Kind kind = kindOf(node->type);
  if (kind == Kind::String) {
    auto nul = std::find(bytes.begin(), bytes.end(), uint8_t(0));
    node->value.assign(bytes.begin(), nul);
    return;
  }
  if (kind == Kind::None)
    throw std::runtime_error(path + ": a variable of type " + typeName(node->type) + " has no value");
  if (bytes.size() != node->value.size())
    throw std::runtime_error(path + ": " + typeName(node->type) + " takes " +
                             std::to_string(node->value.size()) + " bytes, not " +
                             std::to_string(bytes.size()));
  node->value.assign(bytes.begin(), bytes.end());
}

size_t Store::openHandleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.size();
}

size_t Store::openDirCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return walks_.size();
}

bool Store::tick(std::chrono::steady_clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Node* node : simulated_) {
    if (now < node->simNext) continue;
    const auto period = std::chrono::milliseconds(node->periodMs);
    switch (node->simKind) {
      case 1: {  // counter: one up per period, wrapping at the type's end
        if (kindOf(node->type) == Kind::Signed || kindOf(node->type) == Kind::Unsigned) {
          uint64_t v = unsignedFrom(node->value) + 1;
          node->value = bytesOf(v, static_cast<uint32_t>(node->value.size()));
        } else {
          setNumeric(*node, numericValue(*node) + 1);
        }
        node->simNext += period;
        break;
      }
      case 2: {  // sine of the period, updated twenty times per period
        double t = std::chrono::duration<double, std::milli>(now - node->simStart).count();
        setNumeric(*node, node->amplitude * std::sin(2.0 * M_PI * t / node->periodMs));
        node->simNext += std::max(std::chrono::milliseconds(10), period / 20);
        break;
      }
      case 3:  // toggle between 0 and 1 every period
        setNumeric(*node, numericValue(*node) != 0 ? 0 : 1);
        node->simNext += period;
        break;
    }
    if (node->simNext < now) node->simNext = now;  // after a stall, do not catch up in a burst
  }
  return !simulated_.empty();
}

}  // namespace kalpstore
