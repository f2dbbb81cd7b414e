// test-labels: threads
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "config/message_id.h"
#include "config/registry_access.h"
#include "config/settings_loader.h"
#include "config/temp_root.h"

namespace kestran {
namespace {

TEST(MessageIdThreads, ConcurrentDrawsAreDistinctAndNoneIsLost) {
  test::TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n\"LastMsgId\"=dword:00000063\r\n");
  constexpr int kThreads = 8;
  constexpr int kDraws = 25;
  std::vector<std::vector<int32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kDraws; ++i) drawn[t].push_back(NextMessageId());
    });
  }
  // Readers of other values meanwhile see a consistent registry.
  TRegistry reg(kKeyRead);
  for (int i = 0; i < 50; ++i) {
    if (reg.OpenKey(kHostKey, false)) {
      EXPECT_EQ(reg.ReadInteger("LastMsgId"), 99);
      reg.CloseKey();
    }
  }
  for (auto& t : threads) t.join();
  std::vector<int32_t> all;
  for (const auto& d : drawn) all.insert(all.end(), d.begin(), d.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kDraws));
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], static_cast<int32_t>(100 + i));
  ASSERT_TRUE(reg.OpenKey(kOwnKey, false));
  EXPECT_EQ(reg.ReadInteger("LastMsgId"), 99 + kThreads * kDraws);
}

// Threads served together by one draw across the end of the range: the run goes on at 1,
// and exactly one caller hears of the wrap.
TEST(MessageIdThreads, ADrawAcrossTheEndOfTheRangeGoesOnAtOne) {
  test::TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=dword:7fffff9b\r\n");
  constexpr int kThreads = 8;
  constexpr int kDraws = 25;
  std::vector<std::vector<int64_t>> drawn(kThreads);
  std::atomic<int> wraps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, &wraps, t] {
      for (int i = 0; i < kDraws; ++i) {
        std::optional<uint32_t> wrapped;
        drawn[t].push_back(NextMessageId(wrapped));
        if (wrapped) {
          ++wraps;
          EXPECT_EQ(drawn[t].back(), 1);
          EXPECT_EQ(*wrapped, 0x7fffffffu);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<int64_t> all;
  for (const auto& d : drawn) all.insert(all.end(), d.begin(), d.end());
  std::sort(all.begin(), all.end());
  // 100 numbers up to the end, then 1 to 100.
  ASSERT_EQ(all.size(), 200u);
  for (size_t i = 0; i < 100; ++i) {
    ASSERT_EQ(all[i], static_cast<int64_t>(i + 1));
    ASSERT_EQ(all[100 + i], 0x7fffff9cLL + static_cast<int64_t>(i));
  }
  EXPECT_EQ(wraps.load(), 1);
  TRegistry reg(kKeyRead);
  ASSERT_TRUE(reg.OpenKey(kOwnKey, false));
  EXPECT_EQ(reg.ReadInteger("LastMsgId"), 100);
}

// Callers served together share the outcome of their draw: when the counter cannot be
// stored, every one of them gets the error and no number is handed out; afterwards the
// numbering goes on from the stored value.
TEST(MessageIdThreads, ConcurrentCallersOfAFailedDrawAllGetTheError) {
  test::TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=dword:00000007\r\n");
  std::filesystem::remove(root.Path("registry.lock"));
  std::filesystem::create_directory(root.Path("registry.lock"));  // no lock file possible
  constexpr int kThreads = 8;
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&errors] {
      for (int i = 0; i < 5; ++i) {
        try {
          NextMessageId();
          ADD_FAILURE() << "a number was handed out";
        } catch (const ERegistryException& e) {
          EXPECT_EQ(e.Message(), "Failed to set data for 'LastMsgId'");
          ++errors;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(errors.load(), kThreads * 5);
  std::filesystem::remove(root.Path("registry.lock"));
  EXPECT_EQ(NextMessageId(), 8);
}

}  // namespace
}  // namespace kestran
