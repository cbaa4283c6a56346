#include "PayloadCodec.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "Trace.h"

namespace {

constexpr uint32_t typeArray = 24;

// ---------------------------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------------------------

// Element index of an array element: its name without the brackets, by signed decimal
// conversion. A name without digits there throws std::invalid_argument, one out of the long
// range std::out_of_range; both say "stol".
long elementIndex(const std::string& name) {
  const std::string inner = name.size() >= 2 ? name.substr(1, name.size() - 2) : std::string();
  return std::stol(inner);
}

// Appends the decimal exponent the way the writer formats it: no "+", no leading zeros.
char* appendExponent(int exponent, char* out) {
  if (exponent < 0) {
    *out++ = '-';
    exponent = -exponent;
  }
  auto result = std::to_chars(out, out + 4, exponent);
  return result.ptr;
}

// Writes a finite double in the shortest form that reads back as the same double, laid out as
// RapidJSON lays out its numbers: always with a fraction or an exponent ("1.0", "0.001234",
// "1.5e-7", "1e30", "123456789012345680000.0"). RapidJSON's own conversion (Grisu2) is exact
// but not always shortest, so the digits come from std::to_chars.
void writeDouble(PayloadWriter& writer, double value) {
  char text[48];
  char* out = text;
  if (value == 0.0) {
    if (std::signbit(value)) *out++ = '-';
    std::memcpy(out, "0.0", 3);
    writer.RawValue(text, static_cast<size_t>(out + 3 - text), rapidjson::kNumberType);
    return;
  }
  if (value < 0) {
    *out++ = '-';
    value = -value;
  }
  // Shortest scientific form "d.ddde±x": collect the digits and the exponent.
  char sci[40];
  const auto converted = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  char digits[20];
  int length = 0;
  const char* p = sci;
  for (; p != converted.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[length++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), converted.ptr, exponent);
  // value = digits * 10^k; kk is the position of the decimal point after the first digit.
  const int k = exponent - (length - 1);
  const int kk = length + k;
  if (k >= 0 && kk <= 21) {  // 1234e7 -> 12340000000.0
    std::memcpy(out, digits, length);
    out += length;
    for (int i = length; i < kk; ++i) *out++ = '0';
    *out++ = '.';
    *out++ = '0';
  } else if (kk > 0 && kk <= 21) {  // 1234e-2 -> 12.34
    std::memcpy(out, digits, kk);
    out += kk;
    *out++ = '.';
    std::memcpy(out, digits + kk, length - kk);
    out += length - kk;
  } else if (kk > -6 && kk <= 0) {  // 1234e-6 -> 0.001234
    *out++ = '0';
    *out++ = '.';
    for (int i = kk; i < 0; ++i) *out++ = '0';
    std::memcpy(out, digits, length);
    out += length;
  } else if (length == 1) {  // 1e30
    *out++ = digits[0];
    *out++ = 'e';
    out = appendExponent(kk - 1, out);
  } else {  // 1234e30 -> 1.234e33
    *out++ = digits[0];
    *out++ = '.';
    std::memcpy(out, digits + 1, length - 1);
    out += length - 1;
    *out++ = 'e';
    out = appendExponent(kk - 1, out);
  }
  writer.RawValue(text, static_cast<size_t>(out - text), rapidjson::kNumberType);
}

// A REAL or LREAL has a JSON form only when finite; otherwise it is written as null.
void writeFloating(PayloadWriter& writer, double value) {
  if (std::isfinite(value)) {
    writeDouble(writer, value);
  } else {
    writer.Null();
  }
}

void writeKey(PayloadWriter& writer, const std::string& name) {
  writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
}

// ---------------------------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------------------------

// Decimal order of magnitude of a JSON number's text that holds a non-zero digit: the power of
// ten of its first non-zero digit (saturated; only its sign is used).
long decimalOrder(std::string_view text) {
  size_t at = text.front() == '-' ? 1 : 0;
  long order = 0;
  bool found = false;
  long integerDigits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (text[at] != '0' && !found) found = true;
    if (found) ++integerDigits;
  }
  if (found) {
    order = integerDigits - 1;
  } else if (at < text.size() && text[at] == '.') {
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      --order;
      if (text[at] != '0') break;
    }
  }
  const size_t e = text.find_first_of("eE");
  if (e != std::string_view::npos) {
    size_t digit = e + 1;
    const bool negative = digit < text.size() && text[digit] == '-';
    if (digit < text.size() && (text[digit] == '-' || text[digit] == '+')) ++digit;
    long exponent = 0;
    for (; digit < text.size(); ++digit) exponent = std::min(exponent * 10 + (text[digit] - '0'), 1000000L);
    order += negative ? -exponent : exponent;
  }
  return order;
}

// Receives the parser's events and builds the document from them. It refuses nesting deeper
// than kPayloadMaxDepth, and it converts every number from its text itself: RapidJSON 1.1.0's
// exact conversion turns a zero with a large exponent ("0e39") into garbage, and its fast one is
// off in the last digits, so numbers arrive as text and are typed as RapidJSON types them (an
// integer as the narrowest of int, unsigned, int64, uint64 that holds it; anything with a
// fraction or an exponent, or too long for 64 bits, as a double, correctly rounded).
class PayloadHandler {
 public:
  explicit PayloadHandler(rapidjson::Document& document) : document_(document) {}

  // Why the handler stopped the parse, or nullptr.
  const char* failure() const { return failure_; }

  bool Null() { return document_.Null(); }
  bool Bool(bool b) { return document_.Bool(b); }
  bool Int(int i) { return document_.Int(i); }
  bool Uint(unsigned u) { return document_.Uint(u); }
  bool Int64(int64_t i) { return document_.Int64(i); }
  bool Uint64(uint64_t u) { return document_.Uint64(u); }
  bool Double(double d) { return document_.Double(d); }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    return number(std::string_view(str, length));
  }
  bool String(const char* str, rapidjson::SizeType length, bool copy) {
    return document_.String(str, length, copy);
  }
  bool StartObject() { return enter() && document_.StartObject(); }
  bool Key(const char* str, rapidjson::SizeType length, bool copy) {
    return document_.Key(str, length, copy);
  }
  bool EndObject(rapidjson::SizeType memberCount) {
    --depth_;
    return document_.EndObject(memberCount);
  }
  bool StartArray() { return enter() && document_.StartArray(); }
  bool EndArray(rapidjson::SizeType elementCount) {
    --depth_;
    return document_.EndArray(elementCount);
  }

 private:
  bool enter() {
    if (++depth_ <= kPayloadMaxDepth) return true;
    failure_ = "nested too deeply";
    return false;
  }

  // text follows the JSON number grammar (the parser checked it).
  bool number(std::string_view text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const bool negative = text.front() == '-';
    if (text.find_first_of(".eE") == std::string_view::npos) {
      uint64_t magnitude = 0;
      const auto parsed = std::from_chars(begin + (negative ? 1 : 0), end, magnitude);
      if (parsed.ec == std::errc()) {
        if (!negative) {
          return magnitude <= std::numeric_limits<uint32_t>::max()
                     ? document_.Uint(static_cast<uint32_t>(magnitude))
                     : document_.Uint64(magnitude);
        }
        if (magnitude <= 0x80000000u)
          return document_.Int(static_cast<int>(-static_cast<int64_t>(magnitude)));
        if (magnitude <= 0x8000000000000000u) return document_.Int64(static_cast<int64_t>(0 - magnitude));
      }
    }
    double value = 0;
    const auto parsed = std::from_chars(begin, end, value);
    if (parsed.ec == std::errc::result_out_of_range) {
      if (decimalOrder(text) > 0) {
        failure_ = "number out of range";
        return false;
      }
      value = negative ? -0.0 : 0.0;  // below the smallest double: rounds to zero
    } else if (parsed.ec != std::errc() || parsed.ptr != end) {
      failure_ = "number not understood";
      return false;
    }
    return document_.Double(value);
  }

  rapidjson::Document& document_;
  unsigned depth_ = 0;
  const char* failure_ = nullptr;
};

// Strict grammar (no comments, no trailing commas, no NaN), one value and nothing after it but
// white space; iterative, so that the nesting depth never reaches the call stack; numbers as
// text, for PayloadHandler to convert.
constexpr unsigned kPayloadParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;

// Inclusive bounds of the element indices an array fills; fills from its first node when absent.
struct IndexRange {
  long lower;
  long upper;
};

using NodeList = std::vector<std::shared_ptr<GVPvariable>>;
// A node in the list that holds it, or nullptr: look-ups hand out places, not new references.
using Slot = const std::shared_ptr<GVPvariable>*;

// Whether name contains "UpperBound_" or "LowerBound_" anywhere.
bool containsBoundPrefix(std::string_view name) {
  for (size_t at = name.find("Bound_", 5); at != std::string_view::npos; at = name.find("Bound_", at + 1)) {
    const std::string_view before = name.substr(at - 5, 5);
    if (before == "Upper" || before == "Lower") return true;
  }
  return false;
}

// The bound members an array of arrays carries for each inner array: a string naming an
// element ("LowerBound_[3]") followed by an integer. They describe the inner array just before
// them, which has already been filled, so they are not values for the next element.
bool isInnerBoundMarker(const rapidjson::Value& element) {
  if (!element.IsString()) return false;
  const char* text = element.GetString();
  const rapidjson::SizeType length = element.GetStringLength();
  return length >= 12 &&
         (std::strncmp(text, "LowerBound_[", 12) == 0 || std::strncmp(text, "UpperBound_[", 12) == 0);
}

std::string_view memberName(const rapidjson::Value& name) {
  return std::string_view(name.GetString(), name.GetStringLength());
}

// findNode's search: the first node named name, or the element "[i]" of the first array node
// addressed as "<array name>[i]".
Slot locate(const NodeList& nodes, std::string_view name) {
  const bool elementAddress = !name.empty() && name.back() == ']';
  const size_t bracket = elementAddress ? name.find('[') : std::string_view::npos;
  for (const auto& node : nodes) {
    if (!node) continue;
    const std::string nodeName = node->getName();
    if (nodeName == name) return &node;
    if (bracket != std::string_view::npos && node->getType() == typeArray &&
        name.substr(0, bracket) == nodeName) {
      const std::string_view elementName = name.substr(bracket);
      for (const auto& element : node->getChildren()) {
        if (element && element->getName() == elementName) return &element;
      }
    }
  }
  return nullptr;
}

void walkArray(const rapidjson::Value& array, const std::vector<std::shared_ptr<GVPvariable>>& nodes,
               const std::optional<IndexRange>& range) {
  auto node = nodes.begin();
  const auto end = array.End();
  for (auto element = array.Begin(); element != end; ++element) {
    if (isInnerBoundMarker(*element)) {
      if (element + 1 != end && (element + 1)->IsInt64()) ++element;
      continue;
    }
    if (range) {
      while (node != nodes.end() && (*node == nullptr || elementIndex((*node)->getName()) < range->lower))
        ++node;
      if (node != nodes.end() && elementIndex((*node)->getName()) > range->upper) return;
    }
    if (node == nodes.end()) {
      TRACE(2, "DOMtoGVP(): malformed JSON array contains element where GVP tree does NOT.");
      continue;
    }
    const std::shared_ptr<GVPvariable>& target = *node;
    if (element->IsObject()) {
      if (target && !target->getChildren().empty()) {
        DOMtoGVP(*element, target->getChildren(), 0, 0);
      } else {
        TRACE(2, "DOMtoGVP(): malformed JSON array contains object-type element where IEC tree does NOT.");
      }
    } else if (element->IsArray()) {
      if (target && !target->getChildren().empty()) {
        DOMtoGVP(*element, target->getChildren(), 0, 0);
      } else {
        TRACE(2, "DOMtoGVP(): malformed JSON array contains array-type element where IEC tree does NOT.");
      }
    } else {
      JSONvalueintoIECnode(target, *element);
    }
    ++node;
  }
}

// The bounds an object gives its array member name: "LowerBound_<name>" and
// "UpperBound_<name>" holding integers. A missing (or non-integer) bound leaves that side open;
// with neither, the array fills from its first node.
std::optional<IndexRange> boundsOf(const rapidjson::Value& object, std::string_view name) {
  std::optional<long> lower;
  std::optional<long> upper;
  const std::string lowerName = "LowerBound_" + std::string(name);
  const std::string upperName = "UpperBound_" + std::string(name);
  for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
    if (!member->value.IsInt64()) continue;
    const rapidjson::SizeType length = member->name.GetStringLength();
    const char* text = member->name.GetString();
    if (!lower && length == lowerName.size() && std::memcmp(text, lowerName.data(), length) == 0) {
      lower = member->value.GetInt64();
    } else if (!upper && length == upperName.size() && std::memcmp(text, upperName.data(), length) == 0) {
      upper = member->value.GetInt64();
    }
  }
  if (!lower && !upper) return std::nullopt;
  return IndexRange{lower.value_or(std::numeric_limits<long>::min()),
                    upper.value_or(std::numeric_limits<long>::max())};
}

// A received member name as it goes into a trace line: control bytes (line feeds above all)
// become \xNN, so that a payload cannot break or forge trace lines.
std::string printable(std::string_view name) {
  std::string text;
  text.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      static const char hex[] = "0123456789abcdef";
      text += "\\x";
      text += hex[byte >> 4];
      text += hex[byte & 0xF];
    } else {
      text += c;
    }
  }
  return text;
}

void traceNoMatch(std::string_view name) {
  TRACE(2, "no match found for ", printable(name), ", skipping this JSON object member.");
}

// findNode for the members of one JSON object. A payload usually names many of the nodes, so
// from its second look-up on the finder indexes the names once in a small hash table that keeps
// the first node of each name, which is the node findNode gives. Names ending in "]" may address
// an array element and always take findNode's own path.
class NodeFinder {
 public:
  explicit NodeFinder(const NodeList& nodes) : nodes_(nodes) {}

  Slot find(std::string_view name) {
    if (nodes_.size() < kIndexFrom || (!name.empty() && name.back() == ']')) return locate(nodes_, name);
    if (table_.empty()) {
      if (lookups_++ == 0) return locate(nodes_, name);
      buildIndex();
    }
    const uint64_t hash = hashOf(name);
    for (size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const uint32_t entry = table_[slot];
      if (entry == 0) return nullptr;
      if (hashes_[entry - 1] == hash && names_[entry - 1] == name) return &nodes_[entry - 1];
    }
  }

 private:
  // A quick hash over 8-byte words; equal hashes are always confirmed by comparing the names.
  static uint64_t hashOf(std::string_view text) {
    uint64_t hash = text.size() * 0x9E3779B97F4A7C15ull;
    size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
      uint64_t word;
      std::memcpy(&word, text.data() + at, 8);
      hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
      hash ^= hash >> 32;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text.data() + at, text.size() - at);
    hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ull;
    return hash ^ (hash >> 29);
  }

  void buildIndex() {
    size_t size = 16;
    while (size < 2 * nodes_.size()) size *= 2;
    mask_ = size - 1;
    table_.assign(size, 0);
    names_.reserve(nodes_.size());
    hashes_.reserve(nodes_.size());
    for (size_t i = 0; i < nodes_.size(); ++i) {
      names_.push_back(nodes_[i] ? nodes_[i]->getName() : std::string());
      hashes_.push_back(hashOf(names_[i]));
      if (!nodes_[i]) continue;
      for (size_t slot = hashes_[i] & mask_;; slot = (slot + 1) & mask_) {
        const uint32_t entry = table_[slot];
        if (entry == 0) {
          table_[slot] = static_cast<uint32_t>(i + 1);
          break;
        }
        if (hashes_[entry - 1] == hashes_[i] && names_[entry - 1] == names_[i]) break;  // the first one stays
      }
    }
  }

  static constexpr size_t kIndexFrom = 8;
  const NodeList& nodes_;
  std::vector<std::string> names_;
  std::vector<uint64_t> hashes_;
  std::vector<uint32_t> table_;  // node index + 1; 0 is a free slot
  size_t mask_ = 0;
  unsigned lookups_ = 0;
};

void walkObject(const rapidjson::Value& object, const std::vector<std::shared_ptr<GVPvariable>>& nodes) {
  NodeFinder finder(nodes);
  for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
    if (nodes.empty()) {
      TRACE(2, "DOMtoGVP(): malformed JSON object contains element where IEC tree does NOT.");
      continue;
    }
    const rapidjson::Value& value = member->value;
    const std::string_view name = memberName(member->name);
    if (value.IsObject()) {
      const Slot node = finder.find(name);
      if (!node) {
        traceNoMatch(name);
      } else if (!(*node)->getChildren().empty()) {
        DOMtoGVP(value, (*node)->getChildren(), 0, 0);
      } else {
        TRACE(2, "DOMtoGVP(): malformed JSON object contains object element where IEC tree does NOT.");
      }
    } else if (value.IsArray()) {
      const Slot node = finder.find(name);
      if (!node) {
        traceNoMatch(name);
      } else if ((*node)->getChildren().empty()) {
        TRACE(2, "DOMtoGVP(): malformed JSON object contains array element where IEC tree does NOT.");
      } else {
        walkArray(value, (*node)->getChildren(), boundsOf(object, name));
      }
    } else if (!containsBoundPrefix(name)) {
      const Slot node = finder.find(name);
      if (!node) {
        traceNoMatch(name);
      } else {
        JSONvalueintoIECnode(*node, value);
      }
    }
  }
}

void traceMismatch(const char* expected) {
  TRACE(4, "JSONvalueintoIECnode(): type mismatch: ", expected, " expected.");
}

}  // namespace

// -------------------------------------------------------------------------------------------------

void nodeToJSON(const std::shared_ptr<GVPvariable>& node, PayloadWriter& writer) {
  if (!node) {
    writer.Null();
    return;
  }
  const uint32_t type = node->getType();
  switch (type) {
    case 1:
      writer.Bool(node->readBool() != 0);
      break;
    case 2:
      writer.Int(node->readInt8());
      break;
    case 3:
      writer.Int(node->readInt16());
      break;
    case 4:
      writer.Int(node->readInt32());
      break;
    case 5:
      writer.Int64(node->readInt64());
      break;
    case 6:
    case 12:
      writer.Uint(node->readUint8());
      break;
    case 7:
    case 13:
      writer.Uint(node->readUint16());
      break;
    case 8:
    case 14:
      writer.Uint(node->readUint32());
      break;
    case 9:
    case 15:
    case 54:
    case 55:
    case 56:
    case 57:
      writer.Uint64(node->readUint64());
      break;
    case 10:
      writeFloating(writer, static_cast<double>(node->readReal()));
      break;
    case 11:
      writeFloating(writer, node->readLreal());
      break;
    case 16:
    case 17:
    case 18:
    case 19:
      writer.Uint(static_cast<uint32_t>(node->readUint64()));
      break;
    case 22: {
      const std::string text = node->readString();
      writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
      break;
    }
    case typeArray: {
      const auto& elements = node->getChildren();
      if (elements.empty()) {
        writer.Null();
        break;
      }
      writer.StartArray();
      for (const auto& element : elements) nodeToJSON(element, writer);
      writer.EndArray();
      const std::string& name = node->getName();
      writeKey(writer, "LowerBound_" + name);
      writer.Int64(elementIndex(elements.front() ? elements.front()->getName() : std::string()));
      writeKey(writer, "UpperBound_" + name);
      writer.Int64(elementIndex(elements.back() ? elements.back()->getName() : std::string()));
      break;
    }
    case 25:
    case 990:
      writer.StartObject();
      for (const auto& child : node->getChildren()) {
        if (!child) continue;
        writeKey(writer, child->getName());
        nodeToJSON(child, writer);
      }
      writer.EndObject();
      break;
    default:
      TRACE(2, "nodeToJSON(): Type no. 0x", hexString(type), " is not implemented, yet.");
      writer.Null();
      break;
  }
}

void toJSON(const std::vector<std::shared_ptr<GVPvariable>>& variables, rapidjson::StringBuffer& buffer) {
  buffer.Clear();
  PayloadWriter writer(buffer, nullptr, 32);
  writer.StartObject();
  for (const auto& variable : variables) {
    if (!variable) continue;
    writeKey(writer, variable->getName());
    nodeToJSON(variable, writer);
  }
  writer.EndObject();
}

bool payloadToVariables(const std::string& payload,
                        const std::vector<std::shared_ptr<GVPvariable>>& variables) {
  rapidjson::Document document;
  rapidjson::ParseResult result;
  const char* failure = nullptr;
  auto parse = [&payload, &result, &failure](rapidjson::Document& target) {
    // The text ends at its terminating NUL, or at a NUL inside it, as received payloads do.
    rapidjson::StringStream input(payload.c_str());
    PayloadHandler handler(target);
    rapidjson::Reader reader;
    result = reader.Parse<kPayloadParseFlags>(input, handler);
    failure = handler.failure();
    return !result.IsError();
  };
  document.Populate(parse);
  if (result.IsError()) {
    TRACE(2, "payloadToVariables(): payload is not valid JSON (",
          failure ? failure : rapidjson::GetParseError_En(result.Code()), " at offset ", result.Offset(),
          "), nothing written.");
    return false;
  }
  DOMtoGVP(document, variables, 0, 0);
  return true;
}

void DOMtoGVP(const rapidjson::Value& json, const std::vector<std::shared_ptr<GVPvariable>>& nodes,
              int upperBound, int lowerBound) {
  if (json.IsObject()) {
    walkObject(json, nodes);
  } else if (json.IsArray()) {
    std::optional<IndexRange> range;
    if (lowerBound < upperBound) range = IndexRange{lowerBound, upperBound};
    walkArray(json, nodes, range);
  }
}

std::shared_ptr<GVPvariable> findNode(const std::vector<std::shared_ptr<GVPvariable>>& nodes,
                                      const std::string& name) {
  const Slot node = locate(nodes, name);
  return node ? *node : nullptr;
}

void JSONvalueintoIECnode(const std::shared_ptr<GVPvariable>& node, const rapidjson::Value& value) {
  if (!node) return;
  const uint32_t type = node->getType();
  switch (type) {
    case 1:
      if (value.IsBool()) {
        node->writeBool(value.GetBool() ? 1 : 0);
      } else {
        traceMismatch("bool");
      }
      break;
    case 2:
      if (value.IsInt()) {
        node->writeInt8(static_cast<int8_t>(value.GetInt()));
      } else {
        traceMismatch("SINT8");
      }
      break;
    case 3:
      if (value.IsInt()) {
        node->writeInt16(static_cast<int16_t>(value.GetInt()));
      } else {
        traceMismatch("SINT16");
      }
      break;
    case 4:
      if (value.IsInt()) {
        node->writeInt32(value.GetInt());
      } else {
        traceMismatch("SINT32");
      }
      break;
    case 5:
      if (value.IsInt64()) {
        node->writeInt64(value.GetInt64());
      } else {
        traceMismatch("SINT64");
      }
      break;
    case 6:
    case 12:
      if (value.IsUint()) {
        node->writeUint8(static_cast<uint8_t>(value.GetUint()));
      } else {
        traceMismatch("UINT8 / BYTE");
      }
      break;
    case 7:
    case 13:
      if (value.IsUint()) {
        node->writeUint16(static_cast<uint16_t>(value.GetUint()));
      } else {
        traceMismatch("UINT16 / WORD");
      }
      break;
    case 8:
    case 14:
      if (value.IsUint()) {
        node->writeUint32(value.GetUint());
      } else {
        traceMismatch("UINT32 / DWORD");
      }
      break;
    case 9:
    case 15:
    case 54:
    case 55:
    case 56:
    case 57:
      if (value.IsUint64()) {
        node->writeUint64(value.GetUint64());
      } else {
        traceMismatch("UINT64 / LWORD");
      }
      break;
    case 10: {
      // Up to the largest single itself (3.4028234663852886e38), not just its 8-digit print
      // 3.4028234e38, so that every REAL the encoder writes reads back.
      constexpr double largest = std::numeric_limits<float>::max();
      if (value.IsDouble() && value.GetDouble() >= -largest && value.GetDouble() <= largest) {
        node->writeReal(static_cast<float>(value.GetDouble()));
      } else {
        traceMismatch("REAL");
      }
      break;
    }
    case 11:
      if (value.IsDouble()) {
        node->writeLreal(value.GetDouble());
      } else {
        traceMismatch("LREAL");
      }
      break;
    case 16:
    case 17:
    case 18:
    case 19:
      if (value.IsUint()) {
        node->writeUint64(value.GetUint());
      } else {
        traceMismatch("time and /or date");
      }
      break;
    case 22:
      if (value.IsString()) {
        node->writeString(std::string(value.GetString(), value.GetStringLength()));
      } else {
        traceMismatch("STRING");
      }
      break;
    case typeArray:
      break;
    default:
      TRACE(4, "Type no. ", hexString(type), " is not implemented, yet.");
      break;
  }
}
