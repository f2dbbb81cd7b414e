#pragma once
// A next hop of the tests' own: listens on 127.0.0.1 (or a local socket) and runs a
// scenario for each connection, one connection at a time, on a thread of its own. A
// scenario reads command lines and the data, and answers as the test wants: refusals per
// recipient, a cut connection, silence, slowness, STARTTLS.

#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestran::test {

class PeerSession {
 public:
  PeerSession(int fd, SSL_CTX* tls) : fd_(fd), tls_(tls) {}
  ~PeerSession();
  // The next line without CR LF; false when the client closed (or 10 s of silence).
  bool ReadLine(std::string& line);
  // The data up to the line "." (still stuffed, CR LF ends, the "." line left out).
  bool ReadData(std::string& data);
  void Send(const std::string& text);
  // Answers STARTTLS with 220 and runs the handshake.
  bool StartTls();
  void Close();

 private:
  bool Fill();
  int fd_;
  SSL_CTX* tls_;
  SSL* ssl_ = nullptr;
  std::string in_;
};

class ScriptedPeer {
 public:
  using Scenario = std::function<void(PeerSession&)>;
  // unixPath empty: TCP on a free loopback port.
  explicit ScriptedPeer(Scenario scenario, const std::string& unixPath = "",
                        const std::string& certFile = "", const std::string& keyFile = "");
  ~ScriptedPeer();
  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  void Loop();
  Scenario scenario_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::string unixPath_;
  SSL_CTX* tls_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// A plain LMTP or SMTP peer: greets, answers LHLO/EHLO with the given extensions, every
// command with 250 (DATA with 354), and after the data rcptReply(recipient) per accepted
// recipient (LMTP) or one "250 2.0.0 Ok" (SMTP). Each message lands in messages.
struct RecordedMessage {
  std::string from;
  std::vector<std::string> to;
  std::string data;
  bool tls = false;
};

class RecordingPeer {
 public:
  // rcptAnswer(address): the reply to RCPT (default "250 2.1.5 Ok"); dataAnswer(address):
  // the LMTP reply after the data for that recipient (default "250 2.0.0 <addr> Saved").
  RecordingPeer(bool lmtp, std::vector<std::string> extensions,
                std::function<std::string(const std::string&)> rcptAnswer = nullptr,
                std::function<std::string(const std::string&)> dataAnswer = nullptr,
                const std::string& unixPath = "", const std::string& certFile = "",
                const std::string& keyFile = "");
  uint16_t port() const { return peer_.port(); }
  int connections() const { return peer_.connections(); }
  std::vector<RecordedMessage> Messages();
  std::vector<std::string> Commands();
  // Every recipient that got a 2xx reply after the data, as the value of the message's
  // "X-Pair:" header + " " + the address, in the order of the replies.
  std::vector<std::string> Deliveries();

 private:
  void Session(PeerSession& s);
  bool lmtp_;
  std::vector<std::string> extensions_;
  std::function<std::string(const std::string&)> rcptAnswer_, dataAnswer_;
  std::mutex m_;
  std::vector<RecordedMessage> messages_;
  std::vector<std::string> commands_;
  std::vector<std::string> deliveries_;
  ScriptedPeer peer_;
};

// The address inside "MAIL FROM:<a>" or "RCPT TO:<a>".
std::string Bracketed(const std::string& command);

}  // namespace kestran::test
