// Sample times: their text and the member that carries them in a JSON payload.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SampleTime.h"

namespace {

std::chrono::system_clock::time_point at(long long millisSinceEpoch) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(millisSinceEpoch));
}

}  // namespace

TEST(SampleTime, Rfc3339UtcWithMilliseconds) {
  struct Case {
    long long millis;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1796911388123, "2026-12-10T14:03:08.123Z"},
      {1796911388999, "2026-12-10T14:03:08.999Z"},
      {951782400000, "2000-02-29T00:00:00.000Z"},  // leap day
      {-1, "1969-12-31T23:59:59.999Z"},            // before the epoch: milliseconds stay 0..999
  };
  for (const Case& c : cases) EXPECT_EQ(sampleTimeText(at(c.millis)), c.text) << c.millis;
}

TEST(SampleTime, AppendedAsTheLastMemberOfTheObject) {
  struct Case {
    std::string object, name, value, result;
  };
  const Case cases[] = {
      {"{\"Counter\":7}", "SampleTime", "T", "{\"Counter\":7,\"SampleTime\":\"T\"}"},
      {"{}", "SampleTime", "T", "{\"SampleTime\":\"T\"}"},
      {"{\"a\":{\"b\":1}}", "t", "T", "{\"a\":{\"b\":1},\"t\":\"T\"}"},
      {"{\"a\":1}", "quote\"and\\slash", "T", "{\"a\":1,\"quote\\\"and\\\\slash\":\"T\"}"},  // escaped
      {"Running", "t", "T", "Running"},  // not an object: unchanged
      {"", "t", "T", ""},
  };
  for (const Case& c : cases) {
    std::string text = c.object;
    appendStringMember(text, c.name, c.value);
    EXPECT_EQ(text, c.result) << c.object;
  }
}
