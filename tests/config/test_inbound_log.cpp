// test-labels: threads
#include "config/inbound_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestran {
namespace {

namespace fs = std::filesystem;

LocalTime Day(int y, int m, int d) {
  LocalTime t;
  t.year = y;
  t.month = m;
  t.day = d;
  t.hour = 12;
  return t;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class InboundLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("kestran-inlog-" + std::to_string(rd()));
    fs::create_directories(root_ / "drive_c" / "inlog");
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

  fs::path root_;
  std::optional<std::string> savedRoot_;
  TCriticalSection lock_;
};

TEST(DailyLogFileName, NamesTheDay) {
  EXPECT_EQ(DailyLogFileName("C:\\inlog", Day(2026, 12, 6)), "C:\\inlog\\1261206.LOG");
  EXPECT_EQ(DailyLogFileName("C:\\inlog\\", Day(2001, 2, 3)), "C:\\inlog\\1010203.LOG");
  EXPECT_EQ(DailyLogFileName("", Day(2026, 1, 31)), "1260131.LOG");
}

TEST_F(InboundLogTest, AppendsLinesToTheFileOfTheDay) {
  TInboundLog log(lock_);
  log.HandleLogFileEvent(true, "C:\\inlog", "first entry", Day(2026, 12, 6));
  log.HandleLogFileEvent(true, "C:\\inlog\\", "second entry", Day(2026, 12, 6));
  log.HandleLogFileEvent(true, "C:\\inlog", "next day", Day(2026, 12, 7));
  log.HandleLogFileEvent(false, "C:\\inlog", "disabled", Day(2026, 12, 6));
  const fs::path dir = root_ / "drive_c" / "inlog";
  EXPECT_EQ(ReadAll(dir / "1261206.LOG"), "first entry\r\nsecond entry\r\n");
  EXPECT_EQ(ReadAll(dir / "1261207.LOG"), "next day\r\n");
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().filename().string().substr(0, 2), "12") << e.path();

  // The current date names the file when no time is given.
  const LocalTime now = NowLocal();
  log.HandleLogFileEvent(true, "C:\\inlog", "now");
  std::string today = DailyLogFileName("", now);
  std::string text = ReadAll(dir / today);
  ASSERT_GE(text.size(), 5u) << today;
  EXPECT_EQ(text.substr(text.size() - 5), "now\r\n") << today;
}

TEST_F(InboundLogTest, MissingDirectoryDropsTheEntry) {
  TInboundLog log(lock_);
  log.HandleLogFileEvent(true, "C:\\nolog", "lost", Day(2026, 12, 6));
  log.HandleLogFileEvent(true, "", "lost", Day(2026, 12, 6));
  log.HandleLogFileEvent(true, "\\\\server\\share", "lost", Day(2026, 12, 6));
  EXPECT_FALSE(fs::exists(root_ / "drive_c" / "nolog"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "1261206.LOG"));
}

TEST_F(InboundLogTest, ALinkUnderTheDaysNameLosesTheEntryAndIsReported) {
  const fs::path dir = root_ / "drive_c" / "inlog";
  { std::ofstream(root_ / "target") << "#!/bin/sh\n"; }
  { std::ofstream(root_ / "registry.reg") << "REGEDIT4\r\n"; }
  fs::create_symlink(root_ / "target", dir / "1261206.LOG");
  fs::create_symlink(root_ / "nowhere", dir / "1261207.LOG");
  // A second name of the registry file: appending there would break the configuration.
  fs::create_hard_link(root_ / "registry.reg", dir / "1261209.LOG");
  std::vector<std::string> reports;
  TInboundLog log(lock_, [&](const std::string& text) { reports.push_back(text); });
  log.HandleLogFileEvent(true, "C:\\inlog", "<B1@h> HELO text", Day(2026, 12, 6));
  log.HandleLogFileEvent(true, "C:\\inlog", "<B2@h> HELO text", Day(2026, 12, 7));
  log.HandleLogFileEvent(true, "C:\\inlog", "<B5@h> HELO text", Day(2026, 12, 9));
  EXPECT_EQ(ReadAll(root_ / "target"), "#!/bin/sh\n");
  EXPECT_EQ(ReadAll(root_ / "registry.reg"), "REGEDIT4\r\n");
  EXPECT_FALSE(fs::exists(root_ / "nowhere"));
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[0].find("C:\\inlog\\1261206.LOG"), std::string::npos) << reports[0];
  EXPECT_NE(reports[2].find("C:\\inlog\\1261209.LOG"), std::string::npos) << reports[2];
  // The next day's file is a plain one again; a log without a reporter stays silent.
  TInboundLog(lock_).HandleLogFileEvent(true, "C:\\inlog", "<B3@h>", Day(2026, 12, 6));
  log.HandleLogFileEvent(true, "C:\\inlog", "<B4@h>", Day(2026, 12, 8));
  EXPECT_EQ(ReadAll(dir / "1261208.LOG"), "<B4@h>\r\n");
  EXPECT_EQ(reports.size(), 3u);
}

TEST_F(InboundLogTest, ConcurrentWritersKeepEveryLineIntact) {
  TInboundLog log(lock_);
  constexpr int kThreads = 16;
  constexpr int kEntries = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEntries; ++i)
        log.HandleLogFileEvent(true, "C:\\inlog",
                               "<B" + std::to_string(t) + "-" + std::to_string(i) + "> " +
                                   std::string(static_cast<size_t>(40 + i % 50), 'x'),
                               Day(2026, 12, 6));
    });
  }
  for (auto& th : threads) th.join();

  std::string all = ReadAll(root_ / "drive_c" / "inlog" / "1261206.LOG");
  std::set<std::string> seen;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string line = all.substr(start, end - start);
    size_t close = line.find("> ");
    ASSERT_NE(close, std::string::npos) << line;
    int i = std::stoi(line.substr(line.find('-') + 1));
    EXPECT_EQ(line.substr(close + 2), std::string(static_cast<size_t>(40 + i % 50), 'x'));
    EXPECT_TRUE(seen.insert(line.substr(0, close)).second) << line;
    start = end + 2;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
  for (const auto& e : fs::directory_iterator(root_ / "drive_c" / "inlog"))
    EXPECT_EQ(e.path().filename(), "1261206.LOG");
}

}  // namespace
}  // namespace kestran
