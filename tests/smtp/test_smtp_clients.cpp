// Whole transactions from real SMTP client programs (Python's smtplib and swaks).

#include <cstdio>

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class Clients : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetLocalDomains({"corp.example"});
  }
  // Runs a command and returns its exit status and output.
  static int Run(const std::string& cmd, std::string& out) {
    out.clear();
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return ::pclose(p);
  }
};

TEST_F(Clients, PythonSmtplibSendsAMessageThatArrivesIntact) {
  if (std::system("python3 -c 'import smtplib' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  Start();
  fs::path script = root_ / "send.py";
  WriteFile(script,
            "import smtplib, sys\n"
            "body = 'Subject: from python\\r\\n\\r\\n.starts with a dot\\r\\nend\\r\\n'\n"
            "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
            "code, msg = s.helo('py.example')\n"
            "print(code, msg.decode())\n"
            "r = s.sendmail('py@x.example', ['a@corp.example', 'b@corp.example'], body)\n"
            "print('refused', r)\n"
            "try:\n"
            "    s.sendmail('py@x.example', ['c@elsewhere.example'], body)\n"
            "except smtplib.SMTPRecipientsRefused as e:\n"
            "    print('relay', e.recipients['c@elsewhere.example'][0])\n"
            "print(s.quit()[0])\n");
  std::string out;
  ASSERT_EQ(Run("python3 " + script.string() + " " + std::to_string(port_), out), 0) << out;
  EXPECT_EQ(out, "250 OK py.example (unverified [127.0.0.1])\nrefused {}\nrelay 550\n221\n");
  std::string msg = ReadFile(queue_ / "B0000000001.MSG");
  // smtplib stuffs the leading dot; the queue file keeps it stuffed.
  EXPECT_NE(msg.find("\r\nSubject: from python\r\n\r\n..starts with a dot\r\nend\r\n.\r\n"),
            std::string::npos)
      << msg;
  EXPECT_EQ(ReadFile(queue_ / "B0000000001.RCP"),
            "Message-ID: <B0000000001@" + Host() +
                ">\r\nReturn-path: py@x.example\r\nRecipient: a@corp.example\r\n"
                "Recipient: b@corp.example\r\n");
}

TEST_F(Clients, SwaksTransactionIsAccepted) {
  if (std::system("command -v swaks >/dev/null 2>&1") != 0) GTEST_SKIP() << "no swaks";
  Start();
  std::string out;
  int rc = Run("swaks --server 127.0.0.1 --port " + std::to_string(port_) +
                   " --helo sw.example --from s@x.example --to u@corp.example"
                   " --header 'Subject: swaks' --body 'hello' --timeout 10",
               out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("<-  250 Message received OK"), std::string::npos) << out;
  std::string msg = ReadFile(queue_ / "B0000000001.MSG");
  EXPECT_NE(msg.find("Subject: swaks\r\n"), std::string::npos);
  EXPECT_NE(msg.find("\r\nhello\r\n"), std::string::npos);
  // swaks sends its own Date and Message-Id: the server adds neither.
  EXPECT_EQ(msg.find("Message-ID: <B0000000001@"), std::string::npos);
}

}  // namespace
}  // namespace kestran::testing_smtp
