// Sample times in JSON payloads.
#include "SampleTime.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <ctime>

std::string sampleTimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(time.time_since_epoch());
  // Floor division, so that a time before 1970 still gets milliseconds from 0 to 999.
  auto seconds = duration_cast<std::chrono::seconds>(sinceEpoch);
  if (seconds > sinceEpoch) seconds -= std::chrono::seconds(1);
  const long millis = static_cast<long>((sinceEpoch - seconds).count());
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

namespace {
// The text of value as a JSON string, quotes included.
void writeJsonString(rapidjson::StringBuffer& out, const std::string& value) {
  rapidjson::Writer<rapidjson::StringBuffer> writer(out);
  writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}
}  // namespace

void appendStringMember(std::string& jsonObject, const std::string& name, const std::string& value) {
  if (jsonObject.size() < 2 || jsonObject.back() != '}') return;  // not an object: left as it is
  rapidjson::StringBuffer member;
  writeJsonString(member, name);
  member.Put(':');
  rapidjson::StringBuffer text;
  writeJsonString(text, value);
  jsonObject.pop_back();
  if (jsonObject.back() != '{') jsonObject += ',';
  jsonObject.append(member.GetString(), member.GetSize());
  jsonObject.append(text.GetString(), text.GetSize());
  jsonObject += '}';
}
