// The rate-limit settings: off in the registry's defaults, on with the package's
// starting registry, and the exempt ranges from their subkey.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "config/settings_loader.h"
#include "config/temp_root.h"

namespace kestran {
namespace {

TReceiverSettings Load() {
  TReceiverSettings s;
  LoadHostSettings(s);
  LoadOwnSettings(s);
  return s;
}

TEST(RateLimitSettings, OffByDefaultAndThePackageValuesFromItsStartingRegistry) {
  test::TTempRoot root;
  TReceiverSettings d = Load();
  EXPECT_EQ(d.ConnectRatePerMinute + d.ConnectBurst + d.MessageRatePerMinute + d.MessageBurst +
                d.RecipientRatePerMinute + d.RecipientBurst + d.BadRecipientLimit + d.GreetPause,
            0u);
  EXPECT_FALSE(d.RateLimitLogOnly);
  EXPECT_EQ(d.RateLimitTableSize, 65536u);
  EXPECT_EQ(d.GreetPassHours, 24u);
  EXPECT_TRUE(d.RateLimitExempt.empty());

  const char* source = std::getenv("KESTRAN_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::ifstream in(std::string(source) + "/debian/kestran-start.reg", std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  std::string body = text.str();
  body.erase(0, body.find('\n') + 1);  // WriteRegistry writes the REGEDIT4 line itself
  root.WriteRegistry(body +
                     "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\RateLimitExempt]\r\n"
                     "\"1\"=\" 192.0.2.0/24 \"\r\n\"2\"=\"2001:db8::/32\"\r\n");
  TReceiverSettings p = Load();
  EXPECT_EQ(p.ConnectRatePerMinute, 60u);
  EXPECT_EQ(p.ConnectBurst, 20u);
  EXPECT_EQ(p.MessageRatePerMinute, 120u);
  EXPECT_EQ(p.MessageBurst, 60u);
  EXPECT_EQ(p.RecipientRatePerMinute, 600u);
  EXPECT_EQ(p.RecipientBurst, 200u);
  EXPECT_EQ(p.BadRecipientLimit, 20u);
  EXPECT_EQ(p.GreetPause, 0u);
  EXPECT_FALSE(p.RateLimitLogOnly);
  EXPECT_EQ(p.RateLimitExempt, (TStringList{"192.0.2.0/24", "2001:db8::/32"}));
}

}  // namespace
}  // namespace kestran
