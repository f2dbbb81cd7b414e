// The certificate store behind STARTTLS: what stops the start, and how renewed files are
// taken up while the receiver runs.
// test-labels: threads

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <random>
#include <thread>
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

  store.Refresh();
  auto renewed = store.Current();
  EXPECT_NE(renewed, first);
  store.Refresh();
  EXPECT_EQ(store.Current(), renewed) << "unchanged files are not loaded again";

  // A certificate replaced without its key: the renewed pair stays, reported once.
  Copy("a.crt", "live.crt");
  events.clear();
  store.Refresh();
  EXPECT_EQ(store.Current(), renewed);
  store.Refresh();
  EXPECT_EQ(store.Current(), renewed);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("does not match"), std::string::npos) << events[0];
  EXPECT_NE(events[0].find("stays in use"), std::string::npos) << events[0];

  // The key follows: the pair is taken up.
  Copy("a.key", "live.key");
  store.Refresh();
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

// Runs call on another thread; a call that has not returned within 10 s fails the test
// (a writer opening the FIFO then releases a read that blocks on it).
template <typename Call>
void WithinSeconds(Call call, const std::string& fifo) {
  auto done = std::async(std::launch::async, call);
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return done.get();
  ADD_FAILURE() << "blocked on " << fifo;
  int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  done.wait();
  if (fd >= 0) ::close(fd);
}

TEST_F(TlsStore, OnlySmallPlainFilesAreReadAndNothingWaitsForOne) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directory(Path("dir"));
  std::string e;
  WithinSeconds([&] { e = LoadError(Path("fifo"), Path("a.key")); }, Path("fifo"));
  EXPECT_EQ(e, "Cannot read the TLS certificate file '" + Path("fifo") +
                   "' in 'TLSCertificateFile': not a regular file");
  WithinSeconds([&] { e = LoadError(Path("a.crt"), Path("fifo")); }, Path("fifo"));
  EXPECT_EQ(
      e, "Cannot read the TLS key file '" + Path("fifo") + "' in 'TLSKeyFile': not a regular file");
  EXPECT_NE(LoadError(Path("dir"), Path("a.key")).find("not a regular file"), std::string::npos);

  // Text around the PEM blocks is allowed, up to 1 MiB in all; a link to the files is
  // followed, as renewal clients lay them out.
  const std::string cert = ReadFileText(Path("a.crt"));
  std::string padding = "# padding\n";
  std::string big = cert;
  while (big.size() + padding.size() <= TTlsCertStore::kMaxFileBytes) big += padding;
  big.append(TTlsCertStore::kMaxFileBytes - big.size(), '\n');
  ASSERT_TRUE(WriteFileText(Path("max.crt"), big));
  fs::create_symlink(Path("max.crt"), Path("live.crt"));
  EXPECT_EQ(LoadError(Path("live.crt"), Path("a.key")), "");
  ASSERT_TRUE(WriteFileText(Path("over.crt"), big + "\n"));
  EXPECT_EQ(LoadError(Path("over.crt"), Path("a.key")),
            "Cannot read the TLS certificate file '" + Path("over.crt") +
                "' in 'TLSCertificateFile': larger than 1 MiB");

  // Renewed files are read off the sessions' path: a FIFO or an oversized file put in
  // place keeps the loaded pair, reported once, and the next good pair is taken up by the
  // background check alone.
  Copy("a.crt", "renew.crt");
  Copy("a.key", "renew.key");
  std::mutex lock;
  std::vector<std::string> events;
  TTlsCertStore store(Path("renew.crt"), Path("renew.key"));
  store.OnEvent = [&](const std::string& text) {
    std::lock_guard<std::mutex> g(lock);
    events.push_back(text);
  };
  auto first = store.Current();
  fs::remove(Path("renew.crt"));
  fs::create_symlink(Path("fifo"), Path("renew.crt"));
  WithinSeconds([&] { store.Refresh(); }, Path("fifo"));
  WithinSeconds([&] { store.Refresh(); }, Path("fifo"));
  EXPECT_EQ(store.Current(), first);
  fs::remove(Path("renew.crt"));
  Copy("over.crt", "renew.crt");
  store.Refresh();
  EXPECT_EQ(store.Current(), first);
  {
    std::lock_guard<std::mutex> g(lock);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "Cannot read the TLS certificate file '" + Path("renew.crt") +
                             "' in 'TLSCertificateFile': not a regular file; the loaded "
                             "certificate stays in use");
    EXPECT_NE(events[1].find("larger than 1 MiB"), std::string::npos) << events[1];
  }
  Copy("b.crt", "renew.crt");
  Copy("b.key", "renew.key");
  store.SetCheckInterval(std::chrono::milliseconds(20));
  for (int i = 0; i < 500 && store.Current() == first; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(store.Current(), first);
}

TEST_F(TlsStore, LongChainsAreWarnedAboutAtStartAndOnReload) {
  const std::string leaf = ReadFileText(Path("a.crt"));
  const std::string other = ReadFileText(Path("b.crt"));
  auto chain = [&](int extra) {
    std::string text = leaf;
    for (int i = 0; i < extra; ++i) text += other;
    return text;
  };
  std::vector<std::string> events;
  auto collect = [&](const std::string& text) { events.push_back(text); };
  ASSERT_TRUE(WriteFileText(Path("ten.crt"), chain(9)));
  { TTlsCertStore ten(Path("ten.crt"), Path("a.key"), collect); }
  EXPECT_TRUE(events.empty()) << events[0];

  ASSERT_TRUE(WriteFileText(Path("eleven.crt"), chain(10)));
  { TTlsCertStore eleven(Path("eleven.crt"), Path("a.key"), collect); }
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("The TLS certificate file '" + Path("eleven.crt") +
                                "' in 'TLSCertificateFile' holds 11 certificates of ",
                            0),
            0u)
      << events[0];
  EXPECT_NE(events[0].find("more than 10 certificates or 100 KiB"), std::string::npos);

  // On reload: a chain of more than 100 KiB, far below the file's limit.
  events.clear();
  Copy("a.crt", "live.crt");
  TTlsCertStore store(Path("live.crt"), Path("a.key"), collect);
  ASSERT_TRUE(WriteFileText(Path("live.crt"), chain(300)));
  store.Refresh();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "TLS certificate reloaded from '" + Path("live.crt") + "'");
  EXPECT_NE(events[1].find("holds 301 certificates"), std::string::npos) << events[1];
}

}  // namespace
}  // namespace kestran
