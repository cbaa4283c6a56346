#include "PayloadCodec.h"

#include <rapidjson/error/en.h>
#include <rapidjson/internal/dtoa.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <variant>

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

// The shortest decimal that reads back as a positive finite double, the one closest to it
// among those: value ~ digits x 10^exponent, digits without leading or trailing zeros.
struct ShortestDecimal {
  char digits[24];
  int length = 0;
  int exponent = 0;
};

using Wide = unsigned __int128;
using SignedWide = __int128;

int bitWidth(Wide x) {
  const auto high = static_cast<uint64_t>(x >> 64);
  const auto low = static_cast<uint64_t>(x);
  if (high != 0) return 128 - __builtin_clzll(high);
  return low == 0 ? 0 : 64 - __builtin_clzll(low);
}

// 10^n for 0 <= n <= 22, the largest the exact check below can use.
struct PowersOfTen {
  Wide value[23];
  constexpr PowersOfTen() : value() {
    value[0] = 1;
    for (int n = 1; n < 23; ++n) value[n] = value[n - 1] * 10;
  }
};
constexpr PowersOfTen kPowersOfTen;

// RapidJSON's Grisu2 finds a decimal that reads back as value quickly, but not always the
// shortest or the closest one. This proves, with exact integer arithmetic, that its answer is
// both; false when it is not, or when value lies outside the range the proof handles (below
// about 1e-7, above about 1e20, subnormals, powers of two), and std::to_chars decides instead.
//
// value = m x 2^e; every decimal strictly inside (m - 1/2, m + 1/2) x 2^e reads back as value.
// A candidate x x 10^k is compared with it scaled to integers: x * P against (2m +- 1) * Q,
// P = 10^max(k,0) * 2^max(1-e,0), Q = 10^max(-k,0) * 2^max(e-1,0); it lies inside when
// |x*P - 2m*Q| < Q. A candidate on the border is left to std::to_chars, which knows the
// rounding rules for ties.
bool shortestByGrisu(double value, ShortestDecimal& out) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
  if (biasedExponent == 0 || fraction == 0) return false;  // subnormal, or a power of two
  const uint64_t m = fraction | (uint64_t{1} << 52);
  const int e = biasedExponent - 1075;

  char buffer[32];
  int length = 0;
  int k = 0;
  rapidjson::internal::Grisu2(value, buffer, &length, &k);
  if (length < 1 || length > 17) return false;
  uint64_t c = 0;
  for (int i = 0; i < length; ++i) c = c * 10 + static_cast<uint64_t>(buffer[i] - '0');

  if (k > 22 || k < -22) return false;
  const int pShift = std::max(1 - e, 0);
  const int qShift = std::max(e - 1, 0);
  const Wide p10 = kPowersOfTen.value[std::max(k, 0)];
  const Wide q10 = kPowersOfTen.value[std::max(-k, 0)];
  // c * P and 2m * Q stay below 2^124, so that every sum below fits the signed 128 bits.
  if (bitWidth(p10) + pShift > 66 || bitWidth(q10) + qShift > 70) return false;
  const Wide p = p10 << pShift;
  const Wide q = q10 << qShift;

  const auto P = static_cast<SignedWide>(p);
  const auto Q = static_cast<SignedWide>(q);
  const SignedWide center = static_cast<SignedWide>(2 * m) * Q;
  const SignedWide offset = static_cast<SignedWide>(c) * P - center;  // c's distance, scaled
  auto strictlyInside = [Q](SignedWide distance) { return (distance < 0 ? -distance : distance) < Q; };
  auto outside = [Q](SignedWide distance) { return (distance < 0 ? -distance : distance) > Q; };

  // c reads back as value, and no other multiple of 10^k is as close to it.
  const SignedWide twiceDistance = 2 * (offset < 0 ? -offset : offset);
  if (!strictlyInside(offset) || twiceDistance >= P) return false;
  // No decimal with fewer digits reads back as value: else one of the two multiples of 10^(k+1)
  // around c would, and those are c without its last digit and the next one up.
  const SignedWide below = offset - static_cast<SignedWide>(c % 10) * P;
  if (!outside(below) || !outside(below + 10 * P)) return false;

  std::memcpy(out.digits, buffer, static_cast<size_t>(length));
  out.length = length;
  out.exponent = k;
  return true;
}

// std::to_chars's shortest scientific form "d.ddde+x" taken apart.
void shortestByToChars(double value, ShortestDecimal& out) {
  char sci[40];
  const auto converted = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  int length = 0;
  const char* p = sci;
  for (; p != converted.ptr && *p != 'e'; ++p) {
    if (*p != '.') out.digits[length++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), converted.ptr, exponent);
  out.length = length;
  out.exponent = exponent - (length - 1);
}

// Most characters formatDouble writes: sign, 17 digits, point, and "e-324", or "0." and five
// zeros before 17 digits, or 21 digits and ".0".
constexpr size_t kDoubleTextMax = 32;

// Formats a finite double at out, as PayloadWriter::ShortestDouble writes it, laid out as
// RapidJSON lays out its numbers ("1.0", "0.001234", "1.5e-7", "1e30",
// "123456789012345680000.0"); returns the end of the text.
char* formatDouble(double value, char* out) {
  if (value == 0.0) {
    if (std::signbit(value)) *out++ = '-';
    std::memcpy(out, "0.0", 3);
    return out + 3;
  }
  if (value < 0) {
    *out++ = '-';
    value = -value;
  }
  ShortestDecimal decimal;
  if (!shortestByGrisu(value, decimal)) shortestByToChars(value, decimal);
  const char* digits = decimal.digits;
  const int length = decimal.length;
  // value = digits * 10^k; kk is the position of the decimal point after the first digit.
  const int k = decimal.exponent;
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
  return out;
}

// A REAL or LREAL has a JSON form only when finite; otherwise it is written as null.
void writeFloating(PayloadWriter& writer, double value) {
  if (std::isfinite(value)) {
    writer.ShortestDouble(value);
  } else {
    writer.Null();
  }
}

// The STRING encoding in force (setStringEncoding); read once per payload.
std::atomic<StringEncoding> currentStringEncoding{StringEncoding::kUtf8};

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// At text[0] (n > 0 bytes left): the length of the well-formed UTF-8 sequence that starts there,
// or, negated, the length of its longest start that could have begun one (at least 1), which is
// what one U+FFFD replaces. Well-formed means RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF.
int utf8Sequence(const unsigned char* text, size_t n) {
  const unsigned char lead = text[0];
  if (lead < 0x80) return 1;
  int continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong below
    if (lead == 0xED) high = 0x9F;  // surrogates above
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;   // overlong below
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF above
  } else {
    return -1;  // a continuation byte, C0, C1 or F5 to FF
  }
  for (int i = 1; i <= continuations; ++i) {
    if (static_cast<size_t>(i) >= n || text[i] < low || text[i] > high) return -i;
    low = 0x80;
    high = 0xBF;
  }
  return continuations + 1;
}

// Whether text is all well-formed UTF-8; ASCII is checked eight bytes at a time.
bool isUtf8(const char* text, size_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t at = 0;
  while (at < length) {
    if (at + 8 <= length) {
      uint64_t word;
      std::memcpy(&word, bytes + at, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        at += 8;
        continue;
      }
    }
    const int sequence = utf8Sequence(bytes + at, length - at);
    if (sequence < 0) return false;
    at += static_cast<size_t>(sequence);
  }
  return true;
}

// text as UTF-8 with each ill-formed sequence replaced by U+FFFD.
void appendRepairedUtf8(std::string& out, const char* text, size_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t at = 0; at < length;) {
    const int sequence = utf8Sequence(bytes + at, length - at);
    if (sequence > 0) {
      out.append(text + at, static_cast<size_t>(sequence));
      at += static_cast<size_t>(sequence);
    } else {
      out += kReplacementCharacter;
      at += static_cast<size_t>(-sequence);
    }
  }
}

// Whether text is all ASCII with no control character below 0x20 and no '"' or '\\': a JSON
// string of it is the text itself between quotes. Eight bytes at a time.
bool isPlainAscii(const char* text, size_t length) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  size_t at = 0;
  for (; at + 8 <= length; at += 8) {
    uint64_t word;
    std::memcpy(&word, text + at, sizeof word);
    const uint64_t control = (word - kOnes * 0x20) & ~word;  // high bit set where a byte < 0x20
    const uint64_t quote = word ^ (kOnes * '"');
    const uint64_t backslash = word ^ (kOnes * '\\');
    const uint64_t special = control | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash);
    if (((special | word) & kHighs) != 0) return false;
  }
  for (; at < length; ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') return false;
  }
  return true;
}

// Writes text as a JSON string (or member name) in valid UTF-8: as it is when it is valid,
// else with each ill-formed sequence replaced by U+FFFD.
void writeUtf8(PayloadWriter& writer, const char* text, size_t length, bool key) {
  if (isPlainAscii(text, length)) {
    writer.PlainString(text, length);
    return;
  }
  std::string repaired;
  if (!isUtf8(text, length)) {
    repaired.reserve(length + 8);
    appendRepairedUtf8(repaired, text, length);
    text = repaired.data();
    length = repaired.size();
  }
  const auto size = static_cast<rapidjson::SizeType>(length);
  if (key) {
    writer.Key(text, size);
  } else {
    writer.String(text, size);
  }
}

// Writes a Latin-1 text as a JSON string: each byte is its own code point, in UTF-8.
void writeLatin1(PayloadWriter& writer, const std::string& text) {
  std::string converted;
  converted.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      converted += c;
    } else {
      converted += static_cast<char>(0xC0 | (byte >> 6));
      converted += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  writer.String(converted.data(), static_cast<rapidjson::SizeType>(converted.size()));
}

void writeKey(PayloadWriter& writer, const std::string& name) {
  writeUtf8(writer, name.data(), name.size(), true);
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
      // Beyond the largest double the number is kept as an infinity, which no type takes: it
      // refuses its own member only (valid JSON by its grammar; other parsers read it too).
      // Below the smallest double it rounds to zero.
      constexpr double infinity = std::numeric_limits<double>::infinity();
      if (decimalOrder(text) > 0) {
        value = negative ? -infinity : infinity;
      } else {
        value = negative ? -0.0 : 0.0;
      }
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

bool hexQuad(const char* at, const char* end, unsigned& value) {
  if (end - at < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = at[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = static_cast<unsigned>((c | 0x20) - 'a' + 10);
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  return true;
}

// At at, inside a string, a \u escape of a UTF-16 surrogate that is not part of a pair (what
// JavaScript gives for a string cut inside an emoji): rewritten to \ufffd, the same length.
// Returns where the scan goes on.
char* replaceLoneSurrogate(char* at, const char* end) {
  unsigned unit = 0;
  if (end - at < 2) return at + (end - at);
  if (at[1] != 'u' || !hexQuad(at + 2, end, unit)) return at + 2;  // any other escape
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    unsigned low = 0;
    if (end - at >= 12 && at[6] == '\\' && at[7] == 'u' && hexQuad(at + 8, end, low) && low >= 0xDC00 &&
        low <= 0xDFFF)
      return at + 12;  // a pair
    std::memcpy(at + 2, "fffd", 4);
  } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
    std::memcpy(at + 2, "fffd", 4);
  }
  return at + 6;
}

// Whether text is one number by JSON's grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(std::string_view text) {
  size_t at = 0;
  auto digits = [&text, &at] {
    const size_t from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at > from;
  };
  if (at < text.size() && text[at] == '-') ++at;
  if (at < text.size() && text[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < text.size() && text[at] == '.') {
    ++at;
    if (!digits()) return false;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == text.size();
}

// Rewrites, in the decoder's copy of a received text, every \u escape of a lone surrogate to
// \ufffd (U+FFFD in that text), in place and without changing the length, so that parse offsets
// stay those of the payload. The parser would refuse the whole payload for a lone high surrogate
// and store a lone low one as bytes that are not UTF-8. A backslash appears in valid JSON only
// inside strings, where it always starts an escape; the search for it is one memchr per escape.
void replaceLoneSurrogates(std::string& text) {
  char* at = &text[0];
  const char* end = at + text.size();
  while (at < end) {
    at = static_cast<char*>(std::memchr(at, '\\', static_cast<size_t>(end - at)));
    if (!at) return;
    at = replaceLoneSurrogate(at, end);
  }
}

// Rewrites, in the same way, every number beyond the double range (1e400: valid JSON, which the
// parser refuses the whole payload for) to 9e308 or -9e308 padded with blanks, which the handler
// keeps as an infinity: out of every type's range, so that only its member is refused. Walks the
// text token by token (strings skipped), so it runs only after a parse failed for that reason.
void replaceNumbersBeyondDouble(std::string& text) {
  char* at = &text[0];
  const char* end = at + text.size();
  while (at < end) {
    const char c = *at;
    if (c == '"') {
      for (++at; at < end && *at != '"';) at += (*at == '\\' && end - at >= 2) ? 2 : 1;
      if (at < end) ++at;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      char* start = at;
      while (at < end && ((*at >= '0' && *at <= '9') || *at == '-' || *at == '+' || *at == '.' || *at == 'e' ||
                          *at == 'E'))
        ++at;
      const std::string_view number(start, static_cast<size_t>(at - start));
      const bool negative = c == '-';
      const size_t used = negative ? 6 : 5;
      if (number.size() >= used && isJsonNumber(number) && decimalOrder(number) > 308) {
        std::memcpy(start, negative ? "-9e308" : "9e308", used);
        std::memset(start + used, ' ', number.size() - used);
      }
    } else {
      ++at;
    }
  }
}

// Strict grammar (no comments, no trailing commas, no NaN), one value and nothing after it but
// white space; numbers as text, for PayloadHandler to convert; in place, on the decoder's own
// copy of the payload, so that strings and numbers are not copied again. The parser recurses
// once per nesting level, and PayloadHandler refuses the level beyond kPayloadMaxDepth before
// the parser descends into it, so the call stack holds at most that many levels.
constexpr unsigned kPayloadParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag;

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

std::string_view memberName(const rapidjson::Value& name) {
  return std::string_view(name.GetString(), name.GetStringLength());
}

// ---- The trace of one payload ----
// What a payload makes the walk trace is bounded by the payload's structure, not its size: the
// surplus elements of one array give one line with their count, the members without a match
// beyond the first few one summary line, and every other line about a member beyond a fixed
// number per payload is only counted and summarised at the end.
constexpr unsigned kUnmatchedLinesPerPayload = 10;
constexpr unsigned kMemberLinesPerPayload = 100;

struct PayloadTrace {
  unsigned unmatchedTraced = 0;
  uint64_t unmatchedLeftOut = 0;
  unsigned linesTraced = 0;
  uint64_t linesLeftOut = 0;
};

// The trace budget of the payload being walked on this thread; nullptr outside a walk, where
// (JSONvalueintoIECnode called on its own) every line is written.
thread_local PayloadTrace* payloadTrace = nullptr;

// Installs a fresh budget for one DOMtoGVP call and writes the summary lines at its end.
class PayloadTraceScope {
 public:
  PayloadTraceScope() : previous_(payloadTrace) { payloadTrace = &trace_; }
  ~PayloadTraceScope() { payloadTrace = previous_; }
  PayloadTraceScope(const PayloadTraceScope&) = delete;
  PayloadTraceScope& operator=(const PayloadTraceScope&) = delete;

  void summarise() const {
    if (trace_.unmatchedLeftOut > 0)
      TRACE(2, "DOMtoGVP(): ", trace_.unmatchedLeftOut, " more members without a match skipped.");
    if (trace_.linesLeftOut > 0)
      TRACE(2, "DOMtoGVP(): ", trace_.linesLeftOut, " more lines about this payload left out.");
  }

 private:
  PayloadTrace trace_;
  PayloadTrace* previous_;
};

// A line about one member of the payload: written while the payload's budget lasts.
template <typename... Pieces>
void memberTrace(uint32_t level, const Pieces&... pieces) {
  if (!traceEnabled(level)) return;
  if (PayloadTrace* budget = payloadTrace) {
    if (budget->linesTraced >= kMemberLinesPerPayload) {
      ++budget->linesLeftOut;
      return;
    }
    ++budget->linesTraced;
  }
  traceWriteLine(traceText(pieces...));
}

// The trace writes control bytes of a received name as \xNN, so a name cannot break the line.
void traceNoMatch(std::string_view name) {
  if (!traceEnabled(2)) return;
  if (PayloadTrace* budget = payloadTrace) {
    if (budget->unmatchedTraced >= kUnmatchedLinesPerPayload) {
      ++budget->unmatchedLeftOut;
      return;
    }
    ++budget->unmatchedTraced;
  }
  traceWriteLine(traceText("no match found for ", name, ", skipping this JSON object member."));
}

// ---- Bounds ----

// The value of a bound: a whole JSON number inside the range of an element index (int), written
// as an integer or with a fraction or exponent (1 and 1.0 alike: producers with one number kind
// write whole numbers either way). False for anything else.
bool boundValue(const rapidjson::Value& value, long& out) {
  if (value.IsInt()) {
    out = value.GetInt();
    return true;
  }
  if (value.IsDouble()) {
    const double number = value.GetDouble();
    if (number == std::trunc(number) && number >= std::numeric_limits<int>::min() &&
        number <= std::numeric_limits<int>::max()) {
      out = static_cast<long>(number);
      return true;
    }
  }
  return false;
}

// The bounds given for one array: none (it fills from its first node), a range, or refused
// (a bound that is not a whole number in the index range: the array is not written at all).
struct Bounds {
  std::optional<IndexRange> range;
  bool refused = false;
};

Bounds boundsFrom(const rapidjson::Value* lower, const rapidjson::Value* upper) {
  Bounds bounds;
  if (!lower && !upper) return bounds;
  long low = std::numeric_limits<long>::min();
  long high = std::numeric_limits<long>::max();
  if ((lower && !boundValue(*lower, low)) || (upper && !boundValue(*upper, high))) {
    bounds.refused = true;
  } else {
    bounds.range = IndexRange{low, high};  // a missing bound leaves that side open
  }
  return bounds;
}

constexpr std::string_view kLowerBoundPrefix = "LowerBound_";
constexpr std::string_view kUpperBoundPrefix = "UpperBound_";

// 1 for "LowerBound_<rest>", 2 for "UpperBound_<rest>", else 0; rest is what follows.
int boundSide(std::string_view name, std::string_view& rest) {
  if (name.size() < kLowerBoundPrefix.size()) return 0;
  const std::string_view prefix = name.substr(0, kLowerBoundPrefix.size());
  rest = name.substr(kLowerBoundPrefix.size());
  if (prefix == kLowerBoundPrefix) return 1;
  if (prefix == kUpperBoundPrefix) return 2;
  return 0;
}

// The bound members of one JSON object ("LowerBound_<name>", "UpperBound_<name>"), indexed by
// name on first use: one pass over the object and a sorted list, so that an object with many
// arrays and many bound members is still walked in about linear time. The first member of each
// name counts.
class BoundMembers {
 public:
  explicit BoundMembers(const rapidjson::Value& object) : object_(object) {}

  Bounds of(std::string_view name) {
    if (!built_) build();
    const rapidjson::Value* lower = nullptr;
    const rapidjson::Value* upper = nullptr;
    auto entry = std::lower_bound(entries_.begin(), entries_.end(), name,
                                  [](const Entry& e, std::string_view n) { return e.target < n; });
    for (; entry != entries_.end() && entry->target == name; ++entry) {
      (entry->side == 1 ? lower : upper) = entry->value;
    }
    return boundsFrom(lower, upper);
  }

 private:
  struct Entry {
    std::string_view target;
    int side;
    size_t order;
    const rapidjson::Value* value;
  };

  void build() {
    built_ = true;
    size_t order = 0;
    for (auto member = object_.MemberBegin(); member != object_.MemberEnd(); ++member, ++order) {
      std::string_view target;
      const int side = boundSide(memberName(member->name), target);
      if (side != 0) entries_.push_back({target, side, order, &member->value});
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      if (a.target != b.target) return a.target < b.target;
      if (a.side != b.side) return a.side < b.side;
      return a.order < b.order;
    });
    // Keep the first member of each name and side.
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [](const Entry& a, const Entry& b) { return a.target == b.target && a.side == b.side; }),
                   entries_.end());
  }

  const rapidjson::Value& object_;
  bool built_ = false;
  std::vector<Entry> entries_;
};

// The index of an element name written as the variable server writes them: "[" and a decimal
// without "+" or leading zeros, then "]".
std::optional<long> canonicalIndex(std::string_view name) {
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return std::nullopt;
  const std::string_view digits = name.substr(1, name.size() - 2);
  long value = 0;
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size()) return std::nullopt;
  const std::string_view magnitude = digits.front() == '-' ? digits.substr(1) : digits;
  if ((magnitude.size() > 1 && magnitude.front() == '0') || digits == "-0") return std::nullopt;
  return value;
}

// The element named elementName among the elements of an array. Elements are listed one per
// index in index order, so the element an index names is found by its position, in constant
// time whatever the array's size (a payload naming many elements stays linear); a list not laid
// out that way is searched.
Slot findElement(const NodeList& elements, std::string_view elementName) {
  if (!elements.empty() && elements.front() && elements.back()) {
    const std::optional<long> first = canonicalIndex(elements.front()->getName());
    const std::optional<long> last = canonicalIndex(elements.back()->getName());
    if (first && last && *last - *first == static_cast<long>(elements.size()) - 1) {
      const std::optional<long> index = canonicalIndex(elementName);
      if (!index || *index < *first || *index > *last) return nullptr;
      const std::shared_ptr<GVPvariable>& element = elements[static_cast<size_t>(*index - *first)];
      if (element && element->getName() == elementName) return &element;
    }
  }
  for (const auto& element : elements) {
    if (element && element->getName() == elementName) return &element;
  }
  return nullptr;
}

// findNode's search: the first node named name, or the element "[i]" of the first array node
// addressed as "<array name>[i]".
Slot locate(const NodeList& nodes, std::string_view name) {
  const bool elementAddress = !name.empty() && name.back() == ']';
  const size_t bracket = elementAddress ? name.find('[') : std::string_view::npos;
  for (const auto& node : nodes) {
    if (!node) continue;
    const std::string& nodeName = node->getName();
    if (nodeName == name) return &node;
    if (bracket != std::string_view::npos && node->getType() == typeArray &&
        name.substr(0, bracket) == nodeName) {
      const Slot element = findElement(node->getChildren(), name.substr(bracket));
      if (element) return element;
    }
  }
  return nullptr;
}

// Which names a node list may hold. The members of one node have distinct names: a member's
// name makes its path, so two members of one node with the same name would be one variable. Any
// other list (the variables of a configuration) may name two variables alike.
enum class ListNames { kMembersOfOneNode, kAny };

// DOMtoGVP's walk: an object member by member, an array in order (within range when given).
void fill(const rapidjson::Value& json, const NodeList& nodes, ListNames names,
          const std::optional<IndexRange>& range = std::nullopt);

// Writes one scalar member. A write the variable server refuses (or a text too long for one
// write) skips this member only, with a line naming it and the reason.
void writeScalar(const std::shared_ptr<GVPvariable>& node, const rapidjson::Value& value) {
  try {
    JSONvalueintoIECnode(node, value);
  } catch (const std::runtime_error& error) {
    memberTrace(1, "DOMtoGVP(): ", node->getPath(), node->getName(), " not written, skipping this JSON member: ",
                error.what());
  }
}

// After an inner array of an array of arrays, the bound markers the encoder writes for it:
// "LowerBound_<element>" and "UpperBound_<element>", each followed by a number, where <element>
// is the name of the element the inner array went to ("[3]"). Reads those that follow (at most
// one of each side) into lower and upper and returns how many array entries they take. A string
// that names another element, or that no number follows, is not a marker but the next
// element's value. For a surplus inner array (no element), any "[...]" name is its marker. The
// encoder writes markers only inside arrays of arrays: after an inner array that went to a node
// that is not an array element (a variable of a top-level array), nothing is a marker.
size_t innerBoundMarkers(const rapidjson::Value* next, const rapidjson::Value* end, const GVPvariable* element,
                         const rapidjson::Value*& lower, const rapidjson::Value*& upper) {
  if (element && (element->getName().empty() || element->getName().front() != '[')) return 0;
  size_t taken = 0;
  while (taken < 4 && end - next >= static_cast<std::ptrdiff_t>(taken + 2)) {
    const rapidjson::Value& marker = next[taken];
    if (!marker.IsString() || !next[taken + 1].IsNumber()) break;
    std::string_view rest;
    const int side = boundSide(memberName(marker), rest);
    if (side == 0) break;
    if (element ? rest != element->getName() : (rest.empty() || rest.front() != '[')) break;
    const rapidjson::Value*& bound = side == 1 ? lower : upper;
    if (bound) break;  // a second marker of one side belongs to the next element
    bound = &next[taken + 1];
    taken += 2;
  }
  return taken;
}

void traceSurplus(uint64_t count) {
  if (count == 1) {
    memberTrace(2, "DOMtoGVP(): malformed JSON array contains element where GVP tree does NOT.");
  } else if (count > 1) {
    memberTrace(2, "DOMtoGVP(): malformed JSON array contains ", count, " elements where GVP tree does NOT.");
  }
}

// Fills the element target with the inner array inner, within the bounds its markers gave.
void fillInnerArray(const rapidjson::Value& inner, const std::shared_ptr<GVPvariable>& target,
                    const Bounds& bounds) {
  if (!target || target->getChildren().empty()) {
    memberTrace(2, "DOMtoGVP(): malformed JSON array contains array-type element where IEC tree does NOT.");
  } else if (bounds.refused) {
    memberTrace(2, "DOMtoGVP(): malformed JSON array contains a bound marker for ", target->getName(),
                " that is not a whole number in the index range, skipping this element.");
  } else if (bounds.range && target->getType() != typeArray) {
    memberTrace(2, "DOMtoGVP(): malformed JSON array contains bound markers for ", target->getName(),
                ", which is not an array, skipping this element.");
  } else if (bounds.range && bounds.range->lower > bounds.range->upper) {
    memberTrace(2, "DOMtoGVP(): malformed JSON array contains crossed bound markers for ", target->getName(),
                ", skipping this element.");
  } else {
    fill(inner, target->getChildren(), ListNames::kMembersOfOneNode, bounds.range);
  }
}

void walkArray(const rapidjson::Value& array, const std::vector<std::shared_ptr<GVPvariable>>& nodes,
               const std::optional<IndexRange>& range) {
  auto node = nodes.begin();
  const rapidjson::Value* const end = array.End();
  uint64_t surplus = 0;  // elements beyond the last node, traced once at the end
  for (const rapidjson::Value* element = array.Begin(); element != end; ++element) {
    if (range) {
      while (node != nodes.end() && (*node == nullptr || elementIndex((*node)->getName()) < range->lower))
        ++node;
      if (node != nodes.end() && elementIndex((*node)->getName()) > range->upper) break;
    }
    const bool hasNode = node != nodes.end();
    if (element->IsArray()) {
      const rapidjson::Value* lower = nullptr;
      const rapidjson::Value* upper = nullptr;
      const rapidjson::Value& inner = *element;
      element += innerBoundMarkers(element + 1, end, hasNode ? node->get() : nullptr, lower, upper);
      if (!hasNode) {
        ++surplus;
        continue;
      }
      fillInnerArray(inner, *node, boundsFrom(lower, upper));
    } else if (!hasNode) {
      ++surplus;
      continue;
    } else if (element->IsObject()) {
      const std::shared_ptr<GVPvariable>& target = *node;
      if (target && !target->getChildren().empty()) {
        fill(*element, target->getChildren(), ListNames::kMembersOfOneNode);
      } else {
        memberTrace(2, "DOMtoGVP(): malformed JSON array contains object-type element where IEC tree does NOT.");
      }
    } else if (*node) {
      writeScalar(*node, *element);
    }
    ++node;
  }
  traceSurplus(surplus);
}

// findNode for the members of one JSON object. Names ending in "]" may address an array element
// and always take findNode's own path. Otherwise:
// - In the members of one node (distinct names), a payload usually names them in their own
//   order (the encoder does), so the node after the last one found is tried first.
// - From the second look-up on, the finder indexes the names once in a small hash table that
//   keeps the first node of each name, which is the node findNode gives.
class NodeFinder {
 public:
  NodeFinder(const NodeList& nodes, ListNames names)
      : nodes_(nodes), distinct_(names == ListNames::kMembersOfOneNode) {}

  Slot find(std::string_view name) {
    if (!name.empty() && name.back() == ']') return locate(nodes_, name);
    if (distinct_ && next_ < nodes_.size()) {
      const std::shared_ptr<GVPvariable>& guess = nodes_[next_];
      if (guess && guess->getName() == name) {
        ++next_;
        return &guess;
      }
    }
    const Slot found = search(name);
    if (found) next_ = static_cast<size_t>(found - nodes_.data()) + 1;
    return found;
  }

 private:
  Slot search(std::string_view name) {
    if (nodes_.size() < kIndexFrom) return locate(nodes_, name);
    if (table_.empty()) {
      if (lookups_++ == 0) return locate(nodes_, name);
      buildIndex();
    }
    const uint64_t hash = hashOf(name);
    for (size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const uint32_t entry = table_[slot];
      if (entry == 0) return nullptr;
      if (hashes_[entry - 1] == hash && *names_[entry - 1] == name) return &nodes_[entry - 1];
    }
  }

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
    static const std::string noName;
    for (size_t i = 0; i < nodes_.size(); ++i) {
      names_.push_back(nodes_[i] ? &nodes_[i]->getName() : &noName);
      hashes_.push_back(hashOf(*names_[i]));
      if (!nodes_[i]) continue;
      for (size_t slot = hashes_[i] & mask_;; slot = (slot + 1) & mask_) {
        const uint32_t entry = table_[slot];
        if (entry == 0) {
          table_[slot] = static_cast<uint32_t>(i + 1);
          break;
        }
        if (hashes_[entry - 1] == hashes_[i] && *names_[entry - 1] == *names_[i])
          break;  // the first one stays
      }
    }
  }

  static constexpr size_t kIndexFrom = 8;
  const NodeList& nodes_;
  const bool distinct_;
  size_t next_ = 0;                        // the node after the last one found
  std::vector<const std::string*> names_;  // the nodes' own names, not copies
  std::vector<uint64_t> hashes_;
  std::vector<uint32_t> table_;  // node index + 1; 0 is a free slot
  size_t mask_ = 0;
  unsigned lookups_ = 0;
};

void walkObject(const rapidjson::Value& object, const NodeList& nodes, ListNames names) {
  NodeFinder finder(nodes, names);
  BoundMembers bounds(object);
  for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
    if (nodes.empty()) {
      memberTrace(2, "DOMtoGVP(): malformed JSON object contains element where IEC tree does NOT.");
      continue;
    }
    const rapidjson::Value& value = member->value;
    const std::string_view name = memberName(member->name);
    if (value.IsObject()) {
      const Slot node = finder.find(name);
      if (!node) {
        traceNoMatch(name);
      } else if (!(*node)->getChildren().empty()) {
        fill(value, (*node)->getChildren(), ListNames::kMembersOfOneNode);
      } else {
        memberTrace(2, "DOMtoGVP(): malformed JSON object contains object element where IEC tree does NOT.");
      }
    } else if (value.IsArray()) {
      const Slot node = finder.find(name);
      if (!node) {
        traceNoMatch(name);
      } else if ((*node)->getChildren().empty()) {
        memberTrace(2, "DOMtoGVP(): malformed JSON object contains array element where IEC tree does NOT.");
      } else {
        const Bounds range = bounds.of(name);
        if (range.refused) {
          memberTrace(2, "DOMtoGVP(): malformed JSON object contains a bound member for ", name,
                      " that is not a whole number in the index range, skipping this JSON object member.");
        } else if (range.range && (*node)->getType() != typeArray) {
          // Element indices come from the nodes' names, and a struct's fields have none.
          memberTrace(2, "DOMtoGVP(): malformed JSON object contains bound members for ", name,
                      ", which is not an array, skipping this JSON object member.");
        } else if (range.range && range.range->lower > range.range->upper) {
          memberTrace(2, "DOMtoGVP(): malformed JSON object contains crossed bound members for ", name,
                      ", skipping this JSON object member.");
        } else {
          walkArray(value, (*node)->getChildren(), range.range);
        }
      }
    } else if (!containsBoundPrefix(name)) {
      const Slot node = finder.find(name);
      if (!node) {
        traceNoMatch(name);
      } else {
        writeScalar(*node, value);
      }
    }
  }
}

// Set by the two lines below, cleared at the start of each JSONvalueintoIECnode call.
thread_local bool valueRefused = false;

void traceMismatch(const char* expected) {
  valueRefused = true;
  memberTrace(4, "JSONvalueintoIECnode(): type mismatch: ", expected, " expected.");
}

void traceOutOfRange(const char* expected) {
  valueRefused = true;
  memberTrace(4, "JSONvalueintoIECnode(): value out of range: ", expected, " expected.");
}

// Whether value is a number that lies outside [low, high) as a whole number: a double (a number
// written with a fraction or an exponent, or an integer too long for 64 bits) with no fraction,
// or beyond the double range (kept as an infinity). Such a number is out of a type's range
// rather than of the wrong kind.
bool wholeNumberOutside(const rapidjson::Value& value, double low, double highExclusive) {
  if (!value.IsDouble()) return false;
  const double number = value.GetDouble();
  if (std::isinf(number)) return true;
  return number == std::trunc(number) && (number < low || number >= highExclusive);
}

// Writes a received JSON string into a STRING node. With Latin-1 STRINGs, the UTF-8 text is
// converted back: a character outside Latin-1 (or a byte sequence that is not UTF-8) becomes
// "?", traced once per string.
void writeReceivedString(GVPvariable& node, const rapidjson::Value& value) {
  const char* text = value.GetString();
  const size_t length = value.GetStringLength();
  // A STRING ends at its first NUL: stored, the text would read back cut without a word.
  if (std::memchr(text, '\0', length) != nullptr) {
    memberTrace(4, "JSONvalueintoIECnode(): text for ", node.getName(), " holds a NUL character, nothing written.");
    return;
  }
  if (currentStringEncoding.load(std::memory_order_relaxed) != StringEncoding::kLatin1) {
    node.writeString(std::string(text, length));
    return;
  }
  std::string converted;
  converted.reserve(length);
  bool replaced = false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t at = 0; at < length;) {
    const int sequence = utf8Sequence(bytes + at, length - at);
    if (sequence == 1) {
      converted += text[at];
    } else if (sequence == 2 && bytes[at] <= 0xC3) {  // U+0080 to U+00FF
      converted += static_cast<char>(((bytes[at] & 0x1F) << 6) | (bytes[at + 1] & 0x3F));
    } else {
      converted += '?';
      replaced = true;
    }
    at += static_cast<size_t>(sequence > 0 ? sequence : -sequence);
  }
  if (replaced) memberTrace(4, "JSONvalueintoIECnode(): character outside Latin-1 written as \"?\".");
  node.writeString(converted);
}

enum class IntegerFit { kFits, kOutOfRange, kNotAnInteger };

// Whether value is a JSON integer inside the range of T; when it is, out holds it.
template <typename T>
IntegerFit integerFit(const rapidjson::Value& value, T& out) {
  if (value.IsInt64()) {
    const int64_t number = value.GetInt64();
    if constexpr (std::is_signed_v<T>) {
      if (number < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
          number > static_cast<int64_t>(std::numeric_limits<T>::max()))
        return IntegerFit::kOutOfRange;
    } else {
      if (number < 0 || static_cast<uint64_t>(number) > static_cast<uint64_t>(std::numeric_limits<T>::max()))
        return IntegerFit::kOutOfRange;
    }
    out = static_cast<T>(number);
    return IntegerFit::kFits;
  }
  if (value.IsUint64()) {  // above the signed 64-bit range
    if constexpr (std::is_same_v<T, uint64_t>) {
      out = value.GetUint64();
      return IntegerFit::kFits;
    }
    return IntegerFit::kOutOfRange;
  }
  if (wholeNumberOutside(value, static_cast<double>(std::numeric_limits<T>::min()),
                         std::ldexp(1.0, std::numeric_limits<T>::digits)))
    return IntegerFit::kOutOfRange;
  return IntegerFit::kNotAnInteger;
}

// Writes value with write when it is an integer of T's range. An integer outside the range is
// refused rather than cut to the low bits (300 would land in a SINT8 as 44).
template <typename T, typename Write>
void writeInteger(const rapidjson::Value& value, const char* typeName, Write write) {
  T number{};
  switch (integerFit(value, number)) {
    case IntegerFit::kFits:
      write(number);
      break;
    case IntegerFit::kOutOfRange:
      traceOutOfRange(typeName);
      break;
    case IntegerFit::kNotAnInteger:
      traceMismatch(typeName);
      break;
  }
}

void fill(const rapidjson::Value& json, const NodeList& nodes, ListNames names,
          const std::optional<IndexRange>& range) {
  if (json.IsObject()) {
    walkObject(json, nodes, names);
  } else if (json.IsArray()) {
    walkArray(json, nodes, range);
  }
}

}  // namespace

// -------------------------------------------------------------------------------------------------

bool PayloadWriter::PlainString(const char* text, size_t length) {
  Prefix(rapidjson::kStringType);
  char* const out = os_->Push(length + 2);
  out[0] = '"';
  std::memcpy(out + 1, text, length);
  out[length + 1] = '"';
  return EndValue(true);
}

bool PayloadWriter::ShortestDouble(double value) {
  Prefix(rapidjson::kNumberType);
  char* const start = os_->Push(kDoubleTextMax);
  const char* const end = formatDouble(value, start);
  os_->Pop(kDoubleTextMax - static_cast<size_t>(end - start));
  return EndValue(true);
}

namespace {

// Whether the encoder reads each scalar (and keeps what it read as the node's snapshot) or
// writes the snapshots that the last change test read.
enum class ValueSource { ReadNow, Snapshot };

template <typename To, typename From>
To reinterpretBits(From bits) {
  static_assert(sizeof(To) == sizeof(From), "same width");
  To value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The raw bits of a scalar, zero-extended: read now (and kept as its snapshot) or the snapshot's.
uint64_t scalarBits(GVPvariable& node, ValueSource source) {
  return source == ValueSource::ReadNow ? node.readSnapshotBits() : node.getSnapshotBits();
}

// One read per scalar: the value read is kept as the snapshot, so the payload holds exactly what
// the next change test compares against; or the snapshot the last change test read.
void writeNode(const std::shared_ptr<GVPvariable>& node, PayloadWriter& writer, ValueSource source) {
  if (!node) {
    writer.Null();
    return;
  }
  GVPvariable& value = *node;
  const uint32_t type = value.getType();
  switch (type) {
    case 1:
      writer.Bool(scalarBits(value, source) != 0);
      break;
    case 2:
      writer.Int(static_cast<int8_t>(static_cast<uint8_t>(scalarBits(value, source))));
      break;
    case 3:
      writer.Int(static_cast<int16_t>(static_cast<uint16_t>(scalarBits(value, source))));
      break;
    case 4:
      writer.Int(static_cast<int32_t>(static_cast<uint32_t>(scalarBits(value, source))));
      break;
    case 5:
      writer.Int64(static_cast<int64_t>(scalarBits(value, source)));
      break;
    case 6:
    case 12:
    case 7:
    case 13:
    case 8:
    case 14:
      writer.Uint(static_cast<uint32_t>(scalarBits(value, source)));
      break;
    case 9:
    case 15:
    case 54:
    case 55:
    case 56:
    case 57:
      writer.Uint64(scalarBits(value, source));
      break;
    case 10:
      writeFloating(writer, static_cast<double>(
                                reinterpretBits<float>(static_cast<uint32_t>(scalarBits(value, source)))));
      break;
    case 11:
      writeFloating(writer, reinterpretBits<double>(scalarBits(value, source)));
      break;
    case 16:
    case 17:
    case 18:
    case 19:
      writer.Uint(static_cast<uint32_t>(scalarBits(value, source)));
      break;
    case 22: {
      if (source == ValueSource::ReadNow) value.readSnapshot();
      const std::string* text = value.getSnapshotText();
      if (text == nullptr)
        throw std::runtime_error("nodeToJSON(): variable " + value.getName() + " holds no text.");
      if (currentStringEncoding.load(std::memory_order_relaxed) == StringEncoding::kLatin1) {
        writeLatin1(writer, *text);
      } else {
        writeUtf8(writer, text->data(), text->size(), false);
      }
      break;
    }
    case typeArray: {
      const auto& elements = node->getChildren();
      if (elements.empty()) {
        writer.Null();
        break;
      }
      writer.StartArray();
      for (const auto& element : elements) writeNode(element, writer, source);
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
        writeNode(child, writer, source);
      }
      writer.EndObject();
      break;
    default:
      TRACE(2, "nodeToJSON(): Type no. 0x", hexString(type), " is not implemented, yet.");
      writer.Null();
      break;
  }
}

void writePayload(const std::vector<std::shared_ptr<GVPvariable>>& variables, rapidjson::StringBuffer& buffer,
                  ValueSource source) {
  buffer.Clear();
  PayloadWriter writer(buffer, nullptr, 32);
  writer.StartObject();
  for (const auto& variable : variables) {
    if (!variable) continue;
    writeKey(writer, variable->getName());
    writeNode(variable, writer, source);
  }
  writer.EndObject();
}

}  // namespace

void nodeToJSON(const std::shared_ptr<GVPvariable>& node, PayloadWriter& writer) {
  writeNode(node, writer, ValueSource::ReadNow);
}

void toJSON(const std::vector<std::shared_ptr<GVPvariable>>& variables, rapidjson::StringBuffer& buffer) {
  writePayload(variables, buffer, ValueSource::ReadNow);
}

void snapshotToJSON(const std::vector<std::shared_ptr<GVPvariable>>& variables, rapidjson::StringBuffer& buffer) {
  writePayload(variables, buffer, ValueSource::Snapshot);
}

void setStringEncoding(StringEncoding encoding) {
  currentStringEncoding.store(encoding, std::memory_order_relaxed);
}

StringEncoding getStringEncoding() { return currentStringEncoding.load(std::memory_order_relaxed); }

bool payloadToVariables(const std::string& payload,
                        const std::vector<std::shared_ptr<GVPvariable>>& variables) {
  rapidjson::Document document;
  rapidjson::ParseResult result;
  const char* failure = nullptr;
  // The parse rewrites its text in place and the document points into it: both live here. The
  // text ends at its terminating NUL, or at a NUL inside it, as received payloads do.
  std::string text = payload;
  replaceLoneSurrogates(text);
  auto parse = [&text, &result, &failure](rapidjson::Document& target) {
    rapidjson::InsituStringStream input(&text[0]);
    PayloadHandler handler(target);
    rapidjson::Reader reader;
    result = reader.Parse<kPayloadParseFlags>(input, handler);
    failure = handler.failure();
    return !result.IsError();
  };
  document.Populate(parse);
  if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
    // Once more, from the payload, with such numbers rewritten (the parse changed the copy).
    text = payload;
    replaceLoneSurrogates(text);
    replaceNumbersBeyondDouble(text);
    document.Populate(parse);
  }
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
  std::optional<IndexRange> range;
  if (lowerBound < upperBound) range = IndexRange{lowerBound, upperBound};
  PayloadTraceScope trace;
  fill(json, nodes, ListNames::kAny, range);
  trace.summarise();
}

std::shared_ptr<GVPvariable> findNode(const std::vector<std::shared_ptr<GVPvariable>>& nodes,
                                      const std::string& name) {
  const Slot node = locate(nodes, name);
  return node ? *node : nullptr;
}

bool lastValueRefused() { return valueRefused; }

void JSONvalueintoIECnode(const std::shared_ptr<GVPvariable>& node, const rapidjson::Value& value) {
  valueRefused = false;
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
      writeInteger<int8_t>(value, "SINT8", [&node](int8_t v) { node->writeInt8(v); });
      break;
    case 3:
      writeInteger<int16_t>(value, "SINT16", [&node](int16_t v) { node->writeInt16(v); });
      break;
    case 4:
      writeInteger<int32_t>(value, "SINT32", [&node](int32_t v) { node->writeInt32(v); });
      break;
    case 5:
      writeInteger<int64_t>(value, "SINT64", [&node](int64_t v) { node->writeInt64(v); });
      break;
    case 6:
    case 12:
      writeInteger<uint8_t>(value, "UINT8 / BYTE", [&node](uint8_t v) { node->writeUint8(v); });
      break;
    case 7:
    case 13:
      writeInteger<uint16_t>(value, "UINT16 / WORD", [&node](uint16_t v) { node->writeUint16(v); });
      break;
    case 8:
    case 14:
      writeInteger<uint32_t>(value, "UINT32 / DWORD", [&node](uint32_t v) { node->writeUint32(v); });
      break;
    case 9:
    case 15:
    case 54:
    case 55:
    case 56:
    case 57:
      writeInteger<uint64_t>(value, "UINT64 / LWORD", [&node](uint64_t v) { node->writeUint64(v); });
      break;
    case 10: {
      // Every number that rounds to a finite single: below 2^128 - 2^103, the midpoint between
      // the largest single (3.4028234663852886e38) and 2^128, so that 3.4028235e38 (how many
      // producers print the largest single) is that single. A JSON integer (JSON has one number
      // kind; producers write 1500.0 as 1500) goes straight to the nearest single, and every
      // 64-bit integer lies inside the REAL range.
      constexpr double roundsToInfinity = 0x1.ffffffp127;
      if (value.IsDouble() && std::fabs(value.GetDouble()) < roundsToInfinity) {
        node->writeReal(static_cast<float>(value.GetDouble()));
      } else if (value.IsDouble()) {
        traceOutOfRange("REAL");
      } else if (value.IsInt64()) {
        node->writeReal(static_cast<float>(value.GetInt64()));
      } else if (value.IsUint64()) {
        node->writeReal(static_cast<float>(value.GetUint64()));
      } else {
        traceMismatch("REAL");
      }
      break;
    }
    case 11:
      // A JSON integer becomes the nearest double (beyond 2^53 not every integer has one).
      if (value.IsDouble() && std::isinf(value.GetDouble())) {
        traceOutOfRange("LREAL");
      } else if (value.IsDouble()) {
        node->writeLreal(value.GetDouble());
      } else if (value.IsInt64()) {
        node->writeLreal(static_cast<double>(value.GetInt64()));
      } else if (value.IsUint64()) {
        node->writeLreal(static_cast<double>(value.GetUint64()));
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
      } else if (value.IsInt64() || value.IsUint64() || wholeNumberOutside(value, 0.0, 4294967296.0)) {
        traceOutOfRange("time and /or date");  // an integer outside the 32-bit unsigned range
      } else {
        traceMismatch("time and /or date");
      }
      break;
    case 22:
      if (value.IsString()) {
        writeReceivedString(*node, value);
      } else {
        traceMismatch("STRING");
      }
      break;
    case typeArray:
      break;
    default:
      memberTrace(4, "Type no. ", hexString(type), " is not implemented, yet.");
      break;
  }
}
