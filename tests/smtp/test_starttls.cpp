// STARTTLS with real clients (swaks, Python's smtplib, openssl s_client) against a
// throwaway certificate, and what a client may not do around the handshake.

#include <sys/stat.h>

#include <chrono>
#include <thread>
#include <vector>

#include "smtp_fixture.h"
#include "support/test_cert.h"
#include "transport/tls_layer.h"

namespace kestran::testing_smtp {
namespace {

using test::RunCommand;

class StartTls : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    if (!TlsAvailable()) GTEST_SKIP() << "no TLS in this build";
    cert_ = (root_ / "cert.pem").string();
    key_ = (root_ / "key.pem").string();
    if (!test::MakeSelfSignedCert(cert_, key_)) GTEST_SKIP() << "openssl cannot make a certificate";
    store_ = std::make_shared<TTlsCertStore>(cert_, key_);
    store_->OnEvent = [this](const std::string& text) {
      std::lock_guard<std::mutex> g(eventsLock_);
      events_.push_back(text);
    };
    server_->SetLocalDomains({"corp.example"});
    server_->SetEsmtp(true);
    server_->SetTlsStore(store_);
    Start();
  }
  std::string Port() const { return std::to_string(port_); }
  std::string Script(const std::string& name, const std::string& text) {
    fs::path p = root_ / name;
    WriteFile(p, text);
    return p.string();
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(eventsLock_);
    return events_;
  }

  std::string cert_, key_;
  std::shared_ptr<TTlsCertStore> store_;
  std::mutex eventsLock_;
  std::vector<std::string> events_;
};

TEST_F(StartTls, SwaksSendsOverTlsAndTheHeaderSaysSo) {
  if (std::system("command -v swaks >/dev/null 2>&1") != 0) GTEST_SKIP() << "no swaks";
  std::string out;
  ASSERT_EQ(RunCommand("swaks --tls --server 127.0.0.1 --port " + Port() +
                           " --ehlo sw.example --from s@x.example --to u@corp.example"
                           " --body 'over tls' --timeout 10",
                       out),
            0)
      << out;
  EXPECT_NE(out.find("<-  220 2.0.0 Ready to start TLS"), std::string::npos) << out;
  EXPECT_NE(out.find("<~  250 2.0.0 Message received OK"), std::string::npos) << out;
  std::string msg = ReadFile(queue_ / "B0000000001.MSG");
  EXPECT_EQ(msg.find("Received: from sw.example (unverified [127.0.0.1]) by " + Host() +
                     "\r\n (KESTRAN 0.45) with ESMTPS (TLSv1."),
            0u)
      << msg;
  EXPECT_NE(msg.find(", cipher TLS_"), std::string::npos) << msg;
  EXPECT_NE(msg.find("\r\n\r\nover tls\r\n"), std::string::npos) << msg;
}

TEST_F(StartTls, SmtplibStartsOverAndSeesNoSecondOffer) {
  if (std::system("python3 -c 'import smtplib, ssl' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  std::string script = Script("tls.py",
                              "import smtplib, ssl, sys\n"
                              "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
                              "s.ehlo('py.example')\n"
                              "print('offer', s.has_extn('starttls'), s.has_extn('size'))\n"
                              "ctx = ssl.create_default_context(cafile=sys.argv[2])\n"
                              "ctx.check_hostname = False\n"
                              "print(s.starttls(context=ctx)[0], s.sock.version() in "
                              "('TLSv1.2', 'TLSv1.3'))\n"
                              "print(s.docmd('MAIL', 'FROM:<early@x.example>')[0])\n"
                              "s.ehlo('py.example')\n"
                              "print('again', s.has_extn('starttls'))\n"
                              "print(s.docmd('STARTTLS'))\n"
                              "print(s.sendmail('py@x.example', ['u@corp.example'], "
                              "'Subject: tls\\r\\n\\r\\nhello\\r\\n'))\n"
                              "print(s.quit()[0])\n");
  std::string out;
  ASSERT_EQ(RunCommand("python3 " + script + " " + Port() + " " + cert_, out), 0) << out;
  // Before the handshake's EHLO the session knows no name: MAIL works (as with HELO)
  // but the name given in clear text is gone.
  EXPECT_EQ(
      out,
      "offer True True\n220 True\n250\nagain False\n(503, b'5.5.1 TLS already active')\n{}\n221\n");
  EXPECT_NE(ReadFile(queue_ / "B0000000001.MSG").find("Received: from py.example ("),
            std::string::npos);
}

TEST_F(StartTls, TheTransactionBeforeTheHandshakeIsGone) {
  if (std::system("python3 -c 'import smtplib, ssl' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  std::string script = Script("gone.py",
                              "import smtplib, ssl, sys\n"
                              "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
                              "s.ehlo('py.example')\n"
                              "s.docmd('MAIL', 'FROM:<clear@x.example>')\n"
                              "s.docmd('RCPT', 'TO:<u@corp.example>')\n"
                              "ctx = ssl.create_default_context(cafile=sys.argv[2])\n"
                              "ctx.check_hostname = False\n"
                              "s.starttls(context=ctx)\n"
                              "s.ehlo('py.example')\n"
                              "print(s.docmd('RCPT', 'TO:<u@corp.example>'))\n"
                              "print(s.docmd('DATA'))\n"
                              "print(s.quit()[0])\n");
  std::string out;
  ASSERT_EQ(RunCommand("python3 " + script + " " + Port() + " " + cert_, out), 0) << out;
  EXPECT_EQ(out,
            "(503, b'5.5.1 Need MAIL before RCPT')\n(503, b'5.5.1 Need MAIL before RCPT')\n221\n");
  EXPECT_TRUE(QueueFiles().empty());
}

TEST_F(StartTls, OpensslClientAndMisuseOfTheCommand) {
  std::string out;
  ASSERT_EQ(RunCommand("printf 'EHLO s.example\\nNOOP\\nQUIT\\n' | timeout 20 openssl s_client "
                       "-starttls smtp -crlf -quiet -connect 127.0.0.1:" +
                           Port(),
                       out),
            0)
      << out;
  size_t ehlo = out.find("250-OK s.example (unverified [127.0.0.1])");
  ASSERT_NE(ehlo, std::string::npos) << out;
  EXPECT_EQ(out.find("STARTTLS", ehlo), std::string::npos) << "not offered inside TLS: " << out;
  EXPECT_NE(out.find("250 2.0.0 NOOP Performed"), std::string::npos) << out;
  EXPECT_NE(out.find("221 2.0.0 " + Host() + " closing"), std::string::npos) << out;

  auto c = Connect();
  EXPECT_EQ(c->Cmd("STARTTLS now"), "501 Syntax error (no parameters allowed)");
  // A client that does not shake hands loses only its own connection.
  EXPECT_EQ(c->Cmd("STARTTLS"), "220 Ready to start TLS");
  c->Send("HELO not a handshake\r\n");
  EXPECT_EQ(c->ReadLine(), "<closed>");
  auto d = Connect();
  EXPECT_EQ(d->Cmd("NOOP"), "250 NOOP Performed");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].rfind("STARTTLS handshake with 127.0.0.1 failed: ", 0), 0u) << Events()[0];
}

TEST_F(StartTls, CommandsSentWithTheRequestAreNeverExecuted) {
  if (std::system("python3 -c 'import ssl' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  std::string script =
      Script("inject.py",
             "import socket, ssl, sys\n"
             "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=10)\n"
             "f = s.makefile('rb')\n"
             "f.readline()\n"
             "s.sendall(b'EHLO i.example\\r\\n')\n"
             "while f.readline()[3:4] == b'-': pass\n"
             "s.sendall(b'STARTTLS\\r\\nRSET\\r\\n')\n"
             "print(f.readline().decode().strip())\n"
             "s.settimeout(1)\n"
             "try:\n"
             "    print('clear text after 220:', s.recv(100))\n"
             "except socket.timeout:\n"
             "    print('nothing in clear text')\n"
             "s.settimeout(10)\n"
             "ctx = ssl.create_default_context(cafile=sys.argv[2])\n"
             "ctx.check_hostname = False\n"
             "t = ctx.wrap_socket(s)\n"
             "t.sendall(b'NOOP\\r\\n')\n"
             "print(t.makefile('rb').readline().decode().strip())\n");
  std::string out;
  ASSERT_EQ(RunCommand("python3 " + script + " " + Port() + " " + cert_, out), 0) << out;
  EXPECT_EQ(out, "220 2.0.0 Ready to start TLS\nnothing in clear text\n250 NOOP Performed\n");
}

TEST_F(StartTls, SilentClientInsideTlsHearsTheTimeOut) {
  if (std::system("python3 -c 'import ssl' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not available";
  server_->SetReceiveTimeout(1);
  std::string script = Script("idle.py",
                              "import smtplib, ssl, sys, time\n"
                              "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
                              "ctx = ssl.create_default_context(cafile=sys.argv[2])\n"
                              "ctx.check_hostname = False\n"
                              "s.starttls(context=ctx)\n"
                              "time.sleep(2.5)\n"
                              "print(s.getreply())\n");
  std::string out;
  ASSERT_EQ(RunCommand("python3 " + script + " " + Port() + " " + cert_, out), 0) << out;
  EXPECT_EQ(out, "(421, b'" + Host() + " closing, idle too long')\n");
}

// Handshakes in progress are bounded: beyond the bound STARTTLS is refused for now and
// the session goes on in clear text; a place comes back however a handshake ends.
TEST_F(StartTls, HandshakesInProgressAreBoundedAndEveryEndGivesThePlaceBack) {
  store_->SetMaxHandshakes(2);
  server_->SetReceiveTimeout(3);
  auto ehlo = [](RawClient& c) {
    std::string line = c.Cmd("EHLO b.example");
    while (line.rfind("250-", 0) == 0) line = c.ReadLine();
    return line;
  };
  auto waitFor = [&](uint32_t count, int seconds) {
    for (int i = 0; i < seconds * 100 && store_->HandshakesInProgress() != count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return store_->HandshakesInProgress();
  };
  // Two clients ask for TLS and then say nothing.
  auto a = Connect();
  auto b = Connect();
  for (RawClient* c : {a.get(), b.get()}) {
    EXPECT_EQ(ehlo(*c), "250 STARTTLS");
    EXPECT_EQ(c->Cmd("STARTTLS"), "220 2.0.0 Ready to start TLS");
  }
  EXPECT_EQ(waitFor(2, 5), 2u);

  auto c = Connect();
  EXPECT_EQ(ehlo(*c), "250 STARTTLS");
  EXPECT_EQ(c->Cmd("STARTTLS"), "454 4.7.0 TLS not available due to temporary reason");
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@corp.example", {"Subject: clear", "", "text"}),
            "250 2.0.0 Message received OK");
  EXPECT_EQ(c->Cmd("STARTTLS"), "454 4.7.0 TLS not available due to temporary reason");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0],
            "STARTTLS refused to 127.0.0.1: 2 handshakes in progress "
            "('MaxTLSHandshakes')");

  // A client that goes away mid-handshake gives its place back; a handshake that succeeds
  // holds one only while it runs.
  a.reset();
  EXPECT_EQ(waitFor(1, 5), 1u);
  std::string out;
  EXPECT_EQ(RunCommand("printf 'EHLO s.example\\nQUIT\\n' | timeout 20 openssl s_client "
                       "-starttls smtp -crlf -quiet -connect 127.0.0.1:" +
                           Port(),
                       out),
            0)
      << out;
  EXPECT_NE(out.find("221 2.0.0 " + Host() + " closing"), std::string::npos) << out;
  EXPECT_EQ(waitFor(1, 5), 1u);

  // The silent one runs out of time.
  EXPECT_EQ(waitFor(0, 10), 0u);
  EXPECT_EQ(b->ReadLine(), "<closed>");

  // A handshake the client spoils gives its place back too.
  auto d = Connect();
  EXPECT_EQ(d->Cmd("STARTTLS"), "220 Ready to start TLS");
  d->Send("not a handshake\r\n");
  EXPECT_EQ(d->ReadLine(), "<closed>");
  EXPECT_EQ(waitFor(0, 5), 0u);
}

TEST_F(StartTls, ACertificateTurnedIntoAFifoHoldsUpNoSession) {
  fs::remove(cert_);
  ASSERT_EQ(::mkfifo(cert_.c_str(), 0600), 0);
  store_->SetCheckInterval(std::chrono::milliseconds(10));
  for (int i = 0; i < 3; ++i) {
    std::string out;
    ASSERT_EQ(RunCommand("printf 'EHLO s.example\\nNOOP\\nQUIT\\n' | timeout 20 openssl "
                         "s_client -starttls smtp -crlf -quiet -connect 127.0.0.1:" +
                             Port(),
                         out),
              0)
        << out;
    EXPECT_NE(out.find("250 2.0.0 NOOP Performed"), std::string::npos) << out;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "Cannot read the TLS certificate file '" + cert_ +
                           "' in 'TLSCertificateFile': not a regular file; the loaded "
                           "certificate stays in use");
}

}  // namespace
}  // namespace kestran::testing_smtp
