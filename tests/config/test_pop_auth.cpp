#include "config/pop_auth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kestran {
namespace {

namespace fs = std::filesystem;

constexpr int64_t Ms(int h, int m, int s) {
  return ((h * 60LL + m) * 60 + s) * 1000;
}

std::string Login(const std::string& ip, const std::string& time) {
  return "[06/Dec/2026:" + time + "] POP3 " + ip + " USER joe PASS **** OK";
}

TEST(PopAuth, TimeOfDay) {
  EXPECT_EQ(ParseTimeOfDay("10:00:00"), Ms(10, 0, 0));
  EXPECT_EQ(ParseTimeOfDay("9:5"), Ms(9, 5, 0));
  EXPECT_EQ(ParseTimeOfDay(" 23:59:59 "), Ms(23, 59, 59));
  EXPECT_EQ(ParseTimeOfDay("00:00"), 0);
  for (const char* bad : {"", "10", "24:00", "10:60", "10:00:60", "10:00:", ":10", "a:b",
                          "10:00:00 +0100", "100:00", "10:000", "1 0:00", "-1:00"})
    EXPECT_FALSE(ParseTimeOfDay(bad)) << bad;
}

TEST(PopAuth, SplitsEveryLineEnd) {
  EXPECT_EQ(SplitLogLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLogLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(SplitLogLines("").empty());
}

TEST(PopAuth, AgeLimitAtTheBoundary) {
  const std::vector<std::string> lines{Login("10.0.0.1", "10:00:00")};
  EXPECT_TRUE(ScanPopLog(lines, "10.0.0.1", Ms(10, 29, 59), 30));
  EXPECT_TRUE(ScanPopLog(lines, "10.0.0.1", Ms(10, 30, 0), 30));
  EXPECT_FALSE(ScanPopLog(lines, "10.0.0.1", Ms(10, 30, 0) + 1, 30));
  EXPECT_FALSE(ScanPopLog(lines, "10.0.0.1", Ms(10, 30, 1), 30));
  // A stamp later than now counts; with no delay only such stamps do.
  EXPECT_TRUE(ScanPopLog(lines, "10.0.0.1", Ms(9, 0, 0), 30));
  EXPECT_TRUE(ScanPopLog(lines, "10.0.0.1", Ms(10, 0, 0), 0));
  EXPECT_FALSE(ScanPopLog(lines, "10.0.0.1", Ms(10, 0, 1), 0));
  // A negative delay asks for a stamp that far ahead of now.
  EXPECT_FALSE(ScanPopLog(lines, "10.0.0.1", Ms(10, 0, 0), -5));
  EXPECT_TRUE(ScanPopLog(lines, "10.0.0.1", Ms(9, 55, 0), -5));
  // Stamps without seconds.
  EXPECT_TRUE(ScanPopLog({Login("10.0.0.1", "10:00")}, "10.0.0.1", Ms(10, 5, 0), 5));
}

TEST(PopAuth, WhichLinesQualify) {
  const int64_t now = Ms(10, 10, 0);
  // The address is matched as a substring of the line.
  EXPECT_TRUE(ScanPopLog({Login("10.0.0.15", "10:00:00")}, "10.0.0.1", now, 30));
  EXPECT_FALSE(ScanPopLog({Login("10.0.0.2", "10:00:00")}, "10.0.0.1", now, 30));
  EXPECT_FALSE(ScanPopLog({Login("10.0.0.1", "10:00:00")}, "", now, 30));
  // Markers are case-sensitive; "-ERR" anywhere disqualifies.
  EXPECT_FALSE(ScanPopLog({"[x:10:00:00] 10.0.0.1 PASS **** ok"}, "10.0.0.1", now, 30));
  EXPECT_FALSE(ScanPopLog({Login("10.0.0.1", "10:00:00") + " -ERR"}, "10.0.0.1", now, 30));
  // Without brackets the line is skipped, not an error.
  EXPECT_TRUE(
      ScanPopLog({"10.0.0.1 PASS **** OK", Login("10.0.0.1", "10:00:00")}, "10.0.0.1", now, 30));
  // The stamp is the text between the first "[" and the first "]", after its first ":".
  EXPECT_TRUE(ScanPopLog({"[d:10:05] 10.0.0.1 PASS **** OK [x]"}, "10.0.0.1", now, 30));
}

TEST(PopAuth, ScanOrder) {
  const int64_t now = Ms(10, 10, 0);
  const std::string ip = "192.0.2.9";
  // A malformed stamp on a qualifying line hides every later line.
  EXPECT_FALSE(ScanPopLog({"[] " + ip + " PASS **** OK", Login(ip, "10:00:00")}, ip, now, 30));
  EXPECT_FALSE(ScanPopLog({Login(ip, "25:00:00"), Login(ip, "10:00:00")}, ip, now, 30));
  EXPECT_FALSE(ScanPopLog({"]x[ " + ip + " PASS **** OK", Login(ip, "10:00:00")}, ip, now, 30));
  // ... but a malformed stamp on a line that does not qualify does not.
  EXPECT_TRUE(ScanPopLog({"[] 10.9.9.9 PASS **** OK", Login(ip, "10:00:00")}, ip, now, 30));
  // A login outside the limit does not stop the scan; the first one within decides,
  // so a later malformed line is never looked at.
  EXPECT_TRUE(ScanPopLog(
      {Login(ip, "08:00:00"), Login(ip, "10:00:00"), "[] " + ip + " PASS **** OK"}, ip, now, 30));
  EXPECT_FALSE(ScanPopLog({Login(ip, "08:00:00"), Login(ip, "09:00:00")}, ip, now, 30));
}

TEST(PopAuth, ArbitraryLinesNeverBreakTheScan) {
  const std::string alphabet = "[]:0123456789 PASS****OK-ERR1.2";
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    std::vector<std::string> lines;
    for (int l = 0; l < 4; ++l) {
      std::string line = rng() % 2 ? "1.2 PASS **** OK " : "";
      for (size_t k = rng() % 30; k > 0; --k) line += alphabet[rng() % alphabet.size()];
      lines.push_back(line);
    }
    ScanPopLog(lines, "1.2", static_cast<int64_t>(rng() % 86400000), rng() % 2000);
  }
}

class PopAuthFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("kestran-pop-" + std::to_string(rd()));
    fs::create_directories(root_ / "drive_c" / "pop3log");
    const char* old = std::getenv("KESTRAN_ROOT");
    if (old != nullptr) savedRoot_ = old;
    ::setenv("KESTRAN_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    if (savedRoot_)
      ::setenv("KESTRAN_ROOT", savedRoot_->c_str(), 1);
    else
      ::unsetenv("KESTRAN_ROOT");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(root_ / "drive_c" / "pop3log" / name, std::ios::binary) << text;
  }

  fs::path root_;
  std::optional<std::string> savedRoot_;
  TCriticalSection lock_;
};

LocalTime At(int day, int h, int m) {
  LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = day;
  t.hour = h;
  t.minute = m;
  return t;
}

TEST_F(PopAuthFileTest, ReadsOnlyTheFileOfTheDay) {
  TPopAuth auth(lock_);
  bool valid = true;
  bool handled = false;
  auth.HandlePopAuth("C:\\pop3log", 30, "10.0.0.1", valid, handled, At(6, 10, 10));
  EXPECT_TRUE(handled);
  EXPECT_FALSE(valid);  // no file yet

  Write("1261206.LOG", "other line\r\n" + Login("10.0.0.1", "10:00:00") + "\r\n");
  auth.HandlePopAuth("C:\\pop3log\\", 30, "10.0.0.1", valid, handled, At(6, 10, 10));
  EXPECT_TRUE(valid);
  auth.HandlePopAuth("C:\\pop3log", 30, "10.0.0.7", valid, handled, At(6, 10, 10));
  EXPECT_FALSE(valid);
  // Just after midnight only the new day's (missing) file counts.
  auth.HandlePopAuth("C:\\pop3log", 30, "10.0.0.1", valid, handled, At(7, 0, 1));
  EXPECT_FALSE(valid);
  // An unusable directory is not valid, silently.
  handled = false;
  auth.HandlePopAuth("\\\\server\\share", 30, "10.0.0.1", valid, handled, At(6, 10, 10));
  EXPECT_TRUE(handled);
  EXPECT_FALSE(valid);
}

}  // namespace
}  // namespace kestran

namespace kestran {
namespace {

TEST(PopAuth, IPv6AddressMatchesInAnySpelling) {
  const std::vector<std::string> lines = {
      "[06/Dec/2026:10:00:00] POP3 2001:DB8:0:0::0001 USER joe PASS **** OK",
      "[06/Dec/2026:10:00:00] POP3 ::ffff:192.0.2.7 USER ann PASS **** OK",
      "[06/Dec/2026:10:00:00] POP3 2001:db8::12 USER bob PASS **** OK"};
  const int64_t now = ((10 * 60) + 5) * 60 * 1000;
  EXPECT_TRUE(ScanPopLog(lines, "2001:db8::1", now, 30));
  // A word is the whole address: 2001:db8::1 is no part of 2001:db8::12.
  EXPECT_FALSE(ScanPopLog({lines[2]}, "2001:db8::1", now, 30));
  EXPECT_TRUE(ScanPopLog(lines, "2001:db8::12", now, 30));
  EXPECT_FALSE(ScanPopLog(lines, "2001:db8::2", now, 30));
  // The mapped address in the log is the IPv4 client, and a mapped client text too.
  EXPECT_TRUE(ScanPopLog(lines, "192.0.2.7", now, 30));
  EXPECT_TRUE(ScanPopLog({lines[1]}, "::FFFF:192.0.2.7", now, 30));
}

}  // namespace
}  // namespace kestran
