// test-labels: threads
// Many clients at once: every message gets its own number and its own intact pair.

#include <set>
#include <thread>

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

using Concurrency = SmtpTest;

TEST_F(Concurrency, FiftyClientsSendingAtOnceGetDistinctIntactPairs) {
  constexpr int kClients = 50;
  constexpr int kMessages = 3;
  std::atomic<int32_t> counter{0};
  std::mutex logLock;
  std::vector<std::string> log;
  server_->SetLocalDomains({"corp.example"});
  server_->OnNextIDEvent = [&](int32_t& id, bool& handled) {
    id = ++counter;
    handled = true;
  };
  server_->OnLogFileEvent = [&](const std::string& e) {
    std::lock_guard<std::mutex> g(logLock);
    log.push_back(e);
  };
  Start();

  // The connections are opened one after the other,
  // then all fifty sessions run their transactions at the same time.
  std::vector<std::unique_ptr<RawClient>> conns;
  for (int i = 0; i < kClients; ++i) conns.push_back(Connect());

  std::atomic<int> accepted{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      RawClient& c = *conns[static_cast<size_t>(i)];
      while (!go.load()) std::this_thread::yield();
      c.Cmd("HELO client" + std::to_string(i));
      for (int m = 0; m < kMessages; ++m) {
        std::string tag = std::to_string(i) + "-" + std::to_string(m);
        std::vector<std::string> body = {"Subject: " + tag, ""};
        for (int l = 0; l < 50; ++l) body.push_back(tag + " line " + std::to_string(l));
        std::string r = SendMessage(c, "s" + tag + "@x.example", "u" + tag + "@corp.example", body);
        if (r == "250 Message received OK")
          ++accepted;
        else
          ADD_FAILURE() << "client " << i << " message " << m << ": " << r;
      }
      c.Cmd("QUIT");
    });
  }
  go = true;
  for (auto& t : clients) t.join();

  const int total = kClients * kMessages;
  EXPECT_EQ(accepted.load(), total);
  EXPECT_EQ(counter.load(), total);
  auto files = QueueFiles();
  ASSERT_EQ(files.size(), static_cast<size_t>(2 * total));
  std::set<std::string> tags;
  for (int n = 1; n <= total; ++n) {
    std::string id = "B" + std::string(10 - std::to_string(n).size(), '0') + std::to_string(n);
    std::string msg = ReadFile(queue_ / (id + ".MSG"));
    std::string rcp = ReadFile(queue_ / (id + ".RCP"));
    size_t s = msg.find("\r\nSubject: ");
    ASSERT_NE(s, std::string::npos) << id;
    std::string tag = msg.substr(s + 11, msg.find("\r\n", s + 2) - s - 11);
    tags.insert(tag);
    std::string body = "Subject: " + tag + "\r\n\r\n";
    for (int l = 0; l < 50; ++l) body += tag + " line " + std::to_string(l) + "\r\n";
    body += ".\r\n";
    EXPECT_EQ(msg.substr(s + 2), body) << id;
    EXPECT_NE(msg.find("with SMTP id <" + id + "@"), std::string::npos);
    EXPECT_EQ(rcp, "Message-ID: <" + id + "@" + Host() + ">\r\nReturn-path: s" + tag +
                       "@x.example\r\nRecipient: u" + tag + "@corp.example\r\n");
  }
  EXPECT_EQ(tags.size(), static_cast<size_t>(total));
  std::lock_guard<std::mutex> g(logLock);
  EXPECT_EQ(log.size(), static_cast<size_t>(total));
}

}  // namespace
}  // namespace kestran::testing_smtp
