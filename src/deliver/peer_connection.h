#pragma once
// One connection to a next hop over a local socket or TCP, with an optional TLS layer
// (STARTTLS, OpenSSL): line reads and block writes, each bounded by a time-out. Every
// failure raises EPeerError with a text fit for the delivery log.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/exception.h"

namespace kestran {

KESTRAN_ERROR_CLASS(EPeerError, Exception);

class TPeerConnection {
 public:
  explicit TPeerConnection(int timeoutMs) : timeoutMs_(timeoutMs) {}
  TPeerConnection(const TPeerConnection&) = delete;
  TPeerConnection& operator=(const TPeerConnection&) = delete;
  ~TPeerConnection();

  void ConnectUnix(const std::string& path);
  // host: an IPv4 or IPv6 address or a name.
  void ConnectTcp(const std::string& host, uint16_t port);
  // Starts TLS as a client; with verify, the peer's certificate must be valid for host.
  void StartTls(const std::string& host, bool verify);
  bool Secure() const { return ssl_ != nullptr; }

  // The next line without its line end (at most 64 KB are kept of it).
  std::string ReadLine();
  // Whether bytes that were not asked for are waiting (a peer that spoke out of turn).
  bool HasBufferedInput() const { return inPos_ < in_.size(); }
  void Write(const char* data, size_t size);
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }

 private:
  // Waits until the socket is readable (events POLLIN) or writable (POLLOUT).
  void WaitFor(short events, const char* what);
  size_t Fill();

  int fd_ = -1;
  int timeoutMs_;
  void* sslCtx_ = nullptr;
  void* ssl_ = nullptr;
  std::string in_;
  size_t inPos_ = 0;
};

}  // namespace kestran
