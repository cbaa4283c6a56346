// Payload codec: variable trees to JSON payloads and JSON payloads back into variables.
//
// Payload format: one object with a member per variable, named after the variable's member
// name. Structs and directories are objects; an array with elements is a JSON array followed, in
// the enclosing object, by "LowerBound_<name>" and "UpperBound_<name>" with the first and the
// last element index. Scalars are numbers, true/false or strings. A value with no JSON form (an
// array without elements, types 20/23, an unknown type code, a REAL or LREAL that is not finite)
// is written as null, so the payload always parses.
//
// Encoding reads every scalar once (toJSON) and keeps what it read as the scalar's change-test
// snapshot, or writes the snapshots the last change test read without reading again
// (snapshotToJSON): either way a payload holds exactly the values that the next change test
// compares against. Decoding takes untrusted text: every member is judged on its own. Problems in
// the payload, and writes the variable server refuses, are traced and that member is skipped; the
// walk goes on with the next one. What one payload makes the decoder trace is bounded by its
// structure, not its size. Failures of element index conversions (only when DOMtoGVP is given
// bounds for nodes that are not array elements) are thrown to the caller, and values written
// before them stay written.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <memory>
#include <string>
#include <vector>

#include "GVPvariable.h"

// The writer the encoder uses: compact (no white space), UTF-8 in and out. Texts reach it
// already valid UTF-8 (see StringEncoding).
class PayloadWriter : public rapidjson::Writer<rapidjson::StringBuffer> {
 public:
  using rapidjson::Writer<rapidjson::StringBuffer>::Writer;

  // Writes a finite double in the shortest decimal form that reads back as the same double
  // (the closest such form when there are several), always with a fraction or an exponent:
  // 1.0, 0.001234, 1.5e-7, 1e30. The text is formatted straight into the buffer.
  bool ShortestDouble(double value);

  // Writes a string, or a member name where the writer expects one, that is all ASCII with no
  // control character below 0x20 and no '"' or '\\' (nothing in it needs an escape): copied
  // into the buffer between quotes in one block.
  bool PlainString(const char* text, size_t length);
};

// What the bytes of the controller's STRINGs are (the root member uiStringEncoding). Payloads are
// valid UTF-8 in both cases. Member names are always written as with kUtf8; raw payloads do not
// pass through the codec and are never converted.
enum class StringEncoding : uint32_t {
  // UTF-8: valid UTF-8 is written byte for byte, each ill-formed sequence as U+FFFD; received
  // strings are written as they arrive.
  kUtf8 = 0,
  // ISO 8859-1: each byte is converted to its UTF-8 character on the way out; received strings
  // are converted back, a character outside Latin-1 written as "?" (traced at level 4).
  kLatin1 = 1,
};

// Process-wide, like the trace level: set from the configuration when it is built, read by the
// encoder and decoder on any thread. kUtf8 until set.
void setStringEncoding(StringEncoding encoding);
StringEncoding getStringEncoding();

// Clears buffer and writes the payload of variables into it: one member per variable, in order.
// Each scalar and string is read once; the value read becomes its snapshot (as after a change
// test) and is what the payload holds. Throws what the change test's reads throw
// (std::runtime_error) and std::invalid_argument / std::out_of_range ("stol") for an array
// element name that is not an index.
void toJSON(const std::vector<std::shared_ptr<GVPvariable>>& variables, rapidjson::StringBuffer& buffer);

// The same payload, written from the snapshots the last change test (hasChanged, getChanged)
// took, without reading anything: call it after the test, on the tested trees or on what
// getChanged handed out. Throws like toJSON, except for reads.
void snapshotToJSON(const std::vector<std::shared_ptr<GVPvariable>>& variables, rapidjson::StringBuffer& buffer);

// Writes the value of node (recursively for structs and arrays), reading each scalar once into
// its snapshot as toJSON does. For an array with elements
// this also writes the two bound members after the array, so the writer must be inside an
// object (or an array, where they come out as a string followed by a number).
void nodeToJSON(const std::shared_ptr<GVPvariable>& node, PayloadWriter& writer);

// Parses payload and writes the values it carries into variables. The text ends at its first
// NUL; it must be one strict JSON value (no comments, trailing commas, NaN; nothing after it but
// white space), nested at most kPayloadMaxDepth deep; numbers are converted exactly (one beyond
// the double range refuses only its own member; a \u escape of a lone UTF-16 surrogate reads as
// U+FFFD). A payload that does not parse writes nothing: it is traced at level 2
// ("payloadToVariables(): payload is not valid JSON (<reason> at offset <n>), nothing written.")
// and the result is false. Returns true when the payload parsed, whether or not anything matched
// or could be written.
bool payloadToVariables(const std::string& payload,
                        const std::vector<std::shared_ptr<GVPvariable>>& variables);

// Deepest nesting of objects and arrays a received payload may have; a deeper one is rejected
// like a payload with a syntax error. Far above the depth any variable tree has.
constexpr unsigned kPayloadMaxDepth = 512;

// Matches a JSON value against nodes. An object is matched member by member by name; an array
// fills nodes in order. When lowerBound < upperBound, an array fills only the nodes whose index
// lies between the bounds (inclusive); otherwise it fills from the first node. Any other value
// does nothing. The bounds of arrays inside the value are its own bound members and markers:
// whole numbers (1 or 1.0) in the int range; any other bound refuses that array, traced.
void DOMtoGVP(const rapidjson::Value& json, const std::vector<std::shared_ptr<GVPvariable>>& nodes,
              int upperBound, int lowerBound);

// Writes one JSON value into node if the value's kind fits the node's type (an integer type
// takes integers inside its own range only; REAL and LREAL take integers too; a STRING takes a
// text without NUL); otherwise traces a type mismatch or, for a number outside the type's range
// (a whole number beyond it, any number beyond the double range, a number that does not round to
// a finite single for REAL), "value out of range" at level 4 and writes nothing. Throws what the
// typed writes throw.
void JSONvalueintoIECnode(const std::shared_ptr<GVPvariable>& node, const rapidjson::Value& value);
// True when the calling thread's last JSONvalueintoIECnode refused its value for its kind or
// range (the two level-4 lines above), so that a caller can name what was refused.
bool lastValueRefused();

// The node among nodes named name, or the element "[i]" of an array node addressed as
// "<array name>[i]"; an empty pointer when nothing matches.
std::shared_ptr<GVPvariable> findNode(const std::vector<std::shared_ptr<GVPvariable>>& nodes,
                                      const std::string& name);
