#include "smtp/address_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kestran {
namespace {

struct Parsed {
  bool ok = false;
  std::string domain = "<unset>";
  std::string display = "<unset>";
  std::string address = "<unset>";
};

Parsed Parse(const std::string& arg) {
  Parsed p;
  p.ok = ParseAddress(arg, p.domain, p.display, p.address);
  return p;
}

TEST(ParseAddress, DocumentedExamples) {
  auto p = Parse("TO:<Bob@Mail.EXAMPLE>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "Bob@Mail.EXAMPLE");
  EXPECT_EQ(p.domain, "Mail.EXAMPLE");
  EXPECT_EQ(p.display, "<Bob@Mail.EXAMPLE>");

  p = Parse("FROM:\"Sales Desk\" <desk@x.example> (office)");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "desk@x.example");
  EXPECT_EQ(p.domain, "x.example");
  EXPECT_EQ(p.display, "\"Sales Desk\" <desk@x.example> (office)");

  p = Parse("TO:<user%inner.example@relay.example>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "user@inner.example");
  EXPECT_EQ(p.domain, "inner.example");
  EXPECT_EQ(p.display, "<user@inner.example>");

  p = Parse("TO:<@x.example>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "trashbin@x.example");
  EXPECT_EQ(p.domain, "x.example");
  EXPECT_EQ(p.display, "<trashbin@x.example>");

  p = Parse("TO:<postmaster>");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.address, "postmaster@");
  EXPECT_EQ(p.domain, "");

  p = Parse("TO:<a:b:c@x.example>");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.domain, "<unset>");
  EXPECT_EQ(p.display, "<unset>");
}

TEST(ParseAddress, PrefixAndCase) {
  // The prefix is found in any letter case and anywhere; the address keeps its case.
  auto p = Parse("  to:<MiXeD@Case.Example>  ");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "MiXeD@Case.Example");
  p = Parse("From:   <a@b.example>");
  EXPECT_EQ(p.address, "a@b.example");
  p = Parse("RCPT TO:<a@b.example>");
  EXPECT_EQ(p.address, "a@b.example");
  EXPECT_EQ(p.display, "\"RCPT\" <a@b.example>");
  // Without brackets the trimmed text is the address.
  p = Parse("TO: plain@host.example");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.display, "<plain@host.example>");

  std::string text = "\t FROM:<x@y> \r";
  StripAddressPrefix(text);
  EXPECT_EQ(text, "<x@y>");
  text = "to:from:<x@y>";
  StripAddressPrefix(text);
  EXPECT_EQ(text, "from:<x@y>");
}

TEST(ParseAddress, CommentsAndEmptyForms) {
  // A comment in front removes the whole address.
  auto p = Parse("TO:(note) <u@x.example>");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.address, "@");
  // The null sender.
  p = Parse("FROM:<>");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.display, "<@>");
  // Empty parentheses give no comment; text after ")" is dropped.
  p = Parse("TO:<a@b.example> () trailing");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.display, "<a@b.example>");
  p = Parse("TO:<a@b.example> (c) more (d)");
  EXPECT_EQ(p.display, "<a@b.example> (c)");
  // A lone "(" or ")" is no comment.
  p = Parse("TO:<a@b.example> (open");
  EXPECT_EQ(p.display, "\"(open\" <a@b.example>");
  // ">" before "<" leaves an empty address.
  p = Parse("TO:>a@b<");
  EXPECT_FALSE(p.ok);
  // Quotes around the local part are removed from the address.
  p = Parse("TO:<\"john doe\"@x.example>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "john doe@x.example");
}

TEST(ParseAddress, RoutesBangPathsAndLiterals) {
  auto p = Parse("TO:<@relay1,@relay2:user@host.example>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "user@host.example");
  EXPECT_EQ(p.domain, "host.example");

  p = Parse("TO:<host!user>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "user@host");

  p = Parse("TO:<a!b!c>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "c@b");

  p = Parse("TO:<gw!user@site.example>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "user@gw");

  p = Parse("TO:<u@[192.0.2.1]>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.domain, "192.0.2.1");
  EXPECT_EQ(p.address, "u@192.0.2.1");

  // An IPv6 literal's colons are its own, in every spelling RFC 5321 allows (the
  // IPv4-mapped one included); colons outside it still count.
  for (const char* literal : {"IPv6:2001:db8::1", "ipv6:::1", "IPv6:::ffff:192.0.2.1",
                              "IPv6:2001:db8:0:0:0:0:2:1", "IPv6:::192.0.2.1"}) {
    p = Parse(std::string("TO:<u@[") + literal + "]>");
    EXPECT_TRUE(p.ok) << literal;
    EXPECT_EQ(p.domain, literal);
    EXPECT_EQ(p.address, std::string("u@") + literal);
  }
  p = Parse("TO:<@relay:u@[IPv6:2001:db8::1]>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, "u@IPv6:2001:db8::1");
  EXPECT_FALSE(Parse("TO:<a:b:u@[IPv6:2001:db8::1]>").ok);
  EXPECT_FALSE(Parse("TO:<u@[IPv6:2001:db8::1::2]>").ok);  // not an address: colons count

  // Only 255 characters after a source-route colon are kept.
  p = Parse("TO:<@relay:" + std::string(300, 'u') + "@host>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address, std::string(255, 'u') + "@relay");
}

// The bang-path rewrite step by step, one copy of the address per "!", followed by the
// split into local part and domain.
std::string ReferenceBangAddress(std::string a) {
  for (size_t b = a.find('!'); b != std::string::npos; b = a.find('!')) {
    std::string left = a.substr(0, b);
    if (left.rfind('@') != std::string::npos) left = left.substr(left.rfind('@') + 1);
    std::string right = a.substr(b + 1);
    if (right.find('@') != std::string::npos) right = right.substr(0, right.find('@'));
    size_t from = b + right.size() + 1;
    a = a.substr(0, b - left.size()) + right + "@" + left +
        (from < a.size() ? a.substr(from, 255) : "");
  }
  size_t at = a.find('@');
  if (at == std::string::npos) return a + "@";
  std::string domain = a.substr(at + 1);
  if (domain.find('@') != std::string::npos) domain = domain.substr(0, domain.find('@'));
  std::string local = a.substr(0, at);
  return (local.empty() ? "trashbin" : local) + "@" + domain;
}

TEST(ParseAddress, BangPathsMatchTheStepwiseRewrite) {
  std::mt19937 rng(99);
  for (int i = 0; i < 3000; ++i) {
    std::string path;
    size_t len = 1 + rng() % (i % 3 == 0 ? 900 : 40);
    for (size_t k = 0; k < len; ++k) {
      unsigned r = rng() % 10;
      path += r < 3 ? '!' : r < 5 ? '@' : static_cast<char>('a' + r);
    }
    Parsed p = Parse("TO:<" + path + ">");
    EXPECT_EQ(p.address, ReferenceBangAddress(path)) << path;
  }
}

TEST(ParseAddress, ArbitraryInputNeverBreaksTheContract) {
  const std::string alphabet = "<>()\"%!@:[], aZ.\t\x01\xff";
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string arg;
    size_t len = rng() % 40;
    for (size_t k = 0; k < len; ++k) arg += alphabet[rng() % alphabet.size()];
    if (rng() % 2) arg = "TO:" + arg;
    Parsed p = Parse(arg);
    if (p.ok) {
      EXPECT_NE(p.address.find('@'), std::string::npos) << arg;
      EXPECT_NE(p.display.find("<" + p.address + ">"), std::string::npos) << arg;
    }
  }
  // Long bang paths stay bounded.
  std::string bangs;
  for (int i = 0; i < 2000; ++i) bangs += "h" + std::to_string(i) + "!";
  Parsed p = Parse("TO:<" + bangs + "user>");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.address.rfind("user@", 0), 0u);
}

Parsed Recipient(const std::string& arg) {
  Parsed p;
  p.ok = ParseRecipient(arg, "Dom.example", p.domain, p.display, p.address);
  return p;
}

TEST(ParseRecipient, AcceptedAddressesNeverHoldStraySyntax) {
  const std::string alphabet = "<>()\"%!@:[], aZ.\t";
  std::mt19937 rng(54321);
  for (int i = 0; i < 20000; ++i) {
    std::string arg = "TO:";
    size_t len = rng() % 30;
    for (size_t k = 0; k < len; ++k) arg += alphabet[rng() % alphabet.size()];
    Parsed p = Recipient(arg);
    if (!p.ok) continue;
    EXPECT_EQ(p.address.find_first_of("<>"), std::string::npos) << arg;
    if (arg.find('"') == std::string::npos) {
      EXPECT_EQ(p.address.find_first_of(" \t"), std::string::npos) << arg;
    }
    // What is accepted is exactly what ParseAddress makes of it.
    Parsed plain = Parse(arg);
    EXPECT_TRUE(plain.ok) << arg;
    EXPECT_EQ(plain.address, p.address) << arg;
    EXPECT_EQ(plain.display, p.display) << arg;
  }
  // Blanks between quotes are part of the local part, not stray.
  EXPECT_TRUE(Recipient("TO:<\"john doe\"@example.test>").ok);
  EXPECT_FALSE(Recipient("TO:<\"Display Name\" <dn@example.test>>").ok);
}

}  // namespace
}  // namespace kestran
