#pragma once
// Group flushing of a queue directory: sessions that finished writing at about the same
// time share one flush (of the directory's file system where the system allows it)
// instead of flushing their files and the directory one by one.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestran {

class TFileSystemFlush;

class TDirectorySync {
 public:
  // Flushes the listed files of dir and dir's entries; true on success.
  using TSyncFn =
      std::function<bool(const std::string& dir, const std::vector<std::string>& files)>;

  // sync flushes (a TFileSystemFlush of dir by default); at most maxRunning flushes
  // overlap. One at a time serves the most callers per flush: while it runs, everyone
  // who finishes writing joins the next. A flush about to begin waits up to gatherUs
  // microseconds for the callers announced by Expect that have not yet arrived.
  explicit TDirectorySync(std::string dir, TSyncFn sync = {}, int maxRunning = 1,
                          uint32_t gatherUs = kDefaultGatherUs);
  ~TDirectorySync();

  // A flush costs the machine about the same whether it carries one message or ten, so
  // when more messages are on their way it pays to wait for them; a lone session is
  // never kept waiting.
  static constexpr uint32_t kDefaultGatherUs = 2000;

  // A caller on its way (a session receiving a message body), announced by the thread
  // that will call Sync: from Expect until that thread enters Sync, or until this is
  // destroyed (the body never came), a flush about to begin may wait for it.
  class TExpected {
   public:
    TExpected() = default;
    TExpected(TExpected&& other) noexcept;
    TExpected& operator=(TExpected&&) = delete;
    ~TExpected();

   private:
    friend class TDirectorySync;
    TExpected(TDirectorySync* group, uint64_t serial) : group_(group), serial_(serial) {}
    TDirectorySync* group_ = nullptr;
    uint64_t serial_ = 0;
  };
  TExpected Expect();

  // Taken before the first write that a later Sync must cover.
  struct TToken {
    uint64_t failures = 0;
  };
  TToken Begin();

  // Returns once a flush that began after this call has succeeded (true), so that the
  // listed files' data, and every entry created or renamed in dir before the call, are
  // on disk; or false when the flush this caller waited for failed, or when any flush
  // failed after `since` was taken (a write-back error reported to an earlier group may
  // have hit this caller's files). While the most flushes allowed run, later callers
  // wait and then share the next one.
  bool Sync(const std::vector<std::string>& files = {});
  bool Sync(TToken since, const std::vector<std::string>& files);

  // How many callers have entered Sync so far.
  uint64_t Requested();

  // The one instance per directory name, shared by all sessions of the process.
  static TDirectorySync& For(const std::string& dir);

 private:
  // The callers that one flush serves, and its outcome. Waiters sleep on `state` alone,
  // so the end of a flush wakes its callers without their taking the lock again, and
  // one caller of the next round (to run it) when a flush may begin.
  struct TRound {
    enum : uint32_t { kWaiting, kMayRun, kSucceeded, kFailed };
    std::vector<std::string> files;  // under m_
    bool led = false;                // under m_: a caller is gathering it, to run it
    std::atomic<uint32_t> state{kWaiting};
  };
  bool SyncSince(uint64_t failuresBefore, const std::vector<std::string>& files);
  bool Outcome(const TRound& round, uint64_t failuresBefore) const;
  // Under m_: an expected caller arrived or gave up.
  void Arrived(std::unique_lock<std::mutex>& lock);
  // Under m_: lets the announced callers join round before it runs, for up to gatherUs_.
  void Gather(std::unique_lock<std::mutex>& lock);

  const std::string dir_;
  std::unique_ptr<TFileSystemFlush> flush_;
  const TSyncFn sync_;
  std::mutex m_;
  uint64_t requested_ = 0;             // callers so far
  std::atomic<uint64_t> failures_{0};  // flushes that failed so far
  std::shared_ptr<TRound> next_;       // callers waiting for a flush to begin
  const int maxRunning_;
  int running_ = 0;  // flushes under way
  const uint32_t gatherUs_;
  int expected_ = 0;                 // under m_: announced callers not yet arrived
  bool gathering_ = false;           // under m_: a caller waits on gather_
  std::atomic<uint32_t> gather_{0};  // changes whenever expected_ falls
};

}  // namespace kestran
