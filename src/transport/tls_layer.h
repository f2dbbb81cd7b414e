#pragma once
// TLS under the buffered connection: the receiver's certificate and key (one context
// shared by every session, replaced when the files are renewed) and the encrypted channel
// of one connection. Built on OpenSSL, and on Windows on the system's Schannel
// (tls_layer_schannel.cpp); a build without either keeps the types, but TlsAvailable() is
// false, nothing can be loaded and no channel can be opened.

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/sockets.h"
#include "transport/conduit_errors.h"

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace kestran {

class TTlsThumbprintWatch;
struct TSchannelCredential;
struct TSchannelSession;

// A handshake that failed for a reason other than the socket: the message says why.
KESTRAN_ERROR_CLASS(EConduitTlsError, EConduitException);

// Whether this build can speak TLS at all.
bool TlsAvailable();

// A certificate chain with its private key, ready for handshakes: TLS 1.2 and 1.3 only,
// the library's default cipher suites less those in CBC mode and those without forward
// secrecy (static RSA key exchange), buffers released while a connection is idle.
class TTlsServerContext {
 public:
  // PEM texts; the names are what messages call the files. Raises Exception naming the
  // file that cannot be used (no certificate, no key, key not matching the certificate).
  static std::shared_ptr<const TTlsServerContext> FromPem(const std::string& certName,
                                                          const std::string& certPem,
                                                          const std::string& keyName,
                                                          const std::string& keyPem);
#ifdef _WIN32
  // The certificate with its private key in the local machine's "My" store whose SHA-1
  // hash the thumbprint gives (40 hex digits; blanks and colons are ignored). Raises
  // Exception naming the setting when there is none or it cannot be used.
  static std::shared_ptr<const TTlsServerContext> FromThumbprint(const std::string& thumbprint);
#endif
  ~TTlsServerContext();
  TTlsServerContext(const TTlsServerContext&) = delete;
  TTlsServerContext& operator=(const TTlsServerContext&) = delete;

  // What every handshake sends: the number of certificates (the server's own and its
  // chain) and their size in DER bytes.
  size_t ChainCertificates() const {
    return chainCertificates_;
  }
  size_t ChainBytes() const {
    return chainBytes_;
  }

#ifdef _WIN32
  const TSchannelCredential& Native() const {
    return *cred_;
  }

 private:
  explicit TTlsServerContext(std::unique_ptr<TSchannelCredential> cred);
  std::unique_ptr<TSchannelCredential> cred_;
#else
  ssl_ctx_st* Native() const {
    return ctx_;
  }

 private:
  explicit TTlsServerContext(ssl_ctx_st* ctx) : ctx_(ctx) {}
  ssl_ctx_st* ctx_;
#endif
  size_t chainCertificates_ = 0;
  size_t chainBytes_ = 0;
};

class TTlsRefresher;

// The certificate and key files of the receiver, and the handshakes in progress. A
// background thread reads the files again once per check interval; a changed pair that
// loads replaces the context for the sessions that start afterwards, one that does not
// load leaves the previous one in use and is reported once. Sessions only ever take the
// last context that loaded: none waits for a file.
class TTlsCertStore {
 public:
  static constexpr std::chrono::milliseconds kDefaultCheckInterval{60000};
  static constexpr std::chrono::milliseconds kHandshakeReportInterval{60000};
  // A certificate or key file larger than this is not read.
  static constexpr size_t kMaxFileBytes = 1024 * 1024;
  // A longer or larger chain is used, with a warning: many clients refuse it.
  static constexpr size_t kWarnChainCertificates = 10;
  static constexpr size_t kWarnChainBytes = 100 * 1024;
  static constexpr uint32_t kDefaultMaxHandshakes = 200;

  // Paths as configured (Windows paths, translated when read). An empty keyPath takes
  // the key from the certificate file. Raises Exception naming the file and the setting
  // when the pair cannot be loaded; a chain worth a warning is reported through onEvent.
  TTlsCertStore(const std::string& certPath, const std::string& keyPath,
                std::function<void(const std::string& text)> onEvent = nullptr);
  ~TTlsCertStore();
  TTlsCertStore(const TTlsCertStore&) = delete;
  TTlsCertStore& operator=(const TTlsCertStore&) = delete;
#ifdef _WIN32
  // The certificate named by its thumbprint in the local machine's "My" store
  // (tls_cert_watch_win32.cpp): looked up again once per check interval on a thread of
  // its own, following the store's renewal links, never on a session's path.
  static std::shared_ptr<TTlsCertStore> FromThumbprint(const std::string& thumbprint);
#endif

  // The context for a new session; never reads a file. The first call starts the
  // background check.
  std::shared_ptr<const TTlsServerContext> Current();
  // Reads both files now, on the calling thread, and takes up a changed pair that loads
  // (what the background check does once per interval).
  void Refresh();
  void SetCheckInterval(std::chrono::milliseconds interval);

  // Receives the store's reports (a renewed pair that cannot be used, a chain worth a
  // warning, failed and refused handshakes). Set before the first Current().
  std::function<void(const std::string& text)> OnEvent;

  // A handshake failed: reported through OnEvent at most once per report interval.
  void HandshakeFailed(const std::string& peer, const std::string& reason);
  void SetHandshakeReportInterval(std::chrono::milliseconds interval);

  // A place among the handshakes in progress, given back when it is destroyed.
  class THandshakeSlot {
   public:
    THandshakeSlot() = default;
    explicit THandshakeSlot(std::atomic<uint32_t>* count) : count_(count) {}
    THandshakeSlot(THandshakeSlot&& other) noexcept : count_(other.count_) {
      other.count_ = nullptr;
    }
    THandshakeSlot& operator=(THandshakeSlot&&) = delete;
    ~THandshakeSlot() {
      if (count_ != nullptr) count_->fetch_sub(1);
    }
    explicit operator bool() const { return count_ != nullptr; }

   private:
    std::atomic<uint32_t>* count_ = nullptr;
  };
  // At most max handshakes at the same time (0: no limit).
  void SetMaxHandshakes(uint32_t max) {
    maxHandshakes_.store(max);
  }
  uint32_t MaxHandshakes() const {
    return maxHandshakes_.load();
  }
  // A slot, or an empty one when max handshakes are in progress; then the refusal is
  // reported through OnEvent at most once per report interval.
  THandshakeSlot BeginHandshake(const std::string& peer);
  uint32_t HandshakesInProgress() const {
    return handshakes_.load();
  }

 private:
  friend class TTlsRefresher;
  // Reads both files; false (with the reason in error) when one cannot be read.
  bool ReadFiles(std::string& cert, std::string& key, std::string& error) const;
  std::shared_ptr<const TTlsServerContext> Load(const std::string& cert,
                                                const std::string& key) const;
  // The warning a context's chain deserves, or "".
  std::string ChainWarning(const TTlsServerContext& context) const;
  void Report(const std::string& text);
  // Reports text unless one was reported through last within the report interval.
  void ReportSometimes(std::atomic<int64_t>& last, const std::string& text);

  std::string certPath_;
  std::string keyPath_;
  std::mutex lock_;  // never held while a file is read
  std::condition_variable wake_;
  std::shared_ptr<const TTlsServerContext> current_;
  std::string loadedPem_;  // certificate + key text of current_, or of the last failure
  std::chrono::steady_clock::time_point lastCheck_;
  std::chrono::milliseconds checkInterval_{kDefaultCheckInterval};
  std::chrono::milliseconds reportInterval_{kHandshakeReportInterval};
  std::mutex refreshLock_;  // one reading of the files at a time
  std::unique_ptr<TTlsRefresher> refresher_;
  bool refresherStarted_ = false;
  bool stopping_ = false;
  std::atomic<int64_t> lastHandshakeReport_{INT64_MIN};
  std::atomic<int64_t> lastRefusalReport_{INT64_MIN};
  std::atomic<uint32_t> maxHandshakes_{kDefaultMaxHandshakes};
  std::atomic<uint32_t> handshakes_{0};
#ifdef _WIN32
  friend class TTlsThumbprintWatch;
  TTlsCertStore();  // defined where the refresher is complete
  std::shared_ptr<const TTlsServerContext> WatchedCurrent();
  struct TWatchEnd {
    void operator()(TTlsThumbprintWatch* watch) const;
  };
  std::unique_ptr<TTlsThumbprintWatch, TWatchEnd> watch_;
#endif
};

// The encrypted channel of one connection, on its socket. Read and Write behave like the
// socket's receive and send: a count, 0 when the peer has closed, -1 with the socket
// error left as the thread's last one (10060 on a time-out, after which the channel is
// still usable; a protocol failure reads as 10053, connection aborted).
class TTlsChannel {
 public:
  TTlsChannel(std::shared_ptr<const TTlsServerContext> context, TSocket socket);
  ~TTlsChannel();
  TTlsChannel(const TTlsChannel&) = delete;
  TTlsChannel& operator=(const TTlsChannel&) = delete;

  // The server side of the handshake, all of it within timeoutSeconds (0: no limit).
  // Raises EConduitSocketError for a socket failure or the time-out (10060) and
  // EConduitTlsError when the peer's data are not an acceptable handshake.
  void Accept(uint32_t timeoutSeconds);
  // Waits at most waitSeconds (0: no limit) for data before it reads.
  int Read(char* buf, int len, uint32_t waitSeconds);
  int Write(const char* buf, int len);
  // Sends the closing alert, best effort.
  void Close();

  // "TLSv1.3", the cipher's name and its secret bits, once the handshake is done.
  std::string Version() const;
  std::string Cipher() const;
  int CipherBits() const;

 private:
  friend struct TTlsBioAccess;
  // Applies the time left until the deadline to the socket; false when it has passed.
  bool ArmDeadline();

  std::shared_ptr<const TTlsServerContext> context_;
  TSocket socket_;
#ifdef _WIN32
  friend struct TSchannelSession;
  std::unique_ptr<TSchannelSession> session_;
#else
  ssl_st* ssl_ = nullptr;
  bio_st* bio_ = nullptr;
#endif
  bool deadlineSet_ = false;
  std::chrono::steady_clock::time_point deadline_;
  uint32_t armedMs_ = UINT32_MAX;  // the socket time-outs last set by ArmDeadline
  bool failed_ = false;
};

}  // namespace kestran
