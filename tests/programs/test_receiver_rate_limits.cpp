// The rate limits of the running receiver, configured through the registry: a refused
// connection with its inbound-log entry and event-log summary, and a client exempt
// through the RateLimitExempt subkey.

#include <ctime>

#include "receiver_fixture.h"
#include "support/wait_until.h"

namespace kestran::test {
namespace {

TEST_F(ReceiverTest, ConnectionRateRefusesLogsOnceAndSparesExemptClients) {
  MakeDir("mail/prein");
  MakeDir("mail/inlog");
  WriteRegistry(BaseRegistry("\"MailInlogEnabled\"=dword:00000001\r\n"
                             "\"ConnectRatePerMinute\"=dword:00000001\r\n"
                             "\"ConnectBurst\"=dword:00000001\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\RateLimitExempt]\r\n"
                "\"a\"=\"127.0.0.3/32\"\r\n");
  StartReceiver();

  LineClient first("127.0.0.2", port_);
  const std::string greeting = first.Line();
  ASSERT_EQ(greeting.rfind("220 ", 0), 0u) << Console();
  const std::string host = greeting.substr(4, greeting.find(' ', 4) - 4);
  LineClient second("127.0.0.2", port_);
  EXPECT_EQ(second.Line(), greeting);  // greeted first, as every refused client is
  EXPECT_EQ(second.Line(),
            "421 " + host + " Too many connections from 127.0.0.2, try again in 60 seconds");
  EXPECT_EQ(second.Line(1000), "");  // closed
  for (int i = 0; i < 3; ++i) {
    LineClient exempt("127.0.0.3", port_);
    EXPECT_EQ(exempt.Line(), greeting) << i;
  }

  EXPECT_TRUE(WaitUntil([&] {
    return Console().find("Rate limits since the last report: refused connect 1") !=
           std::string::npos;
  })) << Console();
  char day[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  std::strftime(day, sizeof day, "1%y%m%d.LOG", &tm);
  const std::string log = ReadFileText(Native("mail/inlog/") + day);
  EXPECT_NE(log.find(" 127.0.0.2 421 " + host +
                     " Too many connections from 127.0.0.2, try again in 60 seconds\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("127.0.0.3"), std::string::npos) << log;
}

}  // namespace
}  // namespace kestran::test
