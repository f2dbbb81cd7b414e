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

TEST_F(Clients, PythonSmtplibSendsChunks) {
  if (std::system("python3 -c 'import smtplib' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  server_->SetEsmtp(true);
  Start();
  fs::path script = root_ / "bdat.py";
  // 100 KB in chunks of 64 KiB, bare LF line ends and a "." line split between chunks,
  // the second transaction written right behind the last chunk.
  WriteFile(script,
            "import smtplib, sys\n"
            "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
            "s.ehlo('py.example')\n"
            "print(s.has_extn('chunking'), s.has_extn('enhancedstatuscodes'))\n"
            "msg = b'Subject: chunks\\n\\n' + b'x' * 76 + b'\\n'\n"
            "msg = msg + (b'y' * 98 + b'\\r\\n') * 1000 + b'\\r\\n.\\r\\nQUIT\\r\\n'\n"
            "print(s.docmd('MAIL', 'FROM:<py@x.example>'))\n"
            "print(s.docmd('RCPT', 'TO:<a@corp.example>'))\n"
            "cut = len(msg) - 7\n"
            "for at in range(0, cut, 65536):\n"
            "    part = msg[at:min(at + 65536, cut)]\n"
            "    s.send(b'BDAT %d\\r\\n' % len(part) + part)\n"
            "    print(s.getreply())\n"
            "s.send(b'BDAT 7 LAST\\r\\n' + msg[cut:] + b'MAIL FROM:<py@x.example>\\r\\n')\n"
            "print(s.getreply())\n"
            "print(s.getreply())\n"
            "print(s.quit()[0])\n");
  std::string out;
  ASSERT_EQ(Run("python3 " + script.string() + " " + std::to_string(port_), out), 0) << out;
  EXPECT_EQ(out,
            "True True\n(250, b'2.1.0 OK <py@x.example>')\n(250, b'2.1.5 OK <a@corp.example>')\n"
            "(250, b'2.0.0 65536 octets received')\n(250, b'2.0.0 34562 octets received')\n"
            "(250, b'2.0.0 Message received OK')\n(250, b'2.1.0 OK <py@x.example>')\n221\n");
  std::string msg = ReadFile(queue_ / "B0000000001.MSG");
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += std::string(98, 'y') + "\r\n";
  EXPECT_NE(msg.find("\r\nSubject: chunks\r\n\r\n" + std::string(76, 'x') + "\r\n" + lines +
                     "\r\n..\r\nQUIT\r\n.\r\n"),
            std::string::npos);
  EXPECT_EQ(QueueFiles().size(), 2u);
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
