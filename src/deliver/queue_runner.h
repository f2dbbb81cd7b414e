#pragma once
// The queue runner: pairs that are ready wait in one list, and DeliverConcurrency
// workers take them one at a time, each with a transport of its own that keeps its
// connection for the next pair. A scan of the queue directory finds the pairs that are
// due (new ones, retries, and what was left while the program was down); the directory
// watch adds each pair as its recipient file appears.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deliver/pair_delivery.h"

namespace kestran {

// A file in the queue directory that asks the running program to retry everything now.
inline constexpr const char* kFlushRequestName = "kestran-deliver.flush";

class TQueueRunner {
 public:
  TQueueRunner(TDeliverContext ctx, unsigned workers);
  ~TQueueRunner();
  TQueueRunner(const TQueueRunner&) = delete;
  TQueueRunner& operator=(const TQueueRunner&) = delete;

  void Start();
  // Lets the deliveries under way finish, then ends the workers.
  void Stop();

  // A pair whose recipient file just appeared.
  void Add(const std::string& stem);
  // A name in the queue directory: when it is a request to try one pair now (an
  // operator's command made it), the request is taken away and the pair forced; false
  // for any other name.
  bool TakeDueRequest(const std::string& name);
  // Looks through the queue directory; force makes every waiting pair due now. A flush
  // request found there is taken away and forces the scan.
  void Scan(bool force);
  // Removes the state files' temporary copies that an earlier run left (before Start).
  void RemoveTemporaries();
  // One pass over the whole queue on the calling thread (no workers): every pair that
  // is due, or every pair with force.
  void RunOnce(bool force);
  // Whether no pair is ready or being delivered.
  bool Idle();
  // Pairs being delivered now.
  size_t InProgress();
  // Removes the state files of delivered pairs (after one flush of the directory).
  void Sweep();
  // Whether pairs were delivered since the last sweep.
  bool SweepWanted() const { return sweepWanted_; }

 private:
  void Worker();
  void Push(const std::string& stem, bool force);
  void Sweep(const std::vector<std::string>& names, const std::set<std::string>& complete);

  TDeliverContext ctx_;
  unsigned workers_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::pair<std::string, bool>> ready_;
  std::set<std::string> pending_;  // ready or being delivered
  // Pairs a forced push found being delivered: forced once more after that pass.
  std::set<std::string> forceAgain_;
  size_t busy_ = 0;
  std::map<std::string, int64_t> due_;  // next try of pairs that wait, as last seen
  std::vector<std::thread> threads_;
  bool stopping_ = false;
  std::atomic<bool> sweepWanted_{false};
};

}  // namespace kestran
