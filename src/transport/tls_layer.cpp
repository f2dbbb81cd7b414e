#include "transport/tls_layer.h"

#include <algorithm>
#include <climits>

#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/thread.h"
#include "transport/winsock_intf.h"

#if KESTRAN_TLS
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#endif

namespace kestran {

namespace {

constexpr int kConnAborted = 10053;

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// ---------------------------------------------------------------- certificate store

namespace {

// Why a certificate or key file could not be read.
std::string FileReadReason(uint32_t code) {
  if (code == kErrorNotPlainFile) return "not a regular file";
  if (code == kErrorFileTooLarge)
    return "larger than " + std::to_string(TTlsCertStore::kMaxFileBytes / 1024 / 1024) + " MiB";
  std::string text = SystemErrorText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

constexpr std::chrono::milliseconds kMinCheckInterval{10};

}  // namespace

// The background check of the certificate files.
class TTlsRefresher : public TThread {
 public:
  explicit TTlsRefresher(TTlsCertStore& store) : store_(store) {}
  ~TTlsRefresher() override { EndAndWait(); }

 protected:
  void Execute() override {
    std::unique_lock<std::mutex> l(store_.lock_);
    while (!store_.stopping_) {
      const auto due = store_.lastCheck_ + std::max(store_.checkInterval_, kMinCheckInterval);
      if (std::chrono::steady_clock::now() < due) {
        store_.wake_.wait_until(l, due);
        continue;
      }
      l.unlock();
      store_.Refresh();
      l.lock();
    }
  }

 private:
  TTlsCertStore& store_;
};

TTlsCertStore::TTlsCertStore(const std::string& certPath, const std::string& keyPath,
                             std::function<void(const std::string& text)> onEvent)
    : OnEvent(std::move(onEvent)), certPath_(certPath), keyPath_(keyPath) {
  std::string cert, key, error;
  if (!ReadFiles(cert, key, error)) throw Exception(error);
  current_ = Load(cert, key);
  loadedPem_ = cert + std::string(1, '\0') + key;
  lastCheck_ = std::chrono::steady_clock::now();
  std::string warning = ChainWarning(*current_);
  if (!warning.empty()) Report(warning);
}

#ifdef _WIN32
TTlsCertStore::TTlsCertStore() = default;
#endif

TTlsCertStore::~TTlsCertStore() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  refresher_.reset();  // waits for a check in progress
}

void TTlsCertStore::SetCheckInterval(std::chrono::milliseconds interval) {
  {
    std::lock_guard<std::mutex> g(lock_);
    checkInterval_ = interval;
  }
  wake_.notify_all();
}

void TTlsCertStore::SetHandshakeReportInterval(std::chrono::milliseconds interval) {
  std::lock_guard<std::mutex> g(lock_);
  reportInterval_ = interval;
  lastHandshakeReport_.store(INT64_MIN);
  lastRefusalReport_.store(INT64_MIN);
}

bool TTlsCertStore::ReadFiles(std::string& cert, std::string& key, std::string& error) const {
  if (!ReadSmallFile(certPath_, kMaxFileBytes, cert)) {
    error = "Cannot read the TLS certificate file '" + certPath_ +
            "' in 'TLSCertificateFile': " + FileReadReason(LastFileError());
    return false;
  }
  if (keyPath_.empty()) {
    key = cert;
  } else if (!ReadSmallFile(keyPath_, kMaxFileBytes, key)) {
    error = "Cannot read the TLS key file '" + keyPath_ +
            "' in 'TLSKeyFile': " + FileReadReason(LastFileError());
    return false;
  }
  return true;
}

std::shared_ptr<const TTlsServerContext> TTlsCertStore::Load(const std::string& cert,
                                                             const std::string& key) const {
  const std::string certName = "'" + certPath_ + "' in 'TLSCertificateFile'";
  const std::string keyName = keyPath_.empty() ? certName : "'" + keyPath_ + "' in 'TLSKeyFile'";
  return TTlsServerContext::FromPem(certName, cert, keyName, key);
}

std::string TTlsCertStore::ChainWarning(const TTlsServerContext& context) const {
  if (context.ChainCertificates() <= kWarnChainCertificates &&
      context.ChainBytes() <= kWarnChainBytes)
    return "";
  return "The TLS certificate file '" + certPath_ + "' in 'TLSCertificateFile' holds " +
         std::to_string(context.ChainCertificates()) + " certificates of " +
         std::to_string(context.ChainBytes()) + " bytes, sent in every handshake: many " +
         "clients refuse a chain of more than " + std::to_string(kWarnChainCertificates) +
         " certificates or " + std::to_string(kWarnChainBytes / 1024) + " KiB";
}

void TTlsCertStore::Report(const std::string& text) {
  if (OnEvent) OnEvent(text);
}

std::shared_ptr<const TTlsServerContext> TTlsCertStore::Current() {
#ifdef _WIN32
  if (watch_ != nullptr) return WatchedCurrent();
#endif
  std::lock_guard<std::mutex> g(lock_);
  if (!refresherStarted_ && !stopping_) {
    refresherStarted_ = true;
    try {
      auto refresher = std::make_unique<TTlsRefresher>(*this);
      refresher->Resume();
      refresher_ = std::move(refresher);
    } catch (const Exception&) {
      // No thread to spare: the loaded pair stays in use until the next start.
    }
  }
  return current_;
}

void TTlsCertStore::Refresh() {
  std::lock_guard<std::mutex> reading(refreshLock_);
  {
    std::lock_guard<std::mutex> g(lock_);
    lastCheck_ = std::chrono::steady_clock::now();
  }
  // The files are read and parsed outside the lock: sessions go on with the loaded
  // context meanwhile.
  std::string message, warning, cert, key, error;
  std::string pem;
  std::shared_ptr<const TTlsServerContext> loaded;
  bool read = ReadFiles(cert, key, error);
  if (read) pem = cert + std::string(1, '\0') + key;
  {
    std::lock_guard<std::mutex> g(lock_);
    // A renewal caught half-way, or a file taken away: the loaded pair stays. Each
    // distinct failure is reported once, an unchanged pair is not loaded again.
    if (read ? pem == loadedPem_ : error == loadedPem_) return;
  }
  if (!read) {
    message = error + "; the loaded certificate stays in use";
    pem = error;
  } else {
    try {
      loaded = Load(cert, key);
      message = "TLS certificate reloaded from '" + certPath_ + "'";
      warning = ChainWarning(*loaded);
    } catch (const Exception& e) {
      message = e.Message() + "; the loaded certificate stays in use";
    }
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    loadedPem_ = std::move(pem);
    if (loaded) current_ = std::move(loaded);
  }
  Report(message);
  if (!warning.empty()) Report(warning);
}

void TTlsCertStore::ReportSometimes(std::atomic<int64_t>& last, const std::string& text) {
  int64_t interval;
  {
    std::lock_guard<std::mutex> g(lock_);
    interval = reportInterval_.count();
  }
  const int64_t now = SteadyMillis();
  int64_t seen = last.load();
  if (seen != INT64_MIN && now - seen < interval) return;
  if (!last.compare_exchange_strong(seen, now)) return;
  Report(text);
}

void TTlsCertStore::HandshakeFailed(const std::string& peer, const std::string& reason) {
  ReportSometimes(lastHandshakeReport_, "STARTTLS handshake with " + peer + " failed: " + reason);
}

TTlsCertStore::THandshakeSlot TTlsCertStore::BeginHandshake(const std::string& peer) {
  const uint32_t max = maxHandshakes_.load();
  uint32_t count = handshakes_.load();
  do {
    if (max != 0 && count >= max) {
      ReportSometimes(lastRefusalReport_, "STARTTLS refused to " + peer + ": " +
                                              std::to_string(max) +
                                              " handshakes in progress ('MaxTLSHandshakes')");
      return THandshakeSlot();
    }
  } while (!handshakes_.compare_exchange_weak(count, count + 1));
  return THandshakeSlot(&handshakes_);
}

// ---------------------------------------------------------------- channel deadline

// Shared by the OpenSSL and the Schannel channel.
bool TTlsChannel::ArmDeadline() {
  constexpr uint32_t kDeadlineSlackMs = 250;
  if (!deadlineSet_) return true;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  uint32_t ms = static_cast<uint32_t>(std::min<int64_t>(left.count(), UINT32_MAX / 2));
  // The time-outs already set are set again only once they would let a wait run more
  // than a quarter of a second past the deadline (setting them costs two system calls,
  // and a handshake reads and writes many times).
  if (armedMs_ <= ms + kDeadlineSlackMs) return true;
  armedMs_ = ms;
  const char* v = reinterpret_cast<const char*>(&ms);
  GWinsockIntf().setsockopt(socket_, kSolSocket, kSoRcvTimeo, v, sizeof ms);
  GWinsockIntf().setsockopt(socket_, kSolSocket, kSoSndTimeo, v, sizeof ms);
  return true;
}

#if KESTRAN_TLS

bool TlsAvailable() {
  return true;
}

namespace {

constexpr int kTimedOut = 10060;

// The text of the library's oldest queued error, or fallback; clears the queue.
std::string TakeSslError(const std::string& fallback) {
  unsigned long code = ERR_get_error();
  std::string text = fallback;
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    const char* reason = ERR_reason_error_string(code);
    text = reason != nullptr ? reason : buf;
  }
  ERR_clear_error();
  return text;
}

// Encrypted keys are not supported: never prompt for a pass phrase.
int NoPassword(char*, int, int, void*) {
  return 0;
}

size_t DerSize(X509* cert) {
  int n = i2d_X509(cert, nullptr);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};
using TBioPtr = std::unique_ptr<BIO, BioDeleter>;

}  // namespace

std::shared_ptr<const TTlsServerContext> TTlsServerContext::FromPem(const std::string& certName,
                                                                    const std::string& certPem,
                                                                    const std::string& keyName,
                                                                    const std::string& keyPem) {
  ERR_clear_error();
  SSL_CTX* raw = SSL_CTX_new(TLS_server_method());
  if (raw == nullptr) throw Exception("Cannot set up TLS: " + TakeSslError("out of memory"));
  std::shared_ptr<TTlsServerContext> ctx(new TTlsServerContext(raw));

  SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(raw, TLS1_3_VERSION);
  // An idle connection keeps no record buffers (about 34 KiB each way otherwise).
  SSL_CTX_set_mode(raw, SSL_MODE_RELEASE_BUFFERS);
  // The chain is the certificate file's own (below): it is not built anew from a
  // certificate store for every handshake.
  SSL_CTX_set_mode(raw, SSL_MODE_NO_AUTO_CHAIN);
  SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_dh_auto(raw, 1);
  // Resumption rests on tickets, which the client keeps: no server-side cache of every
  // session of the last minutes.
  SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
  // One ticket per full handshake is enough for a client that sends its mail over one
  // connection at a time (the library sends two).
  SSL_CTX_set_num_tickets(raw, 1);
  // Records are read with as much as the socket holds, not header and body apart.
  SSL_CTX_set_read_ahead(raw, 1);
  // The library's default list without the TLS 1.2 suites in CBC mode (their padding
  // check is open to timing attacks), without static RSA key exchange (no forward
  // secrecy: AES256-GCM-SHA384, AES128-GCM-SHA256) and without pre-shared keys, which
  // the receiver has none of: only AEAD suites with ephemeral keys remain.
  if (SSL_CTX_set_cipher_list(raw, "DEFAULT:!SHA1:!SHA256:!SHA384:!kRSA:!PSK") != 1)
    throw Exception("Cannot set up TLS: " + TakeSslError("no cipher suite"));

  TBioPtr certBio(BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size())));
  X509* cert = PEM_read_bio_X509_AUX(certBio.get(), nullptr, NoPassword, nullptr);
  if (cert == nullptr) {
    ERR_clear_error();
    throw Exception("No PEM certificate in the TLS certificate file " + certName);
  }
  ctx->chainCertificates_ = 1;
  ctx->chainBytes_ = DerSize(cert);
  int ok = SSL_CTX_use_certificate(raw, cert);
  X509_free(cert);
  if (ok != 1)
    throw Exception("Cannot use the TLS certificate file " + certName + ": " +
                    TakeSslError("unusable certificate"));
  // The rest of the file is the chain up to the issuer.
  for (;;) {
    X509* ca = PEM_read_bio_X509(certBio.get(), nullptr, NoPassword, nullptr);
    if (ca == nullptr) break;
    ++ctx->chainCertificates_;
    ctx->chainBytes_ += DerSize(ca);
    if (SSL_CTX_add0_chain_cert(raw, ca) != 1) {
      X509_free(ca);
      throw Exception("Cannot use the chain in the TLS certificate file " + certName + ": " +
                      TakeSslError("unusable certificate"));
    }
  }
  ERR_clear_error();

  TBioPtr keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, NoPassword, nullptr);
  if (key == nullptr) {
    ERR_clear_error();
    throw Exception("No unencrypted PEM private key in the TLS key file " + keyName);
  }
  ok = SSL_CTX_use_PrivateKey(raw, key);
  EVP_PKEY_free(key);
  if (ok != 1 || SSL_CTX_check_private_key(raw) != 1) {
    ERR_clear_error();
    throw Exception("The TLS key file " + keyName +
                    " does not match the certificate of the TLS certificate file " + certName);
  }
  return ctx;
}

TTlsServerContext::~TTlsServerContext() {
  SSL_CTX_free(ctx_);
}

// ---------------------------------------------------------------- channel

// The channel's socket as an OpenSSL I/O object: receives and sends go through the
// process's socket interface, so time-outs and error codes are those of plain sessions.
struct TTlsBioAccess {
  static TTlsChannel* Channel(BIO* b) { return static_cast<TTlsChannel*>(BIO_get_data(b)); }

  // One receive or send by call on the channel's socket; on a time-out outside the
  // handshake, retryFlags tell the library to try again.
  template <typename Call>
  static int Transfer(BIO* b, int retryFlags, Call call) {
    TTlsChannel* ch = Channel(b);
    BIO_clear_retry_flags(b);
    if (!ch->ArmDeadline()) {
      SockSetLastError(kTimedOut);
      return -1;
    }
    int n = call(ch->socket_);
    if (n < 0) {
      int code = GWinsockIntf().WSAGetLastError();
      // An idle time-out after the handshake leaves the channel usable (a reply can still
      // be written); within the handshake it ends it.
      if (code == kTimedOut && !ch->deadlineSet_) BIO_set_flags(b, retryFlags);
      SockSetLastError(code);
    }
    return n;
  }

  static int Read(BIO* b, char* buf, int len) {
    return Transfer(b, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY,
                    [&](TSocket s) { return GWinsockIntf().recv(s, buf, len, 0); });
  }

  static int Write(BIO* b, const char* buf, int len) {
    return Transfer(b, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY,
                    [&](TSocket s) { return GWinsockIntf().send(s, buf, len, 0); });
  }

  static long Ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

  static int Create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  }

  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kestran socket");
      BIO_meth_set_read(m, Read);
      BIO_meth_set_write(m, Write);
      BIO_meth_set_ctrl(m, Ctrl);
      BIO_meth_set_create(m, Create);
      return m;
    }();
    return method;
  }
};

TTlsChannel::TTlsChannel(std::shared_ptr<const TTlsServerContext> context, TSocket socket)
    : context_(std::move(context)), socket_(socket) {
  ERR_clear_error();
  ssl_ = SSL_new(context_->Native());
  bio_ = BIO_new(TTlsBioAccess::Method());
  if (ssl_ == nullptr || bio_ == nullptr) {
    if (bio_ != nullptr) BIO_free(bio_);
    if (ssl_ != nullptr) SSL_free(ssl_);
    throw EConduitTlsError("Cannot start TLS: " + TakeSslError("out of memory"));
  }
  BIO_set_data(bio_, this);
  SSL_set_bio(ssl_, bio_, bio_);  // the SSL object owns the BIO from here
}

TTlsChannel::~TTlsChannel() {
  SSL_free(ssl_);
}

void TTlsChannel::Accept(uint32_t timeoutSeconds) {
  deadlineSet_ = timeoutSeconds != 0;
  armedMs_ = UINT32_MAX;
  if (deadlineSet_)
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  ERR_clear_error();
  SockSetLastError(0);
  int rc = SSL_accept(ssl_);
  deadlineSet_ = false;
  if (rc == 1) return;
  failed_ = true;
  int err = SSL_get_error(ssl_, rc);
  int code = SockLastError();
  if ((err == SSL_ERROR_SYSCALL || err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) &&
      code != 0) {
    ERR_clear_error();
    throw EConduitSocketError(GWinsockIntf().TranslateErrorMsg(code), code);
  }
  throw EConduitTlsError(TakeSslError("the client ended the connection during the handshake"));
}

int TTlsChannel::Read(char* buf, int len, uint32_t waitSeconds) {
  if (failed_) {
    SockSetLastError(kConnAborted);
    return -1;
  }
  // Wait for the socket first: a read that blocks inside the library holds a record
  // buffer (about 17 KiB) for as long as the connection is idle.
  if (SSL_has_pending(ssl_) == 0) {
    TFdSet readable;
    readable.fd_count = 1;
    readable.fd_array[0] = socket_;
    TTimeVal limit;
    limit.tv_sec = static_cast<int32_t>(std::min<uint32_t>(waitSeconds, INT32_MAX / 1000));
    int rc =
        GWinsockIntf().select(0, &readable, nullptr, nullptr, waitSeconds != 0 ? &limit : nullptr);
    if (rc == 0) {
      SockSetLastError(kTimedOut);
      return -1;
    }
    if (rc < 0) return -1;  // the socket's error is the thread's last one
  }
  ERR_clear_error();
  SockSetLastError(0);
  int n = SSL_read(ssl_, buf, len);
  if (n > 0) return n;
  int code = SockLastError();
  switch (SSL_get_error(ssl_, n)) {
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      SockSetLastError(code != 0 ? code : kTimedOut);
      return -1;
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      if (code == 0) return 0;  // the peer closed without the closing alert
      failed_ = true;
      SockSetLastError(code);
      return -1;
    default:
      ERR_clear_error();
      failed_ = true;
      SockSetLastError(kConnAborted);
      return -1;
  }
}

int TTlsChannel::Write(const char* buf, int len) {
  if (failed_) {
    SockSetLastError(kConnAborted);
    return -1;
  }
  ERR_clear_error();
  SockSetLastError(0);
  int n = SSL_write(ssl_, buf, len);
  if (n > 0) return n;
  int code = SockLastError();
  int err = SSL_get_error(ssl_, n);
  ERR_clear_error();
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    SockSetLastError(code != 0 ? code : kTimedOut);
    return -1;
  }
  failed_ = true;
  SockSetLastError(code != 0 ? code : kConnAborted);
  return -1;
}

void TTlsChannel::Close() {
  if (failed_) return;
  failed_ = true;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::string TTlsChannel::Version() const {
  return SSL_get_version(ssl_);
}

std::string TTlsChannel::Cipher() const {
  const char* name = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
  return name != nullptr ? name : "";
}

int TTlsChannel::CipherBits() const {
  return SSL_CIPHER_get_bits(SSL_get_current_cipher(ssl_), nullptr);
}

#elif !defined(_WIN32)  // no TLS in this build (Windows: tls_layer_schannel.cpp)

bool TlsAvailable() {
  return false;
}

std::shared_ptr<const TTlsServerContext> TTlsServerContext::FromPem(const std::string& certName,
                                                                    const std::string&,
                                                                    const std::string&,
                                                                    const std::string&) {
  throw Exception("TLS is not available in this build: the TLS certificate file " + certName +
                  " cannot be used");
}

TTlsServerContext::~TTlsServerContext() = default;

TTlsChannel::TTlsChannel(std::shared_ptr<const TTlsServerContext> context, TSocket socket)
    : context_(std::move(context)), socket_(socket) {
  throw EConduitTlsError("TLS is not available in this build");
}

TTlsChannel::~TTlsChannel() = default;

void TTlsChannel::Accept(uint32_t) {
  throw EConduitTlsError("TLS is not available in this build");
}

int TTlsChannel::Read(char*, int, uint32_t) {
  SockSetLastError(kConnAborted);
  return -1;
}

int TTlsChannel::Write(const char*, int) {
  SockSetLastError(kConnAborted);
  return -1;
}

void TTlsChannel::Close() {}

std::string TTlsChannel::Version() const {
  return "";
}

std::string TTlsChannel::Cipher() const {
  return "";
}

int TTlsChannel::CipherBits() const {
  return 0;
}

#endif

}  // namespace kestran
