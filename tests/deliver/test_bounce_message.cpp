// The delivery status notification: an RFC 3464 multipart/report whose parts a mail
// client and a program can both read.

#include <gtest/gtest.h>

#include <map>

#include "deliver/body_encoder.h"
#include "deliver/bounce_message.h"

#include "support/zone_scope.h"

namespace kestran {
namespace {

struct Part {
  std::map<std::string, std::string> headers;  // lower-case names, unfolded
  std::string body;
};

// Header block and body of an entity of CR LF lines.
Part Entity(const std::string& text) {
  Part p;
  auto end = text.find("\r\n\r\n");
  std::string head = text.substr(0, end);
  p.body = end == std::string::npos ? "" : text.substr(end + 4);
  std::string name;
  size_t pos = 0;
  while (pos < head.size()) {
    auto e = head.find("\r\n", pos);
    if (e == std::string::npos) e = head.size();
    std::string line = head.substr(pos, e - pos);
    pos = e + 2;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      p.headers[name] += " " + line.substr(1);
      continue;
    }
    auto colon = line.find(':');
    name = line.substr(0, colon);
    for (auto& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    p.headers[name] = line.substr(colon + 2);
  }
  return p;
}

TEST(BounceMessage, IsAMultipartReportWithStatusAndOriginalHeaders) {
  TBounceInfo info;
  info.hostName = "mx.test";
  info.queueId = "B0000000042";
  info.returnPath = "alice@client.test";
  info.arrival = 1765200000;
  info.now = 1765203600;
  info.remoteMta = "127.0.0.1";
  info.recipients = {
      {"gone@x.test", 550, "550 5.1.1 <gone@x.test> User unknown", false, 1765200001},
      {"slow@x.test", 451, "451 4.3.0 Try later", true, 1765203600},
      {"down@x.test", 0, "connect to [127.0.0.1]:24: Connection refused", true, 0}};
  const std::string original = "Received: from a\r\n by b;\r\n date\r\nSubject: Hi\r\n";
  const std::string text = ComposeBounce(info, original);

  Part top = Entity(text);
  EXPECT_EQ(top.headers["from"], "Mail Delivery System <MAILER-DAEMON@mx.test>");
  EXPECT_EQ(top.headers["to"], "<alice@client.test>");
  EXPECT_EQ(top.headers["auto-submitted"], "auto-replied");
  EXPECT_EQ(top.headers["mime-version"], "1.0");
  const std::string type = top.headers["content-type"];
  ASSERT_EQ(type.rfind("multipart/report; report-type=delivery-status;", 0), 0u) << type;
  auto b = type.find("boundary=\"");
  ASSERT_NE(b, std::string::npos);
  const std::string boundary = type.substr(b + 10, type.size() - b - 11);

  // The parts between the delimiters, and the closing delimiter last.
  std::vector<Part> parts;
  const std::string delimiter = "\r\n--" + boundary;
  size_t pos = text.find(delimiter);
  ASSERT_NE(pos, std::string::npos);
  for (;;) {
    pos += delimiter.size();
    if (text.compare(pos, 4, "--\r\n") == 0) {
      EXPECT_EQ(pos + 4, text.size());
      break;
    }
    ASSERT_EQ(text.compare(pos, 2, "\r\n"), 0);
    size_t next = text.find(delimiter, pos);
    ASSERT_NE(next, std::string::npos);
    parts.push_back(Entity(text.substr(pos + 2, next - pos - 2)));
    pos = next;
  }
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].headers["content-type"], "text/plain; charset=us-ascii");
  EXPECT_NE(parts[0].body.find("<gone@x.test>: 550 5.1.1"), std::string::npos);
  EXPECT_EQ(parts[1].headers["content-type"], "message/delivery-status");
  EXPECT_EQ(parts[2].headers["content-type"], "text/rfc822-headers");
  EXPECT_EQ(parts[2].body, original);

  // The per-message block, then one block per recipient, separated by empty lines.
  std::vector<Part> blocks;
  std::string status = parts[1].body;
  size_t start = 0;
  while (start < status.size()) {
    size_t end = status.find("\r\n\r\n", start);
    if (end == std::string::npos) end = status.size();
    blocks.push_back(Entity(status.substr(start, end - start) + "\r\n\r\n"));
    start = end + 4;
  }
  ASSERT_EQ(blocks.size(), 4u) << status;
  EXPECT_EQ(blocks[0].headers["reporting-mta"], "dns; mx.test");
  EXPECT_FALSE(blocks[0].headers["arrival-date"].empty());
  EXPECT_EQ(blocks[1].headers["final-recipient"], "rfc822; gone@x.test");
  EXPECT_EQ(blocks[1].headers["action"], "failed");
  EXPECT_EQ(blocks[1].headers["status"], "5.1.1");
  EXPECT_EQ(blocks[1].headers["remote-mta"], "dns; 127.0.0.1");
  EXPECT_EQ(blocks[1].headers["diagnostic-code"], "smtp; 550 5.1.1 <gone@x.test> User unknown");
  EXPECT_EQ(blocks[2].headers["status"], "4.3.0");  // expired: the last reply's own code
  EXPECT_EQ(blocks[3].headers["status"], "4.4.7");  // expired without a reply
  EXPECT_EQ(blocks[3].headers.count("remote-mta"), 0u);
  EXPECT_EQ(blocks[3].headers["diagnostic-code"],
            "X-Kestran; connect to [127.0.0.1]:24: Connection refused");
}

// The notification's dates are local time; the offset is written only for a zone the
// system knows, never a UTC fallback passed off as the zone.
TEST(BounceMessage, DatesAreLocalWithTheOffsetOfAKnownZoneOnly) {
  TBounceInfo info;
  info.hostName = "mx.test";
  info.queueId = "B0000000042";
  info.returnPath = "alice@client.test";
  info.arrival = 1765200000;  // 2025-12-08 13:20:00 UTC
  info.now = 1765203600;
  info.recipients = {{"gone@x.test", 550, "550 5.1.1 unknown", false, 1765200001}};
  {
    test::ZoneScope zone("CET-1");
    const std::string text = ComposeBounce(info, "Subject: Hi\r\n");
    EXPECT_NE(text.find("\r\nDate: Mon, 08 Dec 2025 15:20:00 +0100\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Arrival-Date: Mon, 08 Dec 2025 14:20:00 +0100\r\n"), std::string::npos);
    EXPECT_NE(text.find("Last-Attempt-Date: Mon, 08 Dec 2025 14:20:01 +0100\r\n"),
              std::string::npos);
  }
  test::ZoneScope unknown("Nowhere/Atlantis");
  const std::string text = ComposeBounce(info, "Subject: Hi\r\n");
  EXPECT_NE(text.find("Arrival-Date: Mon, 08 Dec 2025 13:20:00\r\n"), std::string::npos) << text;
}

TEST(BounceMessage, HeaderBlockIsUnstuffedAndBounded) {
  const std::string queued = "A: 1\r\n..B: 2\r\n\r\nbody\r\n.\r\n";
  EXPECT_EQ(HeaderBlock(queued, 1000), "A: 1\r\n.B: 2\r\n");
  EXPECT_EQ(HeaderBlock(queued, 8), "A: 1\r\n");
  EXPECT_EQ(HeaderBlock("A: 1\r\nB: cut", 1000), "A: 1\r\n");
  TFailedRecipient r;
  r.reply = "550 5.7.1234 odd";
  EXPECT_EQ(StatusCode(r), "5.0.0");
  r.reply = "550 4.1.1 wrong class";
  EXPECT_EQ(StatusCode(r), "5.0.0");
}

}  // namespace
}  // namespace kestran
