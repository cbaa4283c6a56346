// The independent Sparkplug B codec of the integration tests: the npm package sparkplug-payload,
// not the service's own schema. Run by the test harness:
//
//   node codec.js decode <payload as hex> [<alias types as JSON: {"<alias>": "<type name>"}>]
//       prints the decoded payload as one JSON line. Metrics without a data type (data
//       messages carry aliases only) take it from the alias types, as a host application takes
//       them from the birth.
//   node codec.js encode <payload as JSON>
//       prints the encoded payload as hex.
"use strict";
const sparkplug = require("sparkplug-payload").get("spBv1.0");
const proto = require("sparkplug-payload/lib/sparkplugPayloadProto").org.eclipse.tahu.protobuf;

const typeCodes = {Int8: 1, Int16: 2, Int32: 3, Int64: 4, UInt8: 5, UInt16: 6, UInt32: 7, UInt64: 8, Float: 9,
                   Double: 10, Boolean: 11, String: 12, DateTime: 13, Text: 14};

function plain(key, value) {
  // 64-bit numbers come as Long objects: as a number where exact, else as text.
  if (value && typeof value === "object" && typeof value.low === "number" && typeof value.high === "number") {
    const text = value.toString();
    return Number.isSafeInteger(Number(text)) ? Number(text) : text;
  }
  return value;
}

const [command, argument, aliasTypes] = process.argv.slice(2);
if (command === "decode") {
  let bytes = Buffer.from(argument, "hex");
  if (aliasTypes) {
    const types = JSON.parse(aliasTypes);
    const raw = proto.Payload.decode(bytes);
    for (const metric of raw.metrics) {
      if (!metric.datatype && metric.alias !== undefined && metric.alias !== null) {
        const type = types[String(plain("", metric.alias))];
        if (type) metric.datatype = typeCodes[type];
      }
    }
    bytes = proto.Payload.encode(raw).finish();
  }
  process.stdout.write(JSON.stringify(sparkplug.decodePayload(bytes), plain) + "\n");
} else if (command === "encode") {
  process.stdout.write(Buffer.from(sparkplug.encodePayload(JSON.parse(argument))).toString("hex") + "\n");
} else {
  process.stderr.write("usage: node codec.js decode HEX [ALIAS_TYPES] | encode JSON\n");
  process.exit(2);
}
