// Local recipients asked of the mailbox side before RCPT is answered: its acceptance is
// the policy's, its refusal is an unknown user's, and no answer makes the sender wait.

#include <atomic>

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class ScriptedVerifier : public TRecipientVerifier {
 public:
  TVerifyAnswer Verify(const std::string& address) override {
    std::lock_guard<std::mutex> g(lock);
    asked.push_back(address);
    if (address.rfind("gone", 0) == 0) return TVerifyAnswer::Invalid;
    if (address.rfind("later", 0) == 0) return TVerifyAnswer::Unknown;
    return TVerifyAnswer::Valid;
  }
  uint64_t MailboxSizeLimit() const override { return sizeLimit; }
  std::atomic<uint64_t> sizeLimit{0};
  std::mutex lock;
  std::vector<std::string> asked;
};

class RecipientVerification : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->LocalDomains().push_back("example.org");
    server_->SetExtendedErrorRecording(true);
    CaptureLog();
    verifier_ = std::make_shared<ScriptedVerifier>();
    server_->SetRecipientVerifier(verifier_);
  }
  std::shared_ptr<ScriptedVerifier> verifier_;
};

TEST_F(RecipientVerification, TheMailboxSideDecidesForLocalRecipients) {
  server_->SetCheckUser(true);
  server_->LocalUsers() = {"bob", "gone", "later"};
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@client.test>"), "250 OK <s@client.test>");
  EXPECT_EQ(c->Cmd("RCPT TO:<bob@example.org>"), "250 OK <bob@example.org>");
  EXPECT_EQ(c->Cmd("RCPT TO:<gone@example.org>"), "550 <gone@example.org>... user not valid");
  EXPECT_EQ(c->Cmd("RCPT TO:<later@example.org>"),
            "450 <later@example.org>... recipient cannot be verified now, try again later");
  // Refused by the policy before anyone is asked; a foreign recipient is never asked.
  EXPECT_EQ(c->Cmd("RCPT TO:<carol@example.org>"), "550 <carol@example.org>... user not valid");
  EXPECT_EQ(c->Cmd("RCPT TO:<x@elsewhere.test>"), "550 <x@elsewhere.test>... Relaying denied");
  {
    std::lock_guard<std::mutex> g(verifier_->lock);
    EXPECT_EQ(verifier_->asked, (std::vector<std::string>{"bob@example.org", "gone@example.org",
                                                          "later@example.org"}));
  }
  // The refusal is logged as the policy's own.
  const auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[0].find(" 127.0.0.1 550 <gone@example.org> user not valid"), std::string::npos)
      << log[0];
}

TEST_F(RecipientVerification, WithoutAVerifierNothingIsAsked) {
  server_->SetRecipientVerifier(nullptr);
  Start();
  auto c = Connect();
  c->Cmd("MAIL FROM:<s@client.test>");
  EXPECT_EQ(c->Cmd("RCPT TO:<gone@example.org>"), "250 OK <gone@example.org>");
  std::lock_guard<std::mutex> g(verifier_->lock);
  EXPECT_TRUE(verifier_->asked.empty());
}

// The mailbox side's SIZE, once known, caps what EHLO offers, what MAIL takes and what
// DATA keeps, when it is below MaxMessageSize.
TEST_F(RecipientVerification, TheSmallerOfTheTwoSizeLimitsHolds) {
  server_->SetEsmtp(true);
  server_->SetMaxMessageSize(5000);
  server_->OnNextIDEvent = [](int32_t& id, bool& handled) {
    static std::atomic<int32_t> next{0};
    id = ++next;
    handled = true;
  };
  Start();
  auto c = Connect();
  auto ehloSize = [&] {
    c->SendLine("EHLO client.example");
    std::string size;
    for (std::string l = c->ReadLine();; l = c->ReadLine()) {
      if (l.find("SIZE") != std::string::npos) size = l;
      if (l.size() < 4 || l[3] != '-') break;
    }
    return size;
  };
  EXPECT_EQ(ehloSize(), "250-SIZE 5000");  // the hop not asked yet
  verifier_->sizeLimit = 1000;
  EXPECT_EQ(ehloSize(), "250-SIZE 1000");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@client.test> SIZE=1001"),
            "552 5.3.4 Message size exceeds fixed maximum message size");
  const std::vector<std::string> big(30, std::string(60, 'x'));
  EXPECT_EQ(SendMessage(*c, "a@client.test", "bob@example.org", big),
            "552 5.3.4 Message exceeds the size limit");
  verifier_->sizeLimit = 100000;  // larger than MaxMessageSize: that one holds
  EXPECT_EQ(ehloSize(), "250-SIZE 5000");
  EXPECT_EQ(SendMessage(*c, "a@client.test", "bob@example.org", big),
            "250 2.0.0 Message received OK");
}

}  // namespace
}  // namespace kestran::testing_smtp
