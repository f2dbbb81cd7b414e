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
  // who finishes writing joins the next.
  explicit TDirectorySync(std::string dir, TSyncFn sync = {}, int maxRunning = 1);
  ~TDirectorySync();

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
    std::atomic<uint32_t> state{kWaiting};
  };
  bool SyncSince(uint64_t failuresBefore, const std::vector<std::string>& files);
  bool Outcome(const TRound& round, uint64_t failuresBefore) const;

  const std::string dir_;
  std::unique_ptr<TFileSystemFlush> flush_;
  const TSyncFn sync_;
  std::mutex m_;
  uint64_t requested_ = 0;             // callers so far
  std::atomic<uint64_t> failures_{0};  // flushes that failed so far
  std::shared_ptr<TRound> next_;       // callers waiting for a flush to begin
  const int maxRunning_;
  int running_ = 0;  // flushes under way
};

}  // namespace kestran
