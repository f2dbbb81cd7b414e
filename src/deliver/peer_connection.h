#pragma once
// One connection to a next hop over a local socket or TCP, with an optional TLS layer
// (STARTTLS, OpenSSL): line reads and block writes, each bounded by a time-out. Every
// failure raises EPeerError with a text fit for the delivery log.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/exception.h"

namespace kestran {

KESTRAN_ERROR_CLASS(EPeerError, Exception);
// A next hop out of step: a reply where none was due, a line that is no reply, a reply
// without end. The connection is never used again.
KESTRAN_ERROR_CLASS(EPeerProtocolError, EPeerError);

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

  // The next line without its line end; wireBytes tells what it took with its line end.
  // A line of more than maxBytes raises EPeerProtocolError (what was read of it is
  // dropped, never kept).
  std::string ReadLine(size_t maxBytes, size_t& wireBytes);
  // Whether bytes that were not asked for are waiting (a peer that spoke out of turn).
  bool HasBufferedInput() const { return inPos_ < in_.size(); }
  // Whether the peer sent anything, or closed, since the last read: bytes waiting here or
  // on the socket, without waiting for any.
  bool InputPending();
  void Write(const char* data, size_t size);
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  void SetTimeout(int timeoutMs) { timeoutMs_ = timeoutMs; }
  // Every wait from now on ends at now + the time-out, however the peer drips its bytes:
  // one deadline for one reply, one command, one block of the message.
  void StartClock();

 private:
  // Waits until the socket is readable (events POLLIN) or writable (POLLOUT), at most
  // until the deadline.
  void WaitFor(short events, const char* what);
  size_t Fill();

  int fd_ = -1;
  int timeoutMs_;
  std::chrono::steady_clock::time_point deadline_{};
  void* sslCtx_ = nullptr;
  void* ssl_ = nullptr;
  std::string in_;
  size_t inPos_ = 0;
};

}  // namespace kestran
