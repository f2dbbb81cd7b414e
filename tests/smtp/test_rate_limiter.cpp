// The token buckets with a clock the test moves, the client keys, the bounded table and
// the event-log summary.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "smtp/client_key.h"
#include "smtp/greet_gate.h"
#include "smtp/rate_limit_report.h"
#include "smtp/rate_limiter.h"

namespace kestran {
namespace {

constexpr int64_t kSecond = 1000000;

class RateLimiterTest : public ::testing::Test {
 protected:
  std::unique_ptr<TRateLimiter> Make(size_t tableSize = 100) {
    auto l = std::make_unique<TRateLimiter>(tableSize, [this] { return now_; });
    l->SetMetrics(nullptr);
    return l;
  }
  static TClientKey Key(const std::string& address) { return *ClientKeyOf(address, 64); }
  // Takes until the first refusal; the number granted.
  static int Drain(TRateLimiter& l, const TClientKey& key, TRateCounter c = TRateCounter::Connect) {
    int n = 0;
    while (l.Take(key, c).Granted && n < 100000) ++n;
    return n;
  }
  int64_t now_ = 1000 * kSecond;
};

TEST_F(RateLimiterTest, BurstPassesThenOneTokenReturnsEverySixtyOverRateSeconds) {
  auto l = Make();
  l->SetLimit(TRateCounter::Connect, 60, 20);
  const TClientKey k = Key("192.0.2.1");
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(l->Take(k, TRateCounter::Connect).Granted) << i;
  TRateDecision refused = l->Take(k, TRateCounter::Connect);
  EXPECT_FALSE(refused.Granted);
  EXPECT_EQ(refused.RetryAfterUs, kSecond);
  EXPECT_EQ(refused.RetrySeconds(), 1u);

  now_ += kSecond - 1;  // not quite back yet
  EXPECT_FALSE(l->Take(k, TRateCounter::Connect).Granted);
  now_ += 1;
  EXPECT_TRUE(l->Take(k, TRateCounter::Connect).Granted);
  EXPECT_FALSE(l->Take(k, TRateCounter::Connect).Granted);

  // Ten seconds later ten tokens are back, never more than the burst after a long pause.
  now_ += 10 * kSecond;
  EXPECT_EQ(Drain(*l, k), 10);
  now_ += 3600 * kSecond;
  EXPECT_EQ(Drain(*l, k), 20);

  // A retry hint is rounded up to whole seconds: 1 a minute leaves 60 s after the burst.
  l->SetLimit(TRateCounter::Mail, 1, 1);
  EXPECT_TRUE(l->Take(k, TRateCounter::Mail).Granted);
  now_ += 1;
  EXPECT_EQ(l->Take(k, TRateCounter::Mail).RetrySeconds(), 60u);
}

TEST_F(RateLimiterTest, TwiceTheLimitAcrossAMinuteBoundaryIsRefused) {
  // A fixed window of a minute would let 60 through at 0:59.9 and 60 more at 1:00.1.
  auto l = Make();
  l->SetLimit(TRateCounter::Mail, 60, 60);
  const TClientKey k = Key("198.51.100.7");
  now_ = 59 * kSecond + 900000;
  EXPECT_EQ(Drain(*l, k, TRateCounter::Mail), 60);
  now_ = 60 * kSecond + 100000;
  EXPECT_EQ(Drain(*l, k, TRateCounter::Mail), 0);
  now_ = 62 * kSecond;
  EXPECT_EQ(Drain(*l, k, TRateCounter::Mail), 2);
}

TEST_F(RateLimiterTest, CountersAndKeysAreApartAndAnOffCounterKeepsNothing) {
  auto l = Make();
  l->SetLimit(TRateCounter::Connect, 60, 1);
  l->SetLimit(TRateCounter::Rcpt, 60, 2);
  const TClientKey a = Key("192.0.2.1"), b = Key("192.0.2.2");
  EXPECT_TRUE(l->Take(a, TRateCounter::Connect).Granted);
  EXPECT_FALSE(l->Take(a, TRateCounter::Connect).Granted);
  EXPECT_TRUE(l->Take(b, TRateCounter::Connect).Granted);
  EXPECT_EQ(Drain(*l, a, TRateCounter::Rcpt), 2);
  EXPECT_EQ(l->Keys(), 2u);

  auto off = Make();
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(off->Take(a, TRateCounter::Mail).Granted);
  EXPECT_EQ(off->Keys(), 0u);
  // Burst 0 is one.
  off->SetLimit(TRateCounter::Mail, 60, 0);
  EXPECT_EQ(Drain(*off, a, TRateCounter::Mail), 1);
}

TEST_F(RateLimiterTest, FullBucketsHoldNoStateAndTheTableStaysBounded) {
  auto l = Make(3);
  l->SetLimit(TRateCounter::Connect, 60, 5);  // a token a second
  const TClientKey a = Key("10.0.0.1"), b = Key("10.0.0.2"), c = Key("10.0.0.3"),
                   d = Key("10.0.0.4");
  l->Take(a, TRateCounter::Connect);
  EXPECT_EQ(l->Keys(), 1u);
  // A second on, a's bucket is full again: it goes as soon as the table is used.
  now_ += kSecond;
  l->Take(b, TRateCounter::Connect);
  EXPECT_EQ(l->Keys(), 1u);
  EXPECT_EQ(l->Evictions(), 0u);

  // Three keys that still count fill the table; a's last use makes b the oldest.
  EXPECT_EQ(Drain(*l, a), 5);
  l->Take(c, TRateCounter::Connect);
  EXPECT_EQ(Drain(*l, a), 0);
  l->Take(d, TRateCounter::Connect);
  EXPECT_EQ(l->Keys(), 3u);
  EXPECT_EQ(l->Evictions(), 1u);
  EXPECT_EQ(Drain(*l, a), 0);  // a was kept, b evicted

  // An idle key is taken before any that still counts, wherever it lies.
  now_ += 2 * kSecond;  // c and d are full again, a still has 3 s to go
  l->Take(b, TRateCounter::Connect);
  EXPECT_EQ(l->Evictions(), 1u);
  EXPECT_EQ(Drain(*l, a), 2);

  // A flood of new keys never grows the table; with time every key goes.
  auto big = Make(100);
  big->SetLimit(TRateCounter::Connect, 60, 20);
  for (uint32_t i = 0; i < 10000; ++i)
    big->Take(Key("10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                  std::to_string(i & 255)),
              TRateCounter::Connect);
  EXPECT_EQ(big->Keys(), 100u);
  EXPECT_EQ(big->Evictions(), 9900u);
  now_ += 2 * kSecond;
  EXPECT_EQ(big->Sweep(), 0u);
}

TEST(ClientKey, OneKeyPerIPv4AddressAndPerIPv6Prefix) {
  const auto k = [](const std::string& a, unsigned bits = 64) { return ClientKeyOf(a, bits); };
  EXPECT_EQ(k("2001:db8:1:2::1"), k("2001:db8:1:2:ffff:ffff:ffff:ffff"));
  EXPECT_NE(k("2001:db8:1:2::1"), k("2001:db8:1:3::1"));
  EXPECT_EQ(k("2001:db8:1:2::1", 48), k("2001:db8:1:3::1", 48));
  EXPECT_EQ(FormatClientKey(*k("2001:DB8:1:2::1")), "2001:db8:1:2::/64");
  // A mapped address is the IPv4 client; IPv4 addresses are never grouped.
  EXPECT_EQ(k("::ffff:192.0.2.1"), k("192.0.2.1"));
  EXPECT_NE(k("192.0.2.1"), k("192.0.2.2"));
  EXPECT_NE(k("::c000:201"), k("192.0.2.1"));
  EXPECT_EQ(FormatClientKey(*k("::ffff:192.0.2.1")), "192.0.2.1");
  EXPECT_FALSE(k("not an address").has_value());
  EXPECT_FALSE(k("").has_value());
}

TEST(RateLimitReport, OneLineAMinuteWithTheCountsSinceTheLast) {
  int64_t now = 0;
  TRateLimitReport r([&] { return now; });
  EXPECT_EQ(r.Due(), "");
  EXPECT_EQ(r.Count(TRateRefusal::Connect, false),
            "Rate limits since the last report: refused connect 1");
  EXPECT_EQ(r.Count(TRateRefusal::Connect, false), "");
  EXPECT_EQ(r.Count(TRateRefusal::Pregreet, false), "");
  EXPECT_EQ(r.Count(TRateRefusal::Rcpt, true), "");
  now += 59 * kSecond;
  EXPECT_EQ(r.Due(), "");
  now += kSecond;
  EXPECT_EQ(r.Due(),
            "Rate limits since the last report: refused connect 1, pregreet 1; would have "
            "refused (RateLimitLogOnly) rcpt 1");
  now += 120 * kSecond;
  EXPECT_EQ(r.Due(), "");
}

TEST(GreetPassList, PassesLastTheirHoursAndTheListStaysBounded) {
  int64_t now = 0;
  TGreetPassList passes(2, [&] { return now; });
  passes.Configure(24, 2);
  const TClientKey a = *ClientKeyOf("192.0.2.1", 64), b = *ClientKeyOf("192.0.2.2", 64),
                   c = *ClientKeyOf("2001:db8::1", 64);
  EXPECT_FALSE(passes.Passed(a));
  passes.Remember(a);
  now += 23 * 3600 * kSecond;
  EXPECT_TRUE(passes.Passed(a));
  now += 3600 * kSecond;
  EXPECT_FALSE(passes.Passed(a));
  passes.Remember(a);
  passes.Remember(b);
  passes.Remember(c);
  EXPECT_EQ(passes.Keys(), 2u);
  EXPECT_FALSE(passes.Passed(a));
  EXPECT_TRUE(passes.Passed(c));

  passes.Configure(0, 2);  // nobody is remembered
  passes.Remember(a);
  EXPECT_FALSE(passes.Passed(a));
}

}  // namespace
}  // namespace kestran
