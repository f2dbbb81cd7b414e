// Mail loops: a message whose header section carries more Received: fields than MaxHops
// is refused at the end of DATA and nothing is queued; fields below the header section,
// folded lines and look-alike names do not count.

#include "smtp/hop_limit.h"
#include "smtp/message_body.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

THeaderScan ScanOf(const std::vector<std::string>& lines) {
  THeaderScan scan;
  bool first = true;
  for (const auto& l : lines) {
    if (!ScanHeaderLine(l, first, scan)) break;
    first = false;
  }
  return scan;
}

TEST(HopCount, CountsReceivedFieldsOfTheHeaderSectionOnly) {
  THeaderScan scan = ScanOf({"Received: from a", "  by b; folded Received: x", "received : from c",
                             "RECEIVED:from d", "Received-SPF: pass", "X-Received: from e",
                             " Received: continuation", "Subject: s", "", "Received: in the body"});
  EXPECT_EQ(scan.receivedCount, 3u);
  // A client that ends its lines with bare LF: one line of ours holds the whole header.
  EXPECT_EQ(ScanOf({"Received: a\nReceived: b\n\nReceived: body"}).receivedCount, 2u);

  THeaderScan fifty;
  fifty.receivedCount = 50;
  EXPECT_FALSE(TooManyHops(fifty, 50));
  fifty.receivedCount = 51;
  EXPECT_TRUE(TooManyHops(fifty, 50));
  EXPECT_FALSE(TooManyHops(fifty, 0));  // no limit
}

class HopLimit : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetForwardMail(true);
    server_->OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = ++next_;
      handled = true;
    };
  }
  static std::vector<std::string> WithHops(size_t n) {
    std::vector<std::string> body;
    for (size_t i = 0; i < n; ++i) body.push_back("Received: from hop" + std::to_string(i));
    body.push_back("Subject: loop");
    body.push_back("");
    body.push_back("text");
    return body;
  }
  int32_t next_ = 0;
};

TEST_F(HopLimit, MoreHopsThanTheLimitAreRefusedAndNothingIsQueued) {
  EXPECT_EQ(server_->MaxHops(), 50u);
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@y.example", WithHops(51)), "554 Too many hops");
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(next_, 0);  // no number was drawn
  // The session goes on, and the transaction is over: a new one may follow.
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@y.example", WithHops(50)), "250 Message received OK");
  EXPECT_EQ(QueueFiles().size(), 2u);
}

TEST_F(HopLimit, ZeroSetsNoLimit) {
  server_->SetMaxHops(0);
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@y.example", WithHops(120)),
            "250 Message received OK");
}

}  // namespace
}  // namespace kestran::testing_smtp
