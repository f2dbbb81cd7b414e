// SMTPUTF8: UTF-8 addresses in a transaction that declared it, refused otherwise, and
// domains beyond ASCII matched to the local domains by their A-label.

#include "smtp/smtp_utf8.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class SmtpUtf8 : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetEsmtp(true);
    server_->SetSmtpUtf8(true);
    server_->SetLocalDomains({"xn--bcher-kva.example", "d\xC3\xB6rfer.example"});
  }
  std::unique_ptr<RawClient> Ehlo(std::vector<std::string>* keywords = nullptr) {
    auto c = Connect();
    c->SendLine("EHLO client.example");
    for (;;) {
      std::string l = c->ReadLine();
      if (keywords) keywords->push_back(l.substr(4));
      if (l.size() < 4 || l[3] != '-') break;
    }
    return c;
  }
};

const std::string kUser = "j\xC3\xBCrgen";  // jürgen
const std::string kBooks =
    "b\xC3\xBC"
    "cher.example";  // bücher.example

TEST_F(SmtpUtf8, Utf8AddressesNeedTheParameter) {
  Start();
  std::vector<std::string> keywords;
  auto c = Ehlo(&keywords);
  EXPECT_NE(std::find(keywords.begin(), keywords.end(), "SMTPUTF8"), keywords.end());
  const std::string from = kUser + "@" + kBooks;
  EXPECT_EQ(c->Cmd("MAIL FROM:<" + from + ">"), "553 5.6.7 Non-ASCII address without SMTPUTF8");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example>"), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<" + kUser + "@" + kBooks + ">"),
            "553 5.6.7 Non-ASCII address without SMTPUTF8");
  EXPECT_EQ(c->Cmd("MAIL FROM:<" + from + "> SMTPUTF8 SMTPUTF8"),
            "501 5.5.4 Syntax error in parameters");
  EXPECT_EQ(c->Cmd("MAIL FROM:<" + from + "> smtputf8 BODY=8BITMIME"),
            "250 2.1.0 OK <" + from + ">");
  // The local domain in either form; another one is foreign.
  EXPECT_EQ(c->Cmd("RCPT TO:<" + kUser + "@" + kBooks + ">"),
            "250 2.1.5 OK <" + kUser + "@" + kBooks + ">");
  EXPECT_EQ(c->Cmd("RCPT TO:<a@xn--drfer-jua.example>"), "250 2.1.5 OK <a@xn--drfer-jua.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<a@B\xC3\x9C"
                   "CHER.example>"),
            "250 2.1.5 OK <a@B\xC3\x9C"
            "CHER.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<a@b\xC3\xBC"
                   "cher.test>"),
            "550 5.7.1 <a@b\xC3\xBC"
            "cher.test>... Relaying denied");
  // Well-formed UTF-8 only, and none of the line breaks or C1 controls.
  EXPECT_EQ(c->Cmd("RCPT TO:<a\xC3@corp.example>"), "553 5.1.3 Address is not valid UTF-8");
  EXPECT_EQ(c->Cmd("RCPT TO:<a\xE0\x80\xAF@corp.example>"), "553 5.1.3 Address is not valid UTF-8");
  EXPECT_EQ(c->Cmd("RCPT TO:<a\xED\xA0\x80@corp.example>"), "553 5.1.3 Address is not valid UTF-8");
  for (const std::string c1 : {"\xC2\x80", "\xC2\x9F", "\xE2\x80\xA8", "\xE2\x80\xA9"})
    EXPECT_EQ(c->Cmd("RCPT TO:<a" + c1 + "@" + kBooks + ">"),
              "501 5.5.4 Syntax error, control characters in argument");
  const std::string message = "Subject: \xC3\xBC\r\n";
  c->SendLine("BDAT " + std::to_string(message.size()) + " LAST");
  c->Send(message);
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 Message received OK");
  // The pair holds the addresses as they were given.
  const std::string rcp = ReadFile(queue_ / "B0000000001.RCP");
  EXPECT_NE(rcp.find("\r\nReturn-path: " + from + "\r\nRecipient: " + kUser + "@" + kBooks +
                     "\r\nRecipient: a@xn--drfer-jua.example\r\n"),
            std::string::npos)
      << rcp;
  EXPECT_NE(ReadFile(queue_ / "B0000000001.MSG").find(" with UTF8SMTP id <B0000000001@"),
            std::string::npos);
  // The parameter lasts for its transaction.
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example>"), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<" + kUser + "@" + kBooks + ">"),
            "553 5.6.7 Non-ASCII address without SMTPUTF8");
}

TEST_F(SmtpUtf8, OffTheParameterIsUnknownAndPlainSmtpIsUnchanged) {
  server_->SetSmtpUtf8(false);
  Start();
  std::vector<std::string> keywords;
  auto c = Ehlo(&keywords);
  EXPECT_EQ(std::find(keywords.begin(), keywords.end(), "SMTPUTF8"), keywords.end());
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example> SMTPUTF8"),
            "555 5.5.4 MAIL FROM/RCPT TO parameters not recognized or not implemented");
  EXPECT_EQ(c->Cmd("MAIL FROM:<" + kUser + "@x.example>"),
            "553 5.6.7 Non-ASCII address without SMTPUTF8");
  server_->SetEsmtp(false);
  auto d = Connect();
  EXPECT_EQ(d->Cmd("MAIL FROM:<" + kUser + "@x.example>"), "250 OK <" + kUser + "@x.example>");
  EXPECT_EQ(d->Cmd("RCPT TO:<a@" + kBooks + ">"), "550 <a@" + kBooks + ">... Relaying denied");
}

TEST(AddressText, Utf8Checks) {
  EXPECT_EQ(CheckAddressText("plain@x"), TAddressText::Ascii);
  EXPECT_EQ(CheckAddressText("\xF0\x9F\x93\xAB@x"), TAddressText::Utf8);
  EXPECT_EQ(CheckAddressText("\xF4\x90\x80\x80"), TAddressText::Malformed);
  EXPECT_EQ(CheckAddressText("\xC0\xAF"), TAddressText::Malformed);
  EXPECT_EQ(CheckAddressText("\xE2\x80"), TAddressText::Malformed);
  EXPECT_EQ(CheckAddressText("\xC2\x85"), TAddressText::Forbidden);
  EXPECT_EQ(DomainALabel(kBooks), "xn--bcher-kva.example");
  EXPECT_EQ(DomainALabel("Example.ORG"), "Example.ORG");
  EXPECT_EQ(DomainALabel("a\xC3"), "");
}

}  // namespace
}  // namespace kestran::testing_smtp
