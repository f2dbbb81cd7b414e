#pragma once
// Helpers of the fault-injection tests: starting the receiver under a file-size limit,
// reading its memory and thread count, checking the queue directory after a fault, and
// clients that talk one byte at a time or drop the connection anywhere.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "receiver_fixture.h"

namespace kestran::test {

// Ignores SIGXFSZ and sets a file-size limit for this process while it lives; a child
// started meanwhile keeps both (ignored signals and limits survive exec).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &oldAction_);
    rlimit lim{bytes, old_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::sigaction(SIGXFSZ, &oldAction_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  struct sigaction oldAction_ {};
};

// Raises this process's open-file limit to its hard limit (children inherit it) while
// it lives.
class OpenFileLimit {
 public:
  OpenFileLimit() {
    ::getrlimit(RLIMIT_NOFILE, &old_);
    rlimit raised{old_.rlim_max, old_.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &raised);
  }
  ~OpenFileLimit() { ::setrlimit(RLIMIT_NOFILE, &old_); }
  OpenFileLimit(const OpenFileLimit&) = delete;
  OpenFileLimit& operator=(const OpenFileLimit&) = delete;
  rlim_t limit() const { return old_.rlim_max; }

 private:
  rlimit old_{};
};

// A field of /proc/<pid>/status ("VmRSS", "Threads"); -1 when it cannot be read.
inline long ProcStatus(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// A queue pair as found in the directory.
struct QueuedPair {
  std::string msg;  // contents of the .MSG file
  std::string rcp;  // contents of the .RCP file
};

// Whether a program was built with the address or undefined-behaviour sanitizer: their
// runtime needs descriptors of its own (for its memory checks), so a test that takes all
// of the program's descriptors away does not apply to such a build.
inline bool BuiltWithSanitizers(const std::string& program) {
  const std::string image = ReadFileText(program);
  return image.find("__asan_init") != std::string::npos ||
         image.find("__ubsan_handle") != std::string::npos;
}

class FaultTest : public ReceiverTest {
 public:
  // For client threads of the tests.
  using ReceiverTest::SendMessage;

 protected:
  // Starts kestran -DEBUG under a file-size limit and waits until it listens.
  void StartLimited(rlim_t fileSizeBytes) {
    {
      FileSizeLimit limit(fileSizeBytes);
      ASSERT_TRUE(
          proc_.Start(program_, {"-DEBUG"}, {{"KESTRAN_ROOT", root_}}, root_ + "/console.txt"));
    }
    ASSERT_TRUE(WaitForPort(port_, 15000)) << Console();
  }

  // SIGKILL and the end of the process.
  void KillReceiver() {
    proc_.Signal(SIGKILL);
    ASSERT_TRUE(proc_.Wait(10000));
  }

  // Every file name of the queue directory.
  std::vector<std::string> AllQueueFiles() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(Native("mail/prein"), ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The complete pairs by stem. Adds a failure for every ".RCP" without its ".MSG" and
  // every pair whose message file does not end with the final "." line.
  std::map<std::string, QueuedPair> CheckedPairs() const {
    std::map<std::string, QueuedPair> pairs;
    for (const auto& name : QueueFiles(".RCP")) {
      std::string stem = name.substr(0, name.size() - 4);
      std::string msgPath = Native("mail/prein/" + stem + ".MSG");
      EXPECT_TRUE(std::filesystem::exists(msgPath)) << name << " without its message file";
      QueuedPair p{ReadFileText(msgPath), ReadFileText(Native("mail/prein/" + name))};
      EXPECT_TRUE(p.msg.size() >= 5 && p.msg.compare(p.msg.size() - 5, 5, "\r\n.\r\n") == 0)
          << stem << ".MSG is not complete (" << p.msg.size() << " bytes)";
      EXPECT_EQ(p.rcp.rfind("Message-ID: <" + stem + "@", 0), 0u) << p.rcp;
      pairs[stem] = std::move(p);
    }
    return pairs;
  }

  // A registry with relaying for the loopback network, the local domain example.test and
  // the host's message counter.
  std::string RelayRegistry(const std::string& ownValues = "") const {
    return BaseRegistry("\"DoLocalNets\"=dword:00000001\r\n" + ownValues) +
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets]\r\n"
           "\"1\"=\"127.0.0.0/8\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
           "\"1\"=\"example.test\"\r\n\r\n"
           // The host's counter: numbering starts at 1 and is kept from here on.
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
           "\"LastMsgId\"=dword:00000000\r\n\r\n";
  }

  // One whole transaction on a fresh connection; the reply to the final ".".
  std::string Transaction(const std::string& body, const std::string& source = "127.0.0.1") {
    LineClient c(source, port_);
    if (!c.connected()) return "(no connection)";
    std::string greeting = c.Line();
    if (greeting.rfind("220 ", 0) != 0) return "(greeting) " + greeting;
    c.Command("HELO fault.test");
    std::string r = SendMessage(c, "sender@fault.test", {"bob@example.test"}, body);
    c.Command("QUIT");
    return r;
  }
};

// A body of about size bytes, lines of 70 characters, beginning with a token line.
inline std::string BodyWithToken(const std::string& token, size_t size) {
  std::string body = "Subject: " + token + "\r\n\r\n";
  const std::string line(70, 'x');
  while (body.size() < size) body += line + "\r\n";
  return body;
}

}  // namespace kestran::test
