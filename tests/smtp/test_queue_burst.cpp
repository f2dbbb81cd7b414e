// test-labels: threads
// Back-pressure under a burst: many sessions sending at once between two looks at the
// queue. The pair limit holds to within the transactions under way, and the free space of
// the queue's file system never goes more than one message into the reserve.

#include <algorithm>
#include <iostream>
#include <system_error>
#include <thread>

#include "smtp/space_reservation.h"
#include "smtp_fixture.h"
#include "support/wait_until.h"

namespace kestran::testing_smtp {
namespace {

using namespace std::chrono_literals;

class QueueBurst : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetLocalDomains({"corp.example"});
    server_->SetSyncQueueFiles(false);
    server_->OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = ++counter_;
      handled = true;
    };
  }

  // Every session sends messages of bodyBytes as fast as it is answered, for duration;
  // a 452 is waited out briefly and tried again.
  void Burst(int sessions, size_t bodyBytes, bool declareSize, std::chrono::milliseconds duration) {
    std::string body = "Subject: burst\r\n\r\n";
    const std::string line(998, 'x');
    while (body.size() + line.size() + 2 < bodyBytes) body += line + "\r\n";
    body += ".\r\n";
    std::vector<std::unique_ptr<RawClient>> conns;
    for (int i = 0; i < sessions; ++i) conns.push_back(Connect());
    std::atomic<bool> go{false};
    const auto until = std::chrono::steady_clock::now() + duration;
    std::vector<std::thread> clients;
    for (int i = 0; i < sessions; ++i) {
      clients.emplace_back([&, i] {
        RawClient& c = *conns[static_cast<size_t>(i)];
        while (!go.load()) std::this_thread::yield();
        c.Cmd("EHLO client" + std::to_string(i));
        const bool declare = declareSize && i % 2 == 0;
        while (std::chrono::steady_clock::now() < until) {
          const std::string mail =
              "MAIL FROM:<s@x.example>" + (declare ? " SIZE=" + std::to_string(body.size()) : "");
          std::string r = c.Cmd(mail);
          if (r.rfind("452", 0) == 0) {
            ++refused_;
            std::this_thread::sleep_for(20ms);
            continue;
          }
          ASSERT_EQ(r.substr(0, 3), "250") << r;
          ASSERT_EQ(c.Cmd("RCPT TO:<u@corp.example>").substr(0, 3), "250");
          r = c.Cmd("DATA");
          if (r.rfind("452", 0) == 0) {
            ++refused_;
            continue;
          }
          ASSERT_EQ(r, "354 Ready for data");
          c.Send(body);
          r = c.ReadLine();
          if (r == "250 Message received OK")
            ++stored_;
          else if (r.rfind("452", 0) == 0)
            ++refused_;
          else
            ADD_FAILURE() << r;
        }
        c.Cmd("QUIT");
      });
    }
    go = true;
    for (auto& t : clients) t.join();
  }

  size_t Pairs() const {
    size_t n = 0;
    for (const auto& name : QueueFiles())
      if (name.size() > 4 && name.substr(name.size() - 4) == ".RCP") ++n;
    return n;
  }

  std::atomic<int32_t> counter_{0};
  std::atomic<int> stored_{0};
  std::atomic<int> refused_{0};
};

// Between two looks: what was stored since counts toward the pairs and the space, and
// what transactions hold is taken off the space; a look starts the count again.
TEST(QueueRoomBetweenLooks, StoredPairsAndHeldRoomCountUntilTheNextLook) {
  constexpr uint64_t kMiB = 1 << 20;
  uint64_t free = 100 * kMiB;
  TQueueRoom room;
  room.FreeSpaceProbe = [&](const std::string&, uint64_t& bytes) {
    bytes = free;
    return true;
  };
  room.Configure(fs::temp_directory_path().string(), 3, 50 * kMiB, 40 * kMiB);
  ASSERT_TRUE(room.HasRoom(1000));
  room.NoteStored(1);
  room.NoteStored(1);
  EXPECT_TRUE(room.HasRoom(1001));
  room.NoteStored(1);
  EXPECT_FALSE(room.HasRoom(1002)) << "three pairs stored since the look";
  EXPECT_TRUE(room.HasSpace(1002)) << "DATA asks about the space only";
  EXPECT_TRUE(room.HasRoom(2000)) << "the directory holds none of them";

  {
    TSpaceReservation big;
    big.Hold(&room, 45 * kMiB);
    EXPECT_TRUE(room.HasRoom(2001));
    TSpaceReservation more;
    more.Hold(&room, 6 * kMiB);
    EXPECT_FALSE(room.HasRoom(2002)) << "49 MiB left once 51 are held";
    EXPECT_FALSE(room.HasSpace(2002));
    // A body under way may go on into the reserve down to the floor, not below it.
    EXPECT_TRUE(more.GrowTo(15 * kMiB));
    EXPECT_FALSE(more.GrowTo(16 * kMiB));
    EXPECT_EQ(room.Reserved(), 60 * kMiB);
  }
  EXPECT_EQ(room.Reserved(), 0u);
  EXPECT_TRUE(room.HasSpace(2003));
  room.NoteStored(55 * kMiB);
  EXPECT_FALSE(room.HasSpace(2004)) << "stored since the look";
  free -= 55 * kMiB;
  EXPECT_FALSE(room.HasSpace(3004)) << "and on the file system at the next look";
  free += 10 * kMiB;
  EXPECT_TRUE(room.HasSpace(4004));

  EXPECT_EQ(DeclaredMessageSize({"BODY=8BITMIME", "size=1048576"}), 1048576u);
  EXPECT_EQ(DeclaredMessageSize({"SIZE=12x"}), 0u);
  EXPECT_EQ(DeclaredMessageSize({"SIZE=99999999999999999999"}), 0u);
}

TEST_F(QueueBurst, PairLimitHoldsToWithinTheSessionsUnderWay) {
  constexpr uint32_t kLimit = 40;
  constexpr int kSessions = 30;
  server_->SetQueueRoom(kLimit, 0);
  Start();
  Burst(kSessions, 300, false, 2500ms);
  const size_t pairs = Pairs();
  std::cout << "[ figures ] MaxQueuedMessages " << kLimit << ", " << kSessions
            << " sessions: " << pairs << " pairs queued, " << refused_ << " refused with 452\n";
  EXPECT_EQ(pairs, static_cast<size_t>(stored_.load())) << "every 250 left its pair";
  EXPECT_GE(pairs, kLimit);
  EXPECT_LE(pairs, kLimit + kSessions);
  EXPECT_GT(refused_, 0);
}

TEST_F(QueueBurst, FreeSpaceStaysWithinOneMessageOfTheReserve) {
  // A file system of 40 MiB that holds nothing but the queue directory.
  constexpr int64_t kCapacity = 40 << 20;
  constexpr uint32_t kReserveMB = 16;
  constexpr uint32_t kMaxMessage = 2 << 20;
  const fs::path dir = queue_;
  auto freeNow = [dir] {
    int64_t used = 0;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code sizeError;
      const auto size = fs::file_size(it->path(), sizeError);
      if (!sizeError) used += static_cast<int64_t>(size);
    }
    return kCapacity - used;
  };
  server_->SetMaxMessageSize(kMaxMessage);
  server_->SetQueueRoom(0, kReserveMB);
  server_->QueueRoom().FreeSpaceProbe = [&](const std::string&, uint64_t& bytes) {
    bytes = static_cast<uint64_t>(std::max<int64_t>(freeNow(), 0));
    return true;
  };
  Start();
  std::atomic<bool> done{false};
  std::atomic<int64_t> lowest{kCapacity};
  std::thread watch([&] {
    while (!done) {
      const int64_t f = freeNow();
      if (f < lowest) lowest = f;
      std::this_thread::sleep_for(1ms);
    }
  });
  // Messages of a MiB, half of them declared with SIZE, the others not.
  Burst(12, 1 << 20, true, 3000ms);
  done = true;
  watch.join();
  std::cout << "[ figures ] MinFreeSpaceMB " << kReserveMB << " on " << (kCapacity >> 20)
            << " MiB, 12 sessions of 1 MiB messages: lowest free " << (lowest >> 10) << " KiB, "
            << stored_ << " stored, " << refused_ << " refused with 452\n";
  EXPECT_EQ(Pairs(), static_cast<size_t>(stored_.load())) << "every 250 left its pair";
  EXPECT_GT(refused_, 0);
  EXPECT_GE(lowest, int64_t{kReserveMB} * (1 << 20) - kMaxMessage);
  // What the transactions held is all given back once they are over.
  EXPECT_TRUE(test::WaitUntil([&] { return server_->QueueRoom().Reserved() == 0; }));
}

}  // namespace
}  // namespace kestran::testing_smtp
