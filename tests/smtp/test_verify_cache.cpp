// The answers of the mailbox side, remembered per address: Valid and Invalid for their
// own times, Unknown never; bounded, the oldest going first; safe for many sessions.
// test-labels: threads

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "smtp/verify_cache.h"

namespace kestran {
namespace {

class CountingVerifier : public TRecipientVerifier {
 public:
  TVerifyAnswer Verify(const std::string& address) override {
    ++asked;
    if (address.rfind("ok", 0) == 0) return TVerifyAnswer::Valid;
    if (address.rfind("no", 0) == 0) return TVerifyAnswer::Invalid;
    return TVerifyAnswer::Unknown;
  }
  uint64_t MailboxSizeLimit() const override { return 777; }
  std::atomic<int> asked{0};
};

TEST(VerifyCache, KeepsEachAnswerForItsTimeAndTheUnknownNever) {
  auto inner = std::make_shared<CountingVerifier>();
  double now = 1000;
  TVerifyCache cache(inner, 3600, 600, 100, [&] { return now; });
  EXPECT_EQ(cache.Verify("ok@example.org"), TVerifyAnswer::Valid);
  EXPECT_EQ(cache.Verify("OK@Example.ORG"), TVerifyAnswer::Valid);  // any letter case
  EXPECT_EQ(cache.Verify("no@example.org"), TVerifyAnswer::Invalid);
  EXPECT_EQ(cache.Verify("no@example.org"), TVerifyAnswer::Invalid);
  EXPECT_EQ(inner->asked, 2);
  EXPECT_EQ(cache.Verify("later@example.org"), TVerifyAnswer::Unknown);
  EXPECT_EQ(cache.Verify("later@example.org"), TVerifyAnswer::Unknown);
  EXPECT_EQ(inner->asked, 4);
  EXPECT_EQ(cache.Size(), 2u);
  EXPECT_EQ(cache.MailboxSizeLimit(), 777u);

  now += 601;  // the refusal is forgotten, the acceptance is not
  cache.Verify("no@example.org");
  cache.Verify("ok@example.org");
  EXPECT_EQ(inner->asked, 5);
  now += 3600;
  cache.Verify("ok@example.org");
  EXPECT_EQ(inner->asked, 6);
}

TEST(VerifyCache, HoldsAtMostItsCapacityAndEvictsTheOldest) {
  auto inner = std::make_shared<CountingVerifier>();
  double now = 0;
  TVerifyCache cache(inner, 3600, 600, 3, [&] { return now; });
  for (const char* a : {"no1@x", "no2@x", "no3@x", "no4@x"}) cache.Verify(a);
  EXPECT_EQ(cache.Size(), 3u);
  EXPECT_EQ(inner->asked, 4);
  cache.Verify("no4@x");
  cache.Verify("no2@x");
  EXPECT_EQ(inner->asked, 4);  // still held
  cache.Verify("no1@x");       // the oldest went
  EXPECT_EQ(inner->asked, 5);

  // Many sessions at once, far more addresses than room.
  TVerifyCache shared(inner, 3600, 600, 50);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 2000; ++i)
        shared.Verify((i % 2 ? "ok" : "no") + std::to_string(t * 10000 + i % 300) + "@x");
    });
  for (auto& th : threads) th.join();
  EXPECT_LE(shared.Size(), 50u);
}

}  // namespace
}  // namespace kestran
