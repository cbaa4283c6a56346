// The table of IEC types and Sparkplug B data types, both ways.
#include "SparkplugTypes.h"

#include "KalpApi.h"

namespace sparkplug {

DataType sparkplugDataType(uint32_t iecType) {
  // clang-format off
  // Read a row as: IEC type code -> the Sparkplug type of its metric.
  switch (iecType) {
    case KALPAPI_TYPE_BOOL:          return kBoolean;
    case KALPAPI_TYPE_SINT8:         return kInt8;
    case KALPAPI_TYPE_SINT16:        return kInt16;
    case KALPAPI_TYPE_SINT32:        return kInt32;
    case KALPAPI_TYPE_SINT64:        return kInt64;
    case KALPAPI_TYPE_UINT8:         return kUInt8;
    case KALPAPI_TYPE_UINT16:        return kUInt16;
    case KALPAPI_TYPE_UINT32:        return kUInt32;
    case KALPAPI_TYPE_UINT64:        return kUInt64;
    case KALPAPI_TYPE_REAL:          return kFloat;
    case KALPAPI_TYPE_LREAL:         return kDouble;
    case KALPAPI_TYPE_BYTE:          return kUInt8;
    case KALPAPI_TYPE_WORD:          return kUInt16;
    case KALPAPI_TYPE_DWORD:         return kUInt32;
    case KALPAPI_TYPE_LWORD:         return kUInt64;
    // Times and dates: the same number as in a JSON payload (the low 32 bits of the value).
    case KALPAPI_TYPE_TIME:          return kUInt32;
    case KALPAPI_TYPE_DATE:          return kUInt32;
    case KALPAPI_TYPE_TIME_OF_DAY:   return kUInt32;
    case KALPAPI_TYPE_DATE_AND_TIME: return kUInt32;
    case KALPAPI_TYPE_STRING:        return kString;
    // The 64-bit time and date kinds, again as in a JSON payload.
    case 54: case 55: case 56: case 57: return kUInt64;
    default:                         return kNoDataType;
  }
  // clang-format on
}

uint32_t iecTypeFor(uint32_t dataType) {
  // clang-format off
  // Read a row as: Sparkplug type -> the IEC type code it stands for.
  switch (dataType) {
    case kInt8:     return KALPAPI_TYPE_SINT8;
    case kInt16:    return KALPAPI_TYPE_SINT16;
    case kInt32:    return KALPAPI_TYPE_SINT32;
    case kInt64:    return KALPAPI_TYPE_SINT64;
    case kUInt8:    return KALPAPI_TYPE_UINT8;
    case kUInt16:   return KALPAPI_TYPE_UINT16;
    case kUInt32:   return KALPAPI_TYPE_UINT32;
    case kUInt64:   return KALPAPI_TYPE_UINT64;
    case kFloat:    return KALPAPI_TYPE_REAL;
    case kDouble:   return KALPAPI_TYPE_LREAL;
    case kBoolean:  return KALPAPI_TYPE_BOOL;
    case kString:   return KALPAPI_TYPE_STRING;
    case kText:     return KALPAPI_TYPE_STRING;
    case kDateTime: return KALPAPI_TYPE_UINT64;  // milliseconds since 1970
    default:        return 0;
  }
  // clang-format on
}

const char* dataTypeName(uint32_t dataType) {
  static const char* const names[] = {"Unknown", "Int8",    "Int16",  "Int32",    "Int64",
                                      "UInt8",   "UInt16",  "UInt32", "UInt64",   "Float",
                                      "Double",  "Boolean", "String", "DateTime", "Text",
                                      "UUID",    "DataSet", "Bytes",  "File",     "Template"};
  return dataType < sizeof names / sizeof names[0] ? names[dataType] : "Unknown";
}

}  // namespace sparkplug
