#pragma once
// A small blocking TCP client for tests: connects to 127.0.0.1:port, sends raw bytes,
// reads CR LF lines with a time-out, reads until the peer closes, and closes politely or
// with a reset.

#include <cstdint>
#include <string>

namespace kestran::test {

class TcpClient {
 public:
  TcpClient() = default;
  // Connects at once; check connected().
  explicit TcpClient(uint16_t port) { Connect(port); }
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connect(uint16_t port);
  bool connected() const { return fd_ >= 0; }

  // Sends every byte; false on failure.
  bool Send(const std::string& bytes);
  bool SendLine(const std::string& text) { return Send(text + "\r\n"); }
  // One line up to CR LF, returned without it. False on time-out, close or error (bytes
  // of an incomplete line stay buffered).
  bool ReadLine(std::string& line, int timeoutMs = 5000);
  // Everything until the peer closes (or resets). closed reports whether it did so
  // within the time-out.
  std::string ReadUntilClose(int timeoutMs = 5000, bool* closed = nullptr);
  // Whether the peer closes (or resets) within the time-out; received bytes are dropped.
  bool WaitForClose(int timeoutMs = 5000);

  // No more sending (the peer reads end of stream); reading goes on.
  void ShutdownWrite();
  void Close();
  // Closes with a reset (SO_LINGER 0): the peer sees "connection reset".
  void Reset();

 private:
  // Receives once into buffer_; 1 data, 0 closed, -1 error, -2 time-out.
  int Receive(int timeoutMs);

  int fd_ = -1;
  std::string buffer_;
};

// A TCP port on 127.0.0.1 that is free at the moment of asking.
uint16_t FreeTcpPort();

}  // namespace kestran::test
