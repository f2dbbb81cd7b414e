// The running receiver when its process runs out of descriptors or threads: a client that
// arrives while accept fails waits in the backlog and is greeted once descriptors are free
// again; a client for which no thread can be created gets the 421 refusal. Each shortage
// leaves one line in the event log (the console here).

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

// The lowest descriptor number that pid does not use.
int LowestFreeDescriptor(pid_t pid) {
  std::set<int> used;
  for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    used.insert(std::stoi(e.path().filename().string()));
  int fd = 0;
  while (used.count(fd) != 0) ++fd;
  return fd;
}

bool WaitForText(const std::function<std::string()>& read, const std::string& text, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (read().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(FaultTest, AcceptWaitsOutAShortageOfDescriptorsAndGreetsTheNextClient) {
  if (BuiltWithSanitizers(program_)) GTEST_SKIP() << "the sanitizer runtime needs descriptors";
  WriteRegistry(BaseRegistry());
  StartReceiver();
  {
    LineClient warmUp("127.0.0.1", port_);
    ASSERT_EQ(warmUp.Line().rfind("220 ", 0), 0u) << Console();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // No descriptor above those in use: accept fails with "too many open files". The
  // accept already waiting took its descriptor before the limit came down, so one more
  // client gets in first.
  rlimit old{};
  ASSERT_EQ(::prlimit(proc_.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
  const rlimit low{static_cast<rlim_t>(LowestFreeDescriptor(proc_.pid())), old.rlim_max};
  ASSERT_EQ(::prlimit(proc_.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  LineClient last("127.0.0.1", port_);
  EXPECT_EQ(last.Line().rfind("220 ", 0), 0u) << Console();
  const std::string shortage =
      "Accepting connections failed for lack of resources; accepting again after a pause "
      "(1 since the last report; last cause: Socket Error #10024 Too many open files.)";
  EXPECT_TRUE(WaitForText([this] { return Console(); }, shortage, 5000)) << Console();
  LineClient waiting("127.0.0.1", port_);
  ASSERT_TRUE(waiting.connected());
  EXPECT_EQ(waiting.Line(1000), "");

  ASSERT_EQ(::prlimit(proc_.pid(), RLIMIT_NOFILE, &old, nullptr), 0);
  // The next accept comes within the longest pause.
  EXPECT_EQ(waiting.Line(5000).rfind("220 ", 0), 0u) << Console();
  EXPECT_EQ(waiting.Command("QUIT").rfind("221 ", 0), 0u);
  LineClient next("127.0.0.1", port_);
  EXPECT_EQ(next.Line().rfind("220 ", 0), 0u);
  EXPECT_EQ(Occurrences(Console(), "for lack of resources"), 1u) << Console();
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
}

// Runs the receiver under a user id of its own with a limit on its threads: the system
// counts the threads of that user only when it is not root.
TEST_F(FaultTest, AClientWithoutAThreadIsRefusedWith421AndLaterClientsAreServed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the receiver under another user id";
  const char* prlimit = "/usr/bin/prlimit";
  const char* setpriv = "/usr/bin/setpriv";
  if (::access(prlimit, X_OK) != 0 || ::access(setpriv, X_OK) != 0)
    GTEST_SKIP() << "needs prlimit and setpriv (util-linux)";
  WriteRegistry(
      BaseRegistry("\"MaxConnections\"=dword:00000000\r\n"
                   "\"MaxConnectionsPerIP\"=dword:00000000\r\n"));
  const uid_t uid = 3000000000u + static_cast<uid_t>(::getpid() % 100000);
  for (auto& e : std::filesystem::recursive_directory_iterator(root_))
    ASSERT_EQ(::lchown(e.path().c_str(), uid, uid), 0);
  ASSERT_EQ(::chown(root_.c_str(), uid, uid), 0);
  constexpr int kMaxThreads = 40;
  const std::string id = std::to_string(uid);
  ASSERT_TRUE(proc_.Start(prlimit,
                          {"--nproc=" + std::to_string(kMaxThreads), setpriv, "--reuid=" + id,
                           "--regid=" + id, "--clear-groups", program_, "-DEBUG"},
                          {{"KESTRAN_ROOT", root_}}, root_ + "/console.txt"));
  ASSERT_TRUE(WaitForPort(port_, 15000)) << Console();

  // Sessions held open until a client finds no thread left.
  std::vector<std::unique_ptr<LineClient>> held;
  std::string refused;
  std::string host;
  for (int i = 0; i < kMaxThreads && refused.empty(); ++i) {
    auto c = std::make_unique<LineClient>("127.0.0.1", port_);
    const std::string line = c->Line();
    if (line.rfind("220 ", 0) == 0) {
      host = line.substr(4, line.find(' ', 4) - 4);
      held.push_back(std::move(c));
    } else {
      refused = line;
      EXPECT_EQ(c->Line(2000), "") << "closed after the refusal";
    }
  }
  ASSERT_FALSE(host.empty()) << Console();
  EXPECT_EQ(refused, "421 " + host + " Too many connections, try again later") << Console();
  // A second one within the minute is refused as well, with no second line.
  {
    LineClient again("127.0.0.1", port_);
    EXPECT_EQ(again.Line(), "421 " + host + " Too many connections, try again later");
  }
  const std::string line =
      "No thread could be created for a connection; refused with 421 (1 since the last report; "
      "last cause: Cannot create thread: ";
  EXPECT_TRUE(WaitForText([this] { return Console(); }, line, 5000)) << Console();
  EXPECT_EQ(Occurrences(Console(), "No thread could be created"), 1u) << Console();

  // Threads come back with the sessions that end.
  for (auto& c : held) c->Command("QUIT");
  held.clear();
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i) {
    LineClient c("127.0.0.1", port_);
    served = c.Line().rfind("220 ", 0) == 0;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served) << Console();
  StopReceiver();
  EXPECT_EQ(proc_.exitStatus(), 0) << Console();
}

}  // namespace
}  // namespace kestran::test
