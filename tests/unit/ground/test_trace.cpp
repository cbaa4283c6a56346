// The trace log: prefix shape, level filtering, whole lines from concurrent writers.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Trace.h"

namespace {

const std::regex kLine(R"(ZAL_MQTT  \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.000\| (.*))");

TEST(Trace, PrefixHasTheFixedShape) {
  std::string prefix = tracePrefix();
  EXPECT_TRUE(
      std::regex_match(prefix, std::regex(R"(ZAL_MQTT  \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.000\| )")))
      << prefix;
}

TEST(Trace, PiecesAreFormattedLikeAStream) {
  uint8_t small = 200;
  int8_t negative = -5;
  EXPECT_EQ(traceText("a", 42u, " ", -7, " ", true, false, " ", small, " ", negative, " ", 1.5),
            "a42 -7 10 200 -5 1.5");
  EXPECT_EQ(hexString(0x81000503u), "81000503");
  EXPECT_EQ(hexString(0), "0");
}

TEST(Trace, LinesAboveTheLevelAreNotWrittenNorBuilt) {
  int evaluated = 0;
  auto piece = [&] {
    ++evaluated;
    return "x";
  };
  for (uint32_t level : {0u, 1u, 2u, 4u}) {
    setTraceLevel(level);
    testing::internal::CaptureStderr();
    for (uint32_t lineLevel = 1; lineLevel <= 4; ++lineLevel) TRACE(lineLevel, "level ", lineLevel, piece());
    std::string out = testing::internal::GetCapturedStderr();
    std::istringstream lines(out);
    std::string line;
    std::vector<std::string> bodies;
    while (std::getline(lines, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
      bodies.push_back(m[1]);
    }
    std::vector<std::string> expected;
    for (uint32_t l = 1; l <= level; ++l) expected.push_back("level " + std::to_string(l) + "x");
    EXPECT_EQ(bodies, expected) << "trace level " << level;
  }
  EXPECT_EQ(evaluated, 0 + 1 + 2 + 4);
  setTraceLevel(0);
}

TEST(Trace, EveryTraceIsOneLine) {
  // Control bytes of configured or received texts are written as \xNN; a line feed that ends
  // the text (exception texts end in one) is dropped.
  setTraceLevel(1);
  testing::internal::CaptureStderr();
  TRACE(1, "topic ", "a\nZAL_MQTT  2026-01-01 00:00:00.000| forged\t\r\x1b\x7f", ".");
  TRACE(1, std::string("Error: open variable handle result is: 0x81000501\n"));
  TRACE(1, "caf\xc3\xa9 \xb0 \\x0a");
  const std::string out = testing::internal::GetCapturedStderr();
  setTraceLevel(0);
  std::istringstream lines(out);
  std::vector<std::string> bodies;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    bodies.push_back(m[1]);
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{
                        "topic a\\x0aZAL_MQTT  2026-01-01 00:00:00.000| forged\\x09\\x0d\\x1b\\x7f.",
                        "Error: open variable handle result is: 0x81000501", "caf\xc3\xa9 \xb0 \\x0a"}));
}

TEST(Trace, ConcurrentWritersGiveWholeLines) {
  setTraceLevel(1);
  testing::internal::CaptureStderr();
  const std::string a(300, 'a'), b(300, 'b');
  std::thread t1([&] {
    for (int i = 0; i < 200; ++i) TRACE(1, a);
  });
  std::thread t2([&] {
    for (int i = 0; i < 200; ++i) TRACE(1, b);
  });
  t1.join();
  t2.join();
  std::string out = testing::internal::GetCapturedStderr();
  setTraceLevel(0);
  std::istringstream lines(out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line.substr(0, 120);
    EXPECT_TRUE(m[1] == a || m[1] == b);
    ++count;
  }
  EXPECT_EQ(count, 400);
}

}  // namespace
