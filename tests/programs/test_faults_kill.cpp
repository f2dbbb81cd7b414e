// The receiver killed with SIGKILL in the middle of DATA and in the middle of writing
// queue files: after a restart no ".RCP" exists without its complete ".MSG", every
// acknowledged message is there exactly once, and numbering goes on without taking the
// number of a pair still queued.

#include <atomic>
#include <mutex>
#include <random>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

// Sends messages with unique tokens in a loop until the connection fails; records the
// tokens acknowledged with "250 Message received OK".
class TokenSender {
 public:
  TokenSender(uint16_t port, int id, size_t bodySize, std::vector<std::string>& acked,
              std::mutex& lock)
      : thread_([=, &acked, &lock] {
          for (int n = 0;; ++n) {
            LineClient c("127.0.0.1", port);
            if (!c.connected() || c.Line().rfind("220", 0) != 0) return;
            c.Command("HELO kill.test");
            for (;; ++n) {
              std::string token = "tok-" + std::to_string(id) + "-" + std::to_string(n);
              std::string r = FaultTest::SendMessage(c, "s@kill.test", {"bob@example.test"},
                                                     BodyWithToken(token, bodySize));
              if (r.empty()) return;  // the receiver is gone
              if (r == "250 Message received OK") {
                std::lock_guard<std::mutex> g(lock);
                acked.push_back(token);
              }
            }
          }
        }) {}
  ~TokenSender() { thread_.join(); }

 private:
  std::thread thread_;
};

std::string TokenOf(const std::string& msg) {
  auto p = msg.find("\r\nSubject: ");
  if (p == std::string::npos) return "";
  p += 11;
  return msg.substr(p, msg.find("\r\n", p) - p);
}

TEST_F(FaultTest, KilledDuringDataLeavesNoPairAndTheNextStartGoesOn) {
  WriteRegistry(RelayRegistry());
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("before", 100)), "250 Message received OK");
  {
    LineClient c("127.0.0.1", port_);
    ASSERT_TRUE(c.connected());
    c.Line();
    c.Command("HELO kill.test");
    c.Command("MAIL FROM:<a@kill.test>");
    c.Command("RCPT TO:<bob@example.test>");
    ASSERT_EQ(c.Command("DATA"), "354 Ready for data");
    c.Send(BodyWithToken("cut", 200000));
    KillReceiver();
  }
  auto pairs = CheckedPairs();
  EXPECT_EQ(AllQueueFiles(), (std::vector<std::string>{"B0000000001.MSG", "B0000000001.RCP"}));

  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("after", 100)), "250 Message received OK");
  pairs = CheckedPairs();
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(TokenOf(pairs["B0000000001"].msg), "before");
  EXPECT_EQ(TokenOf(pairs.rbegin()->second.msg), "after");
}

TEST_F(FaultTest, KilledWhileWritingQueueFilesLosesNoAcknowledgedMessage) {
  WriteRegistry(RelayRegistry());
  std::mt19937 rng(12345);
  std::vector<std::string> acked;
  std::mutex lock;
  std::set<std::string> seenStems;
  for (int round = 0; round < 4; ++round) {
    StartReceiver();
    {
      // Four clients with messages of about 2 MB keep the receiver writing queue files.
      std::vector<std::unique_ptr<TokenSender>> senders;
      for (int id = 0; id < 4; ++id)
        senders.push_back(std::make_unique<TokenSender>(port_, round * 10 + id,
                                                        (1 + id) * 512 * 1024, acked, lock));
      std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 700));
      KillReceiver();
    }
    auto pairs = CheckedPairs();
    // Numbering never handed out a number of a pair that was still queued: a stem
    // seen before holds the same message as before.
    std::map<std::string, int> count;
    for (const auto& [stem, p] : pairs) ++count[TokenOf(p.msg)];
    std::lock_guard<std::mutex> g(lock);
    for (const auto& token : acked)
      EXPECT_EQ(count[token], 1) << "acknowledged " << token << " in round " << round;
    for (const auto& [token, n] : count) EXPECT_LE(n, 1) << token << " queued twice";
    for (const auto& [stem, p] : pairs) seenStems.insert(stem);
    // Leftovers of the cut write: at most a message file without its recipient file (and
    // its temporary recipient file), never a recipient file alone; and the scratch files
    // of bodies being received, which no host takes for a pair.
    for (const auto& name : AllQueueFiles()) {
      std::string ext = name.substr(name.size() - 4);
      EXPECT_TRUE(ext == ".MSG" || ext == ".RCP" || ext == ".RC~" ||
                  (name.rfind("kestran-body-", 0) == 0 && ext == ".tmp"))
          << name;
    }
  }
  EXPECT_GT(acked.size(), 0u);
  size_t leftovers = 0;
  for (const auto& name : AllQueueFiles())
    leftovers +=
        name.size() > 4 && name.substr(name.size() - 4) != ".RCP" &&
        !std::filesystem::exists(Native("mail/prein/" + name.substr(0, name.size() - 4) + ".RCP"));
  std::cout << "[ figures ] " << acked.size() << " acknowledged in 4 rounds, "
            << CheckedPairs().size() << " pairs, " << leftovers << " files of cut writes left\n";
  // After the last kill the receiver starts and takes mail under a fresh number.
  StartReceiver();
  auto before = CheckedPairs();
  EXPECT_EQ(Transaction(BodyWithToken("last", 100)), "250 Message received OK");
  auto after = CheckedPairs();
  ASSERT_EQ(after.size(), before.size() + 1);
  for (const auto& [stem, p] : after) {
    if (before.count(stem)) {
      EXPECT_EQ(before[stem].msg, p.msg) << stem << " was overwritten";
    } else {
      EXPECT_EQ(TokenOf(p.msg), "last");
    }
  }
}

// The value of "LastMsgId"=dword:... in the receiver's own key, -1 when it is missing.
long long OwnLastMsgId(const std::string& registry) {
  size_t own = registry.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]");
  if (own == std::string::npos) return -1;
  size_t end = registry.find("\r\n[", own + 1);
  size_t p = registry.find("\"LastMsgId\"=dword:", own);
  if (p == std::string::npos || (end != std::string::npos && p > end)) return -1;
  return std::stoll(registry.substr(p + 18, 8), nullptr, 16);
}

// Many sessions of small messages share each flush; killed at random points of that,
// the receiver has every acknowledged message in exactly one complete pair, never a
// number twice, and a registry that holds a counter at or above every queued number.
TEST_F(FaultTest, KilledWhileSessionsShareFlushesLosesNothingAndReusesNoNumber) {
  WriteRegistry(RelayRegistry());
  std::mt19937 rng(424242);
  std::vector<std::string> acked;
  std::mutex lock;
  std::map<std::string, std::string> tokenOfStem;
  for (int round = 0; round < 5; ++round) {
    StartReceiver();
    {
      std::vector<std::unique_ptr<TokenSender>> senders;
      for (int id = 0; id < 16; ++id)
        senders.push_back(
            std::make_unique<TokenSender>(port_, 100 + round * 20 + id, 1000, acked, lock));
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 600));
      KillReceiver();
    }
    auto pairs = CheckedPairs();
    std::map<std::string, int> count;
    long long highest = 0;
    for (const auto& [stem, p] : pairs) {
      std::string token = TokenOf(p.msg);
      ++count[token];
      highest = std::max(highest, std::stoll(stem.substr(1)));
      auto [it, fresh] = tokenOfStem.emplace(stem, token);
      EXPECT_TRUE(fresh || it->second == token) << stem << " was written over";
    }
    std::lock_guard<std::mutex> g(lock);
    for (const auto& token : acked)
      EXPECT_EQ(count[token], 1) << "acknowledged " << token << " in round " << round;
    for (const auto& [token, n] : count) EXPECT_LE(n, 1) << token << " queued twice";
    EXPECT_GE(OwnLastMsgId(Registry()), highest) << "round " << round;
  }
  std::cout << "[ figures ] " << acked.size() << " small messages acknowledged in 5 rounds, "
            << tokenOfStem.size() << " pairs\n";
  EXPECT_GT(acked.size(), 0u);
}

}  // namespace
}  // namespace kestran::test
