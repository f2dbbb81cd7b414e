#pragma once
// Runs the built receiver (kestran -DEBUG) on a data root of its own, with a registry
// file written by the test, on a free port; and a small SMTP line client that can
// connect from any loopback address.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "support/child_process.h"
#include "support/tcp_client.h"

namespace kestran::test {

// One SMTP client connection, from a chosen loopback address.
class LineClient {
 public:
  LineClient(const std::string& source, uint16_t port) : fd_(ConnectFrom(source, port)) {}
  ~LineClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // The next reply line without CR LF; "" on time-out or close.
  std::string Line(int timeoutMs = 10000) {
    for (;;) {
      auto p = buffer_.find("\r\n");
      if (p != std::string::npos) {
        std::string line = buffer_.substr(0, p);
        buffer_.erase(0, p + 2);
        return line;
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, timeoutMs) <= 0) return "";
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "";
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }
  // Sends a command line and returns the reply line.
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return Line();
  }

 private:
  int fd_;
  std::string buffer_;
};

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestran-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    std::filesystem::create_directories(root_ + "/drive_c");
    port_ = FreeTcpPort();
    const char* build = std::getenv("KESTRAN_BUILD_DIR");
    program_ = std::string(build ? build : ".") + "/kestran";
  }
  void TearDown() override {
    StopReceiver();
    std::filesystem::remove_all(root_);
  }

  // The own key's values every test needs: port, the directories under drive C,
  // no group lookups, no registry counter surprises.
  std::string BaseRegistry(const std::string& ownValues = "") const {
    return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
           "\"Port\"=dword:" +
           Hex(port_) +
           "\r\n\"BoundIP\"=\"127.0.0.1\"\r\n\"MailQueueDir\"=\"C:\\\\mail\\\\prein\\\\\"\r\n"
           "\"InlogDir\"=\"C:\\\\mail\\\\inlog\\\\\"\r\n"
           "\"Pop3logDir\"=\"C:\\\\mail\\\\pop3log\\\\\"\r\n"
           "\"UseNTUserDatabase\"=dword:00000000\r\n"
           "\"SyncQueueFiles\"=dword:00000001\r\n" +
           ownValues + "\r\n";
  }
  static std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
  }

  void WriteRegistry(const std::string& text) {
    ASSERT_TRUE(WriteFileText(root_ + "/registry.reg", text));
  }
  std::string Registry() const { return ReadFileText(root_ + "/registry.reg"); }
  std::string Native(const std::string& rel) const { return root_ + "/drive_c/" + rel; }
  void MakeDir(const std::string& rel) { std::filesystem::create_directories(Native(rel)); }

  // Starts kestran -DEBUG and waits until it listens.
  void StartReceiver(std::map<std::string, std::string> env = {}, bool waitForPort = true) {
    env["KESTRAN_ROOT"] = root_;
    ASSERT_TRUE(proc_.Start(program_, {"-DEBUG"}, env, root_ + "/console.txt"));
    if (waitForPort) {
      ASSERT_TRUE(WaitForPort(port_, 15000)) << Console();
    }
  }
  // Ctrl-C, then the end of the process.
  void StopReceiver() {
    if (!proc_.running()) return;
    proc_.Signal(SIGINT);
    if (!proc_.Wait(15000)) {
      proc_.Signal(SIGKILL);
      proc_.Wait(5000);
    }
  }
  std::string Console() const { return ReadFileText(root_ + "/console.txt"); }

  // Files of the queue directory with the given extension, sorted.
  std::vector<std::string> QueueFiles(const std::string& ext) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(Native("mail/prein"), ec))
      if (e.path().extension() == ext) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // HELO, MAIL, the recipients, DATA with body; returns the reply to the final ".".
  static std::string SendMessage(LineClient& c, const std::string& from,
                                 const std::vector<std::string>& to, const std::string& body) {
    c.Command("MAIL FROM:<" + from + ">");
    for (const auto& r : to) c.Command("RCPT TO:<" + r + ">");
    std::string r = c.Command("DATA");
    if (r.rfind("354", 0) != 0) return r;
    c.Send(body + ".\r\n");
    return c.Line();
  }

  std::string root_;
  uint16_t port_ = 0;
  std::string program_;
  ChildProcess proc_;
};

}  // namespace kestran::test
