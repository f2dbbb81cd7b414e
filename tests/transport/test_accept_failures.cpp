// test-labels: threads
// The accept thread under failing accepts and failing thread starts: each kind of failure
// is counted, reported at most once per interval and survived; shortages pause with a
// growing back-off that a close cuts short; a connection without a thread is refused.
// Built for Linux and for the Win32 tests under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/accept_faults.h"
#include "support/wait_until.h"
#include "transport/server_conduit.h"

namespace kestran {
namespace {

using namespace std::chrono_literals;
using test::AcceptFaults;
using Clock = std::chrono::steady_clock;

// Accept threads back off for up to a second between tries: a longer wait than elsewhere.
template <class Pred>
bool WaitUntil(Pred pred) {
  return test::WaitUntil(pred, 10000ms);
}

// The first line a client on 127.0.0.1 receives within 5 s; "" when none.
std::string FirstLine(uint16_t port) {
  TSocket s = SockSocket(kAfInet, kSockStream, 0);
  uint32_t ms = 5000;
  SockSetOpt(s, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&ms), sizeof ms);
  TSockAddrIn a;
  a.sin_addr = SockInetAddr("127.0.0.1");
  a.sin_port = SockHtons(port);
  std::string text;
  if (SockConnect(s, &a, sizeof a) == 0) {
    char buf[256];
    int n;
    while (text.find("\r\n") == std::string::npos && (n = SockRecv(s, buf, sizeof buf, 0)) > 0)
      text.append(buf, static_cast<size_t>(n));
  }
  SockClose(s);
  const size_t end = text.find("\r\n");
  return end == std::string::npos ? "" : text.substr(0, end);
}

// Refuses as a protocol would.
class RefusingListener : public TConduitListener {
 public:
  ~RefusingListener() override { Close(); }
  void DoTooManyConnections(TConduitServer* connection) override {
    connection->WriteLn("421 no room");
  }
};

// A thread the system cannot create: its stack would be far larger than any address space.
class UnstartableThread : public TConduitServerThread {
 public:
  explicit UnstartableThread(TConduitServer* c) : TConduitServerThread(c, size_t{1} << 46) {}
};

const char* const kSkipped = "Connections that failed before they were accepted were skipped";
const char* const kShort =
    "Accepting connections failed for lack of resources; accepting again after a pause";
const char* const kFailed = "Accepting connections failed; accepting again after a pause";

std::string Line(const std::string& what, int count, const std::string& cause) {
  return what + " (" + std::to_string(count) + " since the last report; last cause: " + cause + ")";
}

class AcceptFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_.SetBoundIP("127.0.0.1");
    listener_.OnExecute = [](TConduitServerThread* t) {
      t->Connection()->WriteLn("220 hello");
      t->Connection()->Disconnect();
    };
    listener_.OnListenerEvent = [this](TEventSeverity severity, const std::string& text) {
      std::lock_guard<std::mutex> g(lock_);
      events_.emplace_back(severity, text);
    };
  }
  void Activate() {
    listener_.SetActive(true);
    port_ = static_cast<uint16_t>(listener_.Port());
  }
  std::vector<std::pair<TEventSeverity, std::string>> Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
  }
  size_t EventCount() { return Events().size(); }
  uint64_t Total(TAcceptFailureKind kind) { return listener_.AcceptFailures().Total(kind); }
  // The gap in ms between accept calls i and i + 1.
  static long Gap(const std::vector<AcceptFaults::Call>& calls, size_t i) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(calls[i + 1].at - calls[i].at)
            .count());
  }

  // Declared first, so that it outlives the listener's accept thread.
  AcceptFaults faults_;
  RefusingListener listener_;
  uint16_t port_ = 0;
  std::mutex lock_;
  std::vector<std::pair<TEventSeverity, std::string>> events_;
};

TEST_F(AcceptFailureTest, EachFailureIsReportedWithItsCauseAndTheNextClientIsGreeted) {
  listener_.SetFailureReportInterval(0ms);
  Activate();
  struct Case {
    int code;
    TAcceptFailureKind kind;
    TEventSeverity severity;
    std::string line;
  };
  const Case cases[] = {
      {10054, TAcceptFailureKind::Connection, TEventSeverity::Warning,
       Line(kSkipped, 1, "Socket Error #10054 Connection reset by peer.")},
      {10057, TAcceptFailureKind::Connection, TEventSeverity::Warning,
       Line(kSkipped, 1, "Socket Error #10057 Socket is not connected.")},
      {10053, TAcceptFailureKind::Connection, TEventSeverity::Warning,
       Line(kSkipped, 1, "Socket Error #10053 Software caused connection abort.")},
      {10024, TAcceptFailureKind::Resources, TEventSeverity::Error,
       Line(kShort, 1, "Socket Error #10024 Too many open files.")},
      {10055, TAcceptFailureKind::Resources, TEventSeverity::Error,
       Line(kShort, 1, "Socket Error #10055 No buffer space available.")},
      {10022, TAcceptFailureKind::Unexpected, TEventSeverity::Error,
       Line(kFailed, 1, "Socket Error #10022 Invalid argument.")},
      {10107, TAcceptFailureKind::Unexpected, TEventSeverity::Error,
       Line(kFailed, 1, "Socket Error #10107")},
      // Not from the listener's own close: it goes on.
      {10004, TAcceptFailureKind::Unexpected, TEventSeverity::Error,
       Line(kFailed, 1, "Socket Error #10004 Interrupted system call.")},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    const uint64_t before = Total(c.kind);
    ASSERT_TRUE(WaitUntil([&] { return faults_.InSystemAccept(); }));
    faults_.Fail(c.code, 1);
    // The failure comes right after this client's accept.
    EXPECT_EQ(FirstLine(port_), "220 hello") << c.code;
    ASSERT_TRUE(WaitUntil([&] { return EventCount() > seen; })) << c.code;
    const auto events = Events();
    ASSERT_EQ(events.size(), seen + 1) << c.code;
    EXPECT_EQ(events[seen].first, c.severity) << c.code;
    EXPECT_EQ(events[seen].second, c.line);
    EXPECT_EQ(Total(c.kind), before + 1) << c.code;
    ++seen;
  }
  EXPECT_TRUE(listener_.Active());
  EXPECT_EQ(FirstLine(port_), "220 hello");
}

TEST_F(AcceptFailureTest, EachKindIsReportedAtMostOncePerIntervalWithTheCountSince) {
  listener_.SetFailureReportInterval(400ms);
  faults_.Fail(10054, 5);
  faults_.Fail(10024, 3);
  const auto start = Clock::now();
  Activate();
  ASSERT_TRUE(WaitUntil([&] {
    return Total(TAcceptFailureKind::Connection) == 5 && Total(TAcceptFailureKind::Resources) == 3;
  }));
  // The first of each kind at once, the rest counted.
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].second, Line(kSkipped, 1, "Socket Error #10054 Connection reset by peer."));
  EXPECT_EQ(events[1].second, Line(kShort, 1, "Socket Error #10024 Too many open files."));
  // Within the interval an accept adds no line; after it, the next accept brings the counts.
  if (Clock::now() - start < 300ms) {
    EXPECT_EQ(FirstLine(port_), "220 hello");
    EXPECT_EQ(EventCount(), 2u);
  }
  std::this_thread::sleep_for(450ms);
  EXPECT_EQ(FirstLine(port_), "220 hello");
  ASSERT_TRUE(WaitUntil([&] { return EventCount() == 4; }));
  events = Events();
  EXPECT_EQ(events[2].second, Line(kSkipped, 4, "Socket Error #10054 Connection reset by peer."));
  EXPECT_EQ(events[3].second, Line(kShort, 2, "Socket Error #10024 Too many open files."));
  EXPECT_EQ(FirstLine(port_), "220 hello");
  EXPECT_EQ(EventCount(), 4u);
}

TEST_F(AcceptFailureTest, ShortagesBackOffAndACloseCutsThePauseShort) {
  faults_.Fail(10055, 6);
  Activate();
  EXPECT_EQ(FirstLine(port_), "220 hello");
  // 10 ms, doubled after each failure (a little slack for coarse system timers).
  auto calls = faults_.Calls();
  ASSERT_GE(calls.size(), 7u);
  for (size_t i = 0, pause = 10; i < 6; ++i, pause *= 2)
    EXPECT_GE(Gap(calls, i), static_cast<long>(pause * 9 / 10)) << i;

  // After an accepted connection the back-off starts again at 10 ms (the next would
  // have been 640 ms).
  ASSERT_TRUE(WaitUntil([&] { return faults_.InSystemAccept(); }));
  faults_.Fail(10024, 1);
  EXPECT_EQ(FirstLine(port_), "220 hello");
  ASSERT_TRUE(WaitUntil([&] { return faults_.InSystemAccept(); }));
  calls = faults_.Calls();
  ASSERT_EQ(calls[calls.size() - 2].failedWith, 10024);
  EXPECT_LT(Gap(calls, calls.size() - 2), 500);

  // Single connections that keep failing pause too, once 64 came in a row.
  const size_t first = calls.size();
  faults_.Fail(10054, 66);
  EXPECT_EQ(FirstLine(port_), "220 hello");
  ASSERT_TRUE(WaitUntil([&] { return faults_.Planned() == 0 && faults_.InSystemAccept(); }));
  calls = faults_.Calls();
  ASSERT_EQ(calls.size(), first + 67);
  ASSERT_EQ(calls[first].failedWith, 10054);
  EXPECT_GE(Gap(calls, first + 63), 9);
  EXPECT_GE(Gap(calls, first + 64), 18);
  EXPECT_GE(Gap(calls, first + 65), 36);

  // A close during a long pause ends the accept thread at once.
  faults_.Fail(10024, 20);
  EXPECT_EQ(FirstLine(port_), "220 hello");
  ASSERT_TRUE(WaitUntil([&] { return faults_.Calls().size() >= first + 67 + 9; }));
  const auto closing = Clock::now();
  listener_.SetActive(false);
  EXPECT_LT(Clock::now() - closing, 700ms);
  EXPECT_FALSE(listener_.Active());
  EXPECT_LE(faults_.Calls().size(), first + 67 + 10);
}

// Wine reports 10057 for such a client, Windows 10054; Linux hands the socket over.
TEST_F(AcceptFailureTest, ClientsThatResetBeforeTheyAreAcceptedCostOnlyThemselves) {
  listener_.SetFailureReportInterval(0ms);
  // The accept thread pauses (10 + 20 + 40 + 80 + 160 ms) while the clients come and go.
  faults_.Fail(10024, 5);
  Activate();
  for (int i = 0; i < 3; ++i) {
    TSocket c = SockSocket(kAfInet, kSockStream, 0);
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    a.sin_port = SockHtons(port_);
    ASSERT_EQ(SockConnect(c, &a, sizeof a), 0);
    TLinger reset{1, 0};
    SockSetOpt(c, kSolSocket, kSoLinger, reinterpret_cast<const char*>(&reset), sizeof reset);
    SockClose(c);
  }
  ASSERT_TRUE(WaitUntil([&] { return faults_.Planned() == 0; }));
  EXPECT_EQ(FirstLine(port_), "220 hello");
  EXPECT_TRUE(listener_.Active());
  // Each of them counted as one connection's failure at most.
  EXPECT_LE(Total(TAcceptFailureKind::Connection), 3u);
  EXPECT_EQ(Total(TAcceptFailureKind::Unexpected), 0u);
}

TEST_F(AcceptFailureTest, AConnectionWithoutAThreadIsRefusedAndReported) {
  listener_.SetFailureReportInterval(1min);
  bool unstartable = true;
  std::mutex m;
  listener_.OnCreateThread = [&](TConduitServer* conn, TConduitServerThread*& thread) {
    std::lock_guard<std::mutex> g(m);
    if (unstartable) thread = new UnstartableThread(conn);
  };
  Activate();
  EXPECT_EQ(FirstLine(port_), "421 no room");
  EXPECT_EQ(FirstLine(port_), "421 no room");
  EXPECT_EQ(listener_.Threads().Count(), 0u);
  EXPECT_EQ(Total(TAcceptFailureKind::NoThread), 2u);
  {
    std::lock_guard<std::mutex> g(m);
    unstartable = false;
  }
  EXPECT_EQ(FirstLine(port_), "220 hello");
  // One line within the minute.
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, TEventSeverity::Error);
  EXPECT_EQ(events[0].second.rfind("No thread could be created for a connection; refused with 421 "
                                   "(1 since the last report; last cause: Cannot create thread: ",
                                   0),
            0u)
      << events[0].second;
}

}  // namespace
}  // namespace kestran
