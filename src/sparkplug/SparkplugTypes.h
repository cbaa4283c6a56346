// The Sparkplug B data types and how the controller's IEC types map onto them.
//
// Outgoing, every scalar IEC type has one Sparkplug data type; structured types (ARRAY, STRUCT,
// DIRECTORY) become one metric per scalar below them, and the types without a value (20, 23)
// or with an unknown code are refused (sparkplugDataType answers kNoDataType). Incoming, each
// Sparkplug scalar type names the IEC type it stands for (iecTypeFor); a command's value is
// written into the variable it addresses with the variable's own type and range rules, so this
// direction is the documented counterpart, not a write rule.
#pragma once

#include <cstdint>

namespace sparkplug {

// Data type codes of a metric (the "datatype" field).
enum DataType : uint32_t {
  kNoDataType = 0,  // "Unknown": not a value the service publishes or writes
  kInt8 = 1,
  kInt16 = 2,
  kInt32 = 3,
  kInt64 = 4,
  kUInt8 = 5,
  kUInt16 = 6,
  kUInt32 = 7,
  kUInt64 = 8,
  kFloat = 9,
  kDouble = 10,
  kBoolean = 11,
  kString = 12,
  kDateTime = 13,
  kText = 14,
  kUUID = 15,
  kDataSet = 16,
  kBytes = 17,
  kFile = 18,
  kTemplate = 19,
};

// The data type of a metric for a scalar of IEC type code iecType; kNoDataType for a structured
// type, a type without a value or an unknown code.
DataType sparkplugDataType(uint32_t iecType);

// The IEC type code a Sparkplug scalar type stands for (Int8 SINT8, UInt32 UINT32, Float REAL,
// String and Text STRING, DateTime UINT64, ...); 0 for a type the service does not write
// (data sets, templates, bytes, files, UUID, unknown codes).
uint32_t iecTypeFor(uint32_t dataType);

// The type's name as Sparkplug B names it ("Int8", "Boolean", ...), "Unknown"
// for a code outside the table. For trace lines and the documentation.
const char* dataTypeName(uint32_t dataType);

}  // namespace sparkplug
