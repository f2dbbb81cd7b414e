// The receiver's own settings for extended SMTP and STARTTLS: a certificate that cannot
// be used stops the start naming the file; a usable one is offered after EHLO.

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
  std::string console =
      FailedStart(TlsValues("C:\\\\tls\\\\cert.pem", "C:\\\\tls\\\\other.key"));
  EXPECT_NE(console.find("'C:\\tls\\other.key' in 'TLSKeyFile' does not match"),
            std::string::npos)
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
  EXPECT_EQ(c.Command("STARTTLS"), "220 Ready to start TLS");
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

}  // namespace
}  // namespace kestran::test
