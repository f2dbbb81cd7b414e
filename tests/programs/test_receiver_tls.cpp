// The receiver's own settings for extended SMTP and STARTTLS: a certificate that cannot
// be used stops the start naming the file; a usable one is offered after EHLO.

#include <sys/stat.h>

#include "receiver_fixture.h"
#include "support/test_cert.h"

namespace kestran::test {
namespace {

class ReceiverTls : public ReceiverTest {
 protected:
  void SetUp() override {
    ReceiverTest::SetUp();
    MakeDir("tls");
    if (!MakeSelfSignedCert(Native("tls/cert.pem"), Native("tls/key.pem")) ||
        !MakeSelfSignedCert(Native("tls/other.pem"), Native("tls/other.key")))
      GTEST_SKIP() << "openssl cannot make a certificate";
  }
  static std::string TlsValues(const std::string& cert, const std::string& key) {
    return "\"ESMTP\"=dword:00000001\r\n\"TLSCertificateFile\"=\"" + cert +
           "\"\r\n\"TLSKeyFile\"=\"" + key + "\"\r\n";
  }
  // Starts a receiver that must refuse to start; returns its console.
  std::string FailedStart(const std::string& values) {
    WriteRegistry(BaseRegistry(values));
    StartReceiver({}, false);
    EXPECT_TRUE(proc_.Wait(15000));
    EXPECT_EQ(proc_.exitStatus(), 1);
    return Console();
  }
};

TEST_F(ReceiverTls, UnusableCertificateStopsTheStartAndAGoodOneIsOffered) {
  std::string console = FailedStart(TlsValues("C:\\\\tls\\\\cert.pem", "C:\\\\tls\\\\other.key"));
  EXPECT_NE(console.find("'C:\\tls\\other.key' in 'TLSKeyFile' does not match"), std::string::npos)
      << console;
  console = FailedStart(TlsValues("C:\\\\tls\\\\missing.pem", "C:\\\\tls\\\\key.pem"));
  EXPECT_NE(console.find("'C:\\tls\\missing.pem' in 'TLSCertificateFile'"), std::string::npos)
      << console;

  WriteRegistry(BaseRegistry(TlsValues("C:\\\\tls\\\\cert.pem", "C:\\\\tls\\\\key.pem")));
  StartReceiver();
  LineClient c("127.0.0.1", port_);
  EXPECT_EQ(c.Line().rfind("220 ", 0), 0u);
  c.Send("EHLO e.example\r\n");
  std::string last;
  do last = c.Line();
  while (last.rfind("250-", 0) == 0);
  EXPECT_EQ(last, "250 STARTTLS");
  EXPECT_EQ(c.Command("STARTTLS"), "220 2.0.0 Ready to start TLS");
}

TEST_F(ReceiverTls, ThumbprintOfTheWindowsStoreStopsTheStartHere) {
  const std::string thumbprint =
      "\"TLSCertificateThumbprint\"=\"0123456789abcdef0123456789abcdef01234567\"\r\n";
  std::string console = FailedStart("\"ESMTP\"=dword:00000001\r\n" + thumbprint);
  EXPECT_NE(console.find("'TLSCertificateThumbprint' names a certificate in the Windows "
                         "certificate store; on this system use 'TLSCertificateFile'"),
            std::string::npos)
      << console;
  console = FailedStart(TlsValues("C:\\\\tls\\\\cert.pem", "C:\\\\tls\\\\key.pem") + thumbprint);
  EXPECT_NE(console.find("'TLSCertificateThumbprint' and 'TLSCertificateFile' both name a TLS "
                         "certificate: set only one"),
            std::string::npos)
      << console;
}

TEST_F(ReceiverTls, CertificateFilesThatAreNoSmallPlainFilesStopTheStartAtOnce) {
  // A FIFO once left the start waiting for a writer for ever.
  ASSERT_EQ(::mkfifo(Native("tls/fifo").c_str(), 0600), 0);
  std::string console = FailedStart(TlsValues("C:\\\\tls\\\\fifo", "C:\\\\tls\\\\key.pem"));
  EXPECT_NE(console.find("Cannot read the TLS certificate file 'C:\\tls\\fifo' in "
                         "'TLSCertificateFile': not a regular file"),
            std::string::npos)
      << console;
  console = FailedStart(TlsValues("C:\\\\tls\\\\cert.pem", "C:\\\\tls\\\\fifo"));
  EXPECT_NE(console.find("Cannot read the TLS key file 'C:\\tls\\fifo' in 'TLSKeyFile': "
                         "not a regular file"),
            std::string::npos)
      << console;
  ASSERT_TRUE(WriteFileText(Native("tls/big.pem"),
                            ReadFileText(Native("tls/cert.pem")) + std::string(1024 * 1024, '\n')));
  console = FailedStart(TlsValues("C:\\\\tls\\\\big.pem", "C:\\\\tls\\\\key.pem"));
  EXPECT_NE(console.find("'C:\\tls\\big.pem' in 'TLSCertificateFile': larger than 1 MiB"),
            std::string::npos)
      << console;
}

// An RSA certificate: the key exchanges without forward secrecy are not negotiated, a
// long chain is warned about at start, and MaxTLSHandshakes bounds the handshakes.
TEST_F(ReceiverTls, RsaCertificateWithoutStaticKeyExchangeAndHandshakesBounded) {
  std::string out;
  if (RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
                 "-keyout '" +
                     Native("tls/rsa.key") + "' -out '" + Native("tls/rsa.pem") + "'",
                 out) != 0)
    GTEST_SKIP() << out;
  std::string chain = ReadFileText(Native("tls/rsa.pem"));
  for (int i = 0; i < 10; ++i) chain += ReadFileText(Native("tls/other.pem"));
  ASSERT_TRUE(WriteFileText(Native("tls/chain.pem"), chain));
  WriteRegistry(BaseRegistry(TlsValues("C:\\\\tls\\\\chain.pem", "C:\\\\tls\\\\rsa.key") +
                             "\"MaxTLSHandshakes\"=dword:00000001\r\n"));
  StartReceiver();
  EXPECT_NE(Console().find("The TLS certificate file 'C:\\tls\\chain.pem' in "
                           "'TLSCertificateFile' holds 11 certificates"),
            std::string::npos)
      << Console();

  const std::string client =
      "echo QUIT | timeout 20 openssl s_client -brief -starttls smtp "
      "-connect 127.0.0.1:" +
      std::to_string(port_) + " -tls1_2 -cipher ";
  for (const char* suite : {"AES128-GCM-SHA256", "AES256-GCM-SHA384"}) {
    EXPECT_NE(RunCommand(client + suite, out), 0) << suite << ": " << out;
    EXPECT_EQ(out.find("CONNECTION ESTABLISHED"), std::string::npos) << out;
  }
  ASSERT_EQ(RunCommand(client + "ECDHE-RSA-AES128-GCM-SHA256", out), 0) << out;
  EXPECT_NE(out.find("Ciphersuite: ECDHE-RSA-AES128-GCM-SHA256"), std::string::npos) << out;

  // One handshake held open takes the only place.
  LineClient stalled("127.0.0.1", port_);
  EXPECT_EQ(stalled.Line().rfind("220 ", 0), 0u);
  EXPECT_EQ(stalled.Command("STARTTLS"), "220 Ready to start TLS");
  LineClient c("127.0.0.1", port_);
  EXPECT_EQ(c.Line().rfind("220 ", 0), 0u);
  EXPECT_EQ(c.Command("STARTTLS"), "454 TLS not available due to temporary reason");
  EXPECT_EQ(c.Command("NOOP"), "250 NOOP Performed");
}

}  // namespace
}  // namespace kestran::test
