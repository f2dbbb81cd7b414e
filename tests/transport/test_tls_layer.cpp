// The certificate store behind STARTTLS: what stops the start, and how renewed files are
// taken up while the receiver runs.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <vector>

#include "support/child_process.h"
#include "support/test_cert.h"
#include "transport/tls_layer.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;
using test::MakeSelfSignedCert;
using test::ReadFileText;
using test::WriteFileText;

class TlsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TlsAvailable()) GTEST_SKIP() << "no TLS in this build";
    dir_ = fs::temp_directory_path() / ("kestran-tls-" + std::to_string(std::random_device()()));
    fs::create_directories(dir_);
    if (!MakeSelfSignedCert(Path("a.crt"), Path("a.key")) ||
        !MakeSelfSignedCert(Path("b.crt"), Path("b.key")))
      GTEST_SKIP() << "the openssl program cannot make a certificate";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Copy(const std::string& from, const std::string& to) {
    ASSERT_TRUE(WriteFileText(Path(to), ReadFileText(Path(from))));
  }
  static std::string LoadError(const std::string& cert, const std::string& key) {
    try {
      TTlsCertStore store(cert, key);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }

  fs::path dir_;
};

TEST_F(TlsStore, UnusableFilesAreRefusedNamingTheFile) {
  EXPECT_EQ(LoadError(Path("a.crt"), Path("a.key")), "");
  // Certificate and key in one file.
  ASSERT_TRUE(
      WriteFileText(Path("both.pem"), ReadFileText(Path("a.crt")) + ReadFileText(Path("a.key"))));
  EXPECT_EQ(LoadError(Path("both.pem"), ""), "");

  std::string e = LoadError(Path("a.crt"), Path("b.key"));
  EXPECT_NE(e.find("'" + Path("b.key") + "' in 'TLSKeyFile' does not match"), std::string::npos)
      << e;
  e = LoadError(Path("missing.crt"), Path("a.key"));
  EXPECT_NE(e.find("'" + Path("missing.crt") + "' in 'TLSCertificateFile'"), std::string::npos)
      << e;
  e = LoadError(Path("a.key"), Path("a.key"));
  EXPECT_NE(e.find("No PEM certificate"), std::string::npos) << e;
  EXPECT_NE(e.find(Path("a.key")), std::string::npos) << e;
  e = LoadError(Path("a.crt"), Path("a.crt"));
  EXPECT_NE(e.find("No unencrypted PEM private key"), std::string::npos) << e;
}

TEST_F(TlsStore, RenewedFilesReplaceTheContextAndBrokenOnesKeepIt) {
  Copy("a.crt", "live.crt");
  Copy("a.key", "live.key");
  TTlsCertStore store(Path("live.crt"), Path("live.key"));
  std::vector<std::string> events;
  store.OnEvent = [&](const std::string& text) { events.push_back(text); };
  auto first = store.Current();

  // Within the check interval nothing is read again.
  Copy("b.crt", "live.crt");
  Copy("b.key", "live.key");
  EXPECT_EQ(store.Current(), first);

  store.SetCheckInterval(std::chrono::milliseconds(0));
  auto renewed = store.Current();
  EXPECT_NE(renewed, first);
  EXPECT_EQ(store.Current(), renewed) << "unchanged files are not loaded again";

  // A certificate replaced without its key: the renewed pair stays, reported once.
  Copy("a.crt", "live.crt");
  events.clear();
  EXPECT_EQ(store.Current(), renewed);
  EXPECT_EQ(store.Current(), renewed);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("does not match"), std::string::npos) << events[0];
  EXPECT_NE(events[0].find("stays in use"), std::string::npos) << events[0];

  // The key follows: the pair is taken up.
  Copy("a.key", "live.key");
  EXPECT_NE(store.Current(), renewed);

  // Failed handshakes are reported at most once per interval.
  events.clear();
  store.HandshakeFailed("127.0.0.1", "wrong version number");
  store.HandshakeFailed("127.0.0.2", "wrong version number");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "STARTTLS handshake with 127.0.0.1 failed: wrong version number");
  store.SetHandshakeReportInterval(std::chrono::milliseconds(0));
  store.HandshakeFailed("127.0.0.3", "x");
  EXPECT_EQ(events.size(), 2u);
}

}  // namespace
}  // namespace kestran
