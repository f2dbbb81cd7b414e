// The acceptance policy end to end: the classification of the client when it connects
// and the RCPT decision table, with the protocol-log entries it produces.

#include <regex>

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class Policy : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetLocalDomains({" Corp.EXAMPLE ", "other.example"});
    CaptureLog();
  }
  static TNetRange Net(const std::string& text) { return *ParseNet(text); }
};

const std::string kStamp = R"(\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\])";

TEST_F(Policy, AdmittedClientGetsLocalMailOnlyUnlessForwarding) {
  server_->SetExtendedErrorRecording(true);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("RCPT TO:<user@corp.example>"), "250 OK <user@corp.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<user@mail.corp.example>"),
            "550 <user@mail.corp.example>... Relaying denied");
  EXPECT_EQ(c->Cmd("RCPT TO:<user@corp.example>"), "250 OK <user@corp.example>");
  auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      log[0],
      std::regex(kStamp + R"( 127\.0\.0\.1 550 <user@mail\.corp\.example> relaying denied)")))
      << log[0];
}

TEST_F(Policy, BarePostmasterIsJudgedAsTheHostsWithoutLocalDomains) {
  server_->SetLocalDomains({});
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("RCPT TO:<postmaster>"), "550 <postmaster@" + Host() + ">... Relaying denied");
}

TEST_F(Policy, ForwardMailAcceptsForeignButStillChecksLocalUsers) {
  server_->SetForwardMail(true);
  server_->SetCheckUser(true);
  server_->SetLocalUsers({" Alice "});
  server_->SetSkipUserVerify({"other.example"});
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "250 OK <x@foreign.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<ALICE@corp.example>"), "250 OK <ALICE@corp.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<bob@corp.example>"), "550 <bob@corp.example>... user not valid");
  EXPECT_EQ(c->Cmd("RCPT TO:<bob@Other.Example>"), "250 OK <bob@Other.Example>");
  EXPECT_TRUE(Log().empty());  // no extended recording
}

TEST_F(Policy, CheckUserWithNoUsersRefusesEveryLocalRecipientAndRecordsIt) {
  server_->SetCheckUser(true);
  server_->SetExtendedErrorRecording(true);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("RCPT TO:<alice@corp.example>"), "550 <alice@corp.example>... user not valid");
  auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      log[0], std::regex(kStamp + R"( 127\.0\.0\.1 550 <alice@corp\.example> user not valid)")));
}

TEST_F(Policy, LocalNetworkMayRelayAndIsNeverBlackListed) {
  server_->SetLocalNets({Net("127.0.0.0/8")});
  server_->SetLocalBlackList({Net("127.0.0.1/32")});
  server_->SetLocalBlackListNotice("go away");
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("HELO me"), "250 OK me (unverified [127.0.0.1])");
  EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "250 OK <x@foreign.example>");
  EXPECT_TRUE(Log().empty());
}

TEST_F(Policy, BlackListedClientIsRefusedForTheWholeSession) {
  server_->SetLocalBlackList({Net("127.0.0.0/24")});
  server_->SetLocalBlackListNotice("listed locally");
  server_->SetForwardMail(true);
  Start();
  auto c = Connect();  // the greeting comes before any check
  EXPECT_EQ(c->Cmd("HELO me"), "250 OK me (unverified [127.0.0.1]), access restricted");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example>"), "250 OK <a@b.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<user@corp.example>"), "554 access denied, listed locally");
  EXPECT_EQ(c->Cmd("RCPT TO:<nobody>"), "501 Syntax Error in RCPT TO:<nobody>");
  EXPECT_EQ(c->Cmd("DATA"), "554 access denied, listed locally");
  EXPECT_EQ(c->Cmd("NOOP"), "250 NOOP Performed");
  auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      log[0], std::regex(kStamp + R"( 127\.0\.0\.1 554 access denied, listed locally)")));
}

TEST_F(Policy, WhiteListBeatsBlackList) {
  server_->SetWhiteList({Net("127.0.0.1/32")});
  server_->SetLocalBlackList({Net("127.0.0.0/8")});
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("HELO me"), "250 OK me (unverified [127.0.0.1])");
  EXPECT_EQ(c->Cmd("RCPT TO:<user@corp.example>"), "250 OK <user@corp.example>");
  // White-listed is not relay-allowed.
  EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "550 <x@foreign.example>... Relaying denied");
}

TEST_F(Policy, PopAuthorisationAllowsRelayOnlyWhenSwitchedOnAndHandled) {
  std::atomic<int> asked{0};
  std::string askedFor;
  bool answer = true, handle = true;
  server_->OnPopAuth = [&](const std::string& ip, bool& valid, bool& handled) {
    ++asked;
    askedFor = ip;
    valid = answer;
    handled = handle;
  };
  server_->SetLocalBlackList({Net("127.0.0.0/8")});
  Start();
  {
    auto c = Connect();  // DoPOPAuth off: not asked, black-listed
    EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "554 access denied, ");
  }
  EXPECT_EQ(asked.load(), 0);
  server_->SetActive(false);
  server_->SetDoPOPAuth(true);
  Start();
  {
    auto c = Connect();
    EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "250 OK <x@foreign.example>");
    EXPECT_EQ(c->Cmd("HELO me"), "250 OK me (unverified [127.0.0.1])");
  }
  EXPECT_EQ(asked.load(), 1);  // once per connection
  EXPECT_EQ(askedFor, "127.0.0.1");
  server_->SetActive(false);
  handle = false;  // Valid without Handled counts for nothing
  Start();
  {
    auto c = Connect();
    EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "554 access denied, ");
  }
}

TEST_F(Policy, ReverseNameOfTheLoopbackClient) {
  server_->SetDoVerifyDomain(true);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("HELO me"), "250 OK me (LOCALHOST [127.0.0.1])");
}

}  // namespace
}  // namespace kestran::testing_smtp
