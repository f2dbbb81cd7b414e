#pragma once
// Group flushing of a queue directory: sessions that finished their pairs at about the
// same time share one flush of the directory instead of one each.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kestran {

class TDirectorySync {
 public:
  using TSyncFn = std::function<bool(const std::string&)>;

  // sync flushes the directory (SyncDirectory by default).
  explicit TDirectorySync(std::string dir, TSyncFn sync = {});

  // Returns once a flush of the directory that began after this call has succeeded
  // (true), so that every entry created or renamed before the call is on disk; or false
  // when the flush this caller ran itself failed. While one flush runs, later callers
  // wait and then share the next one.
  bool Sync();

  // How many callers have entered Sync so far.
  uint64_t Requested();

  // The one instance per directory name, shared by all sessions of the process.
  static TDirectorySync& For(const std::string& dir);

 private:
  const std::string dir_;
  const TSyncFn sync_;
  std::mutex m_;
  std::condition_variable done_;
  uint64_t requested_ = 0;  // tickets handed out
  uint64_t completed_ = 0;  // every ticket up to this one is covered by a finished flush
  bool running_ = false;
};

}  // namespace kestran
