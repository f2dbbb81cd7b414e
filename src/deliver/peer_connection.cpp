#include "deliver/peer_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace kestran {

namespace {

SSL* Ssl(void* p) {
  return static_cast<SSL*>(p);
}

std::string SslErrorText() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "TLS failure";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

}  // namespace

TPeerConnection::~TPeerConnection() {
  Close();
}

void TPeerConnection::Close() {
  if (ssl_ != nullptr) {
    SSL_free(Ssl(ssl_));
    ssl_ = nullptr;
  }
  if (sslCtx_ != nullptr) {
    SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
    sslCtx_ = nullptr;
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  in_.clear();
  inPos_ = 0;
}

void TPeerConnection::StartClock() {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
}

void TPeerConnection::WaitFor(short events, const char* what) {
  pollfd p{fd_, events, 0};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline_ - std::chrono::steady_clock::now())
                          .count();
    int n = left <= 0 ? 0 : ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
    if (n > 0) return;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) throw EPeerError(std::string("conversation timed out while ") + what);
    throw EPeerError(std::string("poll failed: ") + std::strerror(errno));
  }
}

void TPeerConnection::ConnectUnix(const std::string& path) {
  Close();
  StartClock();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw EPeerError("socket path too long: " + path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw EPeerError(std::string("socket: ") + std::strerror(errno));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::string why = std::strerror(errno);
    Close();
    throw EPeerError("connect to " + path + ": " + why);
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void TPeerConnection::ConnectTcp(const std::string& host, uint16_t port) {
  Close();
  StartClock();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) throw EPeerError("host " + host + " not found: " + gai_strerror(rc));
  std::string why = "no address";
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    fd_ = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) continue;
    if (::connect(fd_, a->ai_addr, a->ai_addrlen) == 0) break;
    if (errno == EINPROGRESS) {
      pollfd p{fd_, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      int n;
      do n = ::poll(&p, 1, timeoutMs_);
      while (n < 0 && errno == EINTR);
      if (n > 0 && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) break;
      why = n == 0 ? "connection timed out" : std::strerror(err != 0 ? err : errno);
    } else {
      why = std::strerror(errno);
    }
    ::close(fd_);
    fd_ = -1;
  }
  ::freeaddrinfo(list);
  if (fd_ < 0) throw EPeerError("connect to [" + host + "]:" + service + ": " + why);
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TPeerConnection::StartTls(const std::string& host, bool verify) {
  // OpenSSL writes with write(), which raises SIGPIPE once the peer is gone: the process
  // takes EPIPE instead, as every other write of this program does.
  static std::once_flag pipeIgnored;
  std::call_once(pipeIgnored, [] { ::signal(SIGPIPE, SIG_IGN); });
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) throw EPeerError("TLS: " + SslErrorText());
  sslCtx_ = ctx;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (verify) {
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) throw EPeerError("TLS: " + SslErrorText());
  ssl_ = ssl;
  SSL_set_fd(ssl, fd_);
  SSL_set_tlsext_host_name(ssl, host.c_str());
  if (verify) {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(ssl, host.c_str()) != 1) throw EPeerError("TLS: " + SslErrorText());
  }
  // Bytes the peer sent before the handshake would be read as plain text after it.
  if (HasBufferedInput()) throw EPeerError("TLS: the peer sent data before the handshake");
  StartClock();
  for (;;) {
    int rc = SSL_connect(ssl);
    if (rc == 1) break;
    int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_WANT_READ)
      WaitFor(POLLIN, "starting TLS");
    else if (err == SSL_ERROR_WANT_WRITE)
      WaitFor(POLLOUT, "starting TLS");
    else {
      long vr = SSL_get_verify_result(ssl);
      std::string why = vr != X509_V_OK ? X509_verify_cert_error_string(vr) : SslErrorText();
      throw EPeerError("TLS handshake failed: " + why);
    }
  }
}

size_t TPeerConnection::Fill() {
  char buf[16384];
  for (;;) {
    if (ssl_ != nullptr) {
      int n = SSL_read(Ssl(ssl_), buf, sizeof buf);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        return static_cast<size_t>(n);
      }
      int err = SSL_get_error(Ssl(ssl_), n);
      if (err == SSL_ERROR_WANT_READ)
        WaitFor(POLLIN, "reading");
      else if (err == SSL_ERROR_WANT_WRITE)
        WaitFor(POLLOUT, "reading");
      else if (err == SSL_ERROR_ZERO_RETURN)
        throw EPeerError("lost connection");
      else
        throw EPeerError("lost connection: " + SslErrorText());
      continue;
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      in_.append(buf, static_cast<size_t>(n));
      return static_cast<size_t>(n);
    }
    if (n == 0) throw EPeerError("lost connection");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitFor(POLLIN, "reading");
      continue;
    }
    throw EPeerError(std::string("lost connection: ") + std::strerror(errno));
  }
}

std::string TPeerConnection::ReadLine(size_t maxBytes, size_t& wireBytes) {
  if (fd_ < 0) throw EPeerError("not connected");
  size_t searched = inPos_;
  for (;;) {
    const size_t nl = in_.find('\n', searched);
    if (nl != std::string::npos && nl - inPos_ < maxBytes) {
      std::string line = in_.substr(inPos_, nl - inPos_);
      wireBytes = nl + 1 - inPos_;
      inPos_ = nl + 1;
      if (inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (in_.size() - inPos_ >= maxBytes) {
      // What came is dropped: the stream is out of step and is never read again.
      in_.clear();
      inPos_ = 0;
      throw EPeerProtocolError("a reply of more than 64 KiB");
    }
    if (inPos_ > 0) {
      in_.erase(0, inPos_);
      inPos_ = 0;
    }
    searched = in_.size();
    Fill();
  }
}

bool TPeerConnection::InputPending() {
  if (fd_ < 0 || HasBufferedInput()) return true;
  if (ssl_ != nullptr) {
    if (SSL_pending(Ssl(ssl_)) > 0) return true;
    // Records that carry no data (a TLS 1.3 session ticket) are taken in passing.
    char buf[4096];
    for (;;) {
      ERR_clear_error();
      const int n = SSL_read(Ssl(ssl_), buf, sizeof buf);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        return true;
      }
      const int err = SSL_get_error(Ssl(ssl_), n);
      ERR_clear_error();
      return err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE;
    }
  }
  pollfd p{fd_, POLLIN, 0};
  int n;
  do n = ::poll(&p, 1, 0);
  while (n < 0 && errno == EINTR);
  return n != 0;
}

void TPeerConnection::Write(const char* data, size_t size) {
  if (fd_ < 0) throw EPeerError("not connected");
  size_t off = 0;
  while (off < size) {
    if (ssl_ != nullptr) {
      size_t written = 0;
      int rc = SSL_write_ex(Ssl(ssl_), data + off, size - off, &written);
      if (rc == 1) {
        off += written;
        continue;
      }
      int err = SSL_get_error(Ssl(ssl_), rc);
      if (err == SSL_ERROR_WANT_WRITE)
        WaitFor(POLLOUT, "writing");
      else if (err == SSL_ERROR_WANT_READ)
        WaitFor(POLLIN, "writing");
      else
        throw EPeerError("lost connection while writing: " + SslErrorText());
      continue;
    }
    ssize_t n = ::send(fd_, data + off, size - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitFor(POLLOUT, "writing");
      continue;
    }
    throw EPeerError(std::string("lost connection while writing: ") + std::strerror(errno));
  }
}

}  // namespace kestran
