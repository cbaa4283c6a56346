// Sample times in JSON payloads: the time the values of a payload were read, as one more member
// of the payload's object.
#pragma once

#include <chrono>
#include <string>

// RFC 3339 text in UTC with milliseconds, e.g. "2026-12-10T14:03:08.123Z".
std::string sampleTimeText(std::chrono::system_clock::time_point time);

// Appends the string member name: value to the JSON object text jsonObject (which must end with
// its closing "}"), after the members already there. Name and value are escaped as JSON strings.
void appendStringMember(std::string& jsonObject, const std::string& name, const std::string& value);
