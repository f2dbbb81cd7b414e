#include "scripted_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace kestran::test {

PeerSession::~PeerSession() {
  Close();
}

void PeerSession::Close() {
  if (ssl_ != nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool PeerSession::Fill() {
  if (fd_ < 0) return false;
  char buf[65536];
  if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
  }
  int n = ssl_ != nullptr ? SSL_read(ssl_, buf, sizeof buf)
                          : static_cast<int>(::recv(fd_, buf, sizeof buf, 0));
  if (n <= 0) return false;
  in_.append(buf, static_cast<size_t>(n));
  return true;
}

bool PeerSession::ReadLine(std::string& line) {
  for (;;) {
    auto p = in_.find("\r\n");
    if (p != std::string::npos) {
      line = in_.substr(0, p);
      in_.erase(0, p + 2);
      return true;
    }
    if (!Fill()) return false;
  }
}

bool PeerSession::ReadData(std::string& data) {
  data.clear();
  for (;;) {
    auto p = in_.find("\r\n.\r\n");
    if (in_.rfind(".\r\n", 0) == 0) p = std::string::npos - 1;  // empty data
    if (p == std::string::npos - 1) {
      in_.erase(0, 3);
      return true;
    }
    if (p != std::string::npos) {
      data = in_.substr(0, p + 2);
      in_.erase(0, p + 5);
      return true;
    }
    if (!Fill()) return false;
  }
}

void PeerSession::Send(const std::string& text) {
  if (fd_ < 0) return;
  if (ssl_ != nullptr) {
    SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
    return;
  }
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::send(fd_, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

bool PeerSession::StartTls() {
  Send("220 2.0.0 Ready to start TLS\r\n");
  if (tls_ == nullptr) return false;  // a peer whose TLS is broken: the handshake fails
  ssl_ = SSL_new(tls_);
  SSL_set_fd(ssl_, fd_);
  return SSL_accept(ssl_) == 1;
}

ScriptedPeer::ScriptedPeer(Scenario scenario, const std::string& unixPath,
                           const std::string& certFile, const std::string& keyFile)
    : scenario_(std::move(scenario)), unixPath_(unixPath) {
  if (!certFile.empty()) {
    tls_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(tls_, certFile.c_str());
    SSL_CTX_use_PrivateKey_file(tls_, keyFile.c_str(), SSL_FILETYPE_PEM);
  }
  if (unixPath.empty()) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  } else {
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, unixPath.c_str(), sizeof a.sun_path - 1);
    ::unlink(unixPath.c_str());
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ::listen(listenFd_, 64);
  thread_ = std::thread([this] { Loop(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
  if (!unixPath_.empty()) ::unlink(unixPath_.c_str());
  if (tls_ != nullptr) SSL_CTX_free(tls_);
}

void ScriptedPeer::Loop() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    PeerSession s(fd, tls_);
    scenario_(s);
  }
}

std::string Bracketed(const std::string& command) {
  auto open = command.find('<');
  auto close = command.rfind('>');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  return command.substr(open + 1, close - open - 1);
}

RecordingPeer::RecordingPeer(bool lmtp, std::vector<std::string> extensions,
                             std::function<std::string(const std::string&)> rcptAnswer,
                             std::function<std::string(const std::string&)> dataAnswer,
                             const std::string& unixPath, const std::string& certFile,
                             const std::string& keyFile)
    : lmtp_(lmtp),
      extensions_(std::move(extensions)),
      rcptAnswer_(std::move(rcptAnswer)),
      dataAnswer_(std::move(dataAnswer)),
      peer_([this](PeerSession& s) { Session(s); }, unixPath, certFile, keyFile) {}

std::vector<RecordedMessage> RecordingPeer::Messages() {
  std::lock_guard<std::mutex> g(m_);
  return messages_;
}

std::vector<std::string> RecordingPeer::Deliveries() {
  std::lock_guard<std::mutex> g(m_);
  return deliveries_;
}

std::vector<std::string> RecordingPeer::Commands() {
  std::lock_guard<std::mutex> g(m_);
  return commands_;
}

void RecordingPeer::Session(PeerSession& s) {
  s.Send("220 peer.test ready\r\n");
  RecordedMessage msg;
  std::vector<std::string> accepted;
  bool tls = false;
  std::string line;
  while (s.ReadLine(line)) {
    {
      std::lock_guard<std::mutex> g(m_);
      commands_.push_back(line);
    }
    std::string verb = line.substr(0, 4);
    for (auto& c : verb) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (verb == "LHLO" || verb == "EHLO") {
      std::string reply = "250-peer.test\r\n";
      for (const auto& e : extensions_)
        if (!(tls && e == "STARTTLS")) reply += "250-" + e + "\r\n";
      reply += "250 8BITMIME\r\n";
      s.Send(reply);
    } else if (verb == "STAR") {
      tls = s.StartTls();
      if (!tls) return;
    } else if (verb == "MAIL") {
      msg = RecordedMessage{};
      accepted.clear();
      msg.from = Bracketed(line);
      s.Send("250 2.1.0 Ok\r\n");
    } else if (verb == "RCPT") {
      const std::string a = Bracketed(line);
      std::string r = rcptAnswer_ ? rcptAnswer_(a) : "";
      if (r.empty()) r = "250 2.1.5 Ok";
      if (r[0] == '2') accepted.push_back(a);
      s.Send(r + "\r\n");
    } else if (verb == "DATA") {
      if (accepted.empty()) {
        s.Send("554 5.5.1 No valid recipients\r\n");
        continue;
      }
      s.Send("354 go ahead\r\n");
      if (!s.ReadData(msg.data)) return;
      msg.to = accepted;
      msg.tls = tls;
      std::string tag;
      auto x = msg.data.find("\r\nX-Pair: ");
      if (x != std::string::npos)
        tag = msg.data.substr(x + 10, msg.data.find("\r\n", x + 2) - x - 10);
      std::vector<std::string> delivered;
      // Each reply goes out as soon as it is known; a 2xx counts as delivered just before.
      auto reply = [&](const std::string& a, const std::string& r) {
        if (r[0] == '2') {
          std::lock_guard<std::mutex> g(m_);
          deliveries_.push_back(tag + " " + a);
        }
        s.Send(r + "\r\n");
      };
      if (lmtp_) {
        for (const auto& a : accepted) {
          std::string r = dataAnswer_ ? dataAnswer_(a) : "";
          if (r.empty()) r = "250 2.0.0 <" + a + "> Saved";
          if (r[0] == '2') delivered.push_back(a);
          msg.to = delivered;
          {
            std::lock_guard<std::mutex> g(m_);
            if (delivered.size() == 1 && r[0] == '2')
              messages_.push_back(msg);
            else if (r[0] == '2')
              messages_.back() = msg;
          }
          reply(a, r);
        }
      } else {
        msg.to = accepted;
        {
          std::lock_guard<std::mutex> g(m_);
          messages_.push_back(msg);
        }
        for (size_t i = 0; i + 1 < accepted.size(); ++i) {
          std::lock_guard<std::mutex> g(m_);
          deliveries_.push_back(tag + " " + accepted[i]);
        }
        reply(accepted.back(), "250 2.0.0 Ok: queued");
      }
      accepted.clear();
    } else if (verb == "RSET") {
      accepted.clear();
      s.Send("250 2.0.0 Ok\r\n");
    } else if (verb == "QUIT") {
      s.Send("221 2.0.0 Bye\r\n");
      return;
    } else {
      s.Send("502 5.5.2 Unknown command\r\n");
    }
  }
}

}  // namespace kestran::test
