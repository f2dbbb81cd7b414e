#include "deliver/queue_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "deliver/file_util.h"
#include "deliver/queue_pair.h"
#include "service/ntobj.h"

namespace kestran {

namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<TDirEntry> entries;
  ListDirectory(dir, entries, false);
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (auto& e : entries) names.push_back(std::move(e.name));
  return names;
}

}  // namespace

TQueueRunner::TQueueRunner(TDeliverContext ctx, unsigned workers)
    : ctx_(std::move(ctx)), workers_(std::max(1u, workers)) {}

TQueueRunner::~TQueueRunner() {
  Stop();
}

void TQueueRunner::Start() {
  std::lock_guard<std::mutex> g(m_);
  stopping_ = false;
  for (unsigned i = 0; i < workers_; ++i) threads_.emplace_back([this] { Worker(); });
}

void TQueueRunner::Stop() {
  {
    std::lock_guard<std::mutex> g(m_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

void TQueueRunner::Push(const std::string& stem, bool force) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!pending_.insert(stem).second) {
      if (!force) return;
      // A forced push makes a waiting entry forced; a pair being delivered right now is
      // passed over again, forced, once this pass is done.
      auto it =
          std::find_if(ready_.begin(), ready_.end(),
                       [&](const std::pair<std::string, bool>& e) { return e.first == stem; });
      if (it != ready_.end())
        it->second = true;
      else
        forceAgain_.insert(stem);
      return;
    }
    ready_.emplace_back(stem, force);
  }
  cv_.notify_one();
}

void TQueueRunner::Add(const std::string& stem) {
  Push(stem, false);
}

bool TQueueRunner::TakeDueRequest(const std::string& name) {
  const size_t prefix = std::strlen(kDueRequestPrefix);
  if (name.compare(0, prefix, kDueRequestPrefix) != 0) return false;
  const std::string stem = PairStem(name.substr(prefix) + ".RCP", ".RCP");
  if (::unlink((ctx_.queueDir + name).c_str()) == 0 && !stem.empty()) Push(stem, true);
  return true;
}

void TQueueRunner::Scan(bool force) {
  if (::unlink((ctx_.queueDir + kFlushRequestName).c_str()) == 0) force = true;
  const int64_t now = static_cast<int64_t>(ctx_.now());
  std::vector<std::string> names = Names(ctx_.queueDir);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) TakeDueRequest(n);
  std::set<std::string> complete;
  for (const auto& n : names) {
    const std::string stem = PairStem(n, ".RCP");
    if (!stem.empty()) complete.insert(stem);
  }
  for (const auto& stem : complete) {
    bool due = force;
    if (!due) {
      std::lock_guard<std::mutex> g(m_);
      auto it = due_.find(stem);
      due = it == due_.end() || it->second <= now;
    }
    if (due) Push(stem, force);
  }
  Sweep(names, complete);
  std::lock_guard<std::mutex> g(m_);
  for (auto it = due_.begin(); it != due_.end();)
    it = complete.count(it->first) == 0 ? due_.erase(it) : std::next(it);
}

void TQueueRunner::Sweep() {
  sweepWanted_ = false;
  std::vector<std::string> names = Names(ctx_.queueDir);
  std::set<std::string> complete;
  for (const auto& n : names) {
    const std::string stem = PairStem(n, ".RCP");
    if (!stem.empty()) complete.insert(stem);
  }
  Sweep(names, complete);
}

void TQueueRunner::Sweep(const std::vector<std::string>& names,
                         const std::set<std::string>& complete) {
  // State files and sent recipient files without a recipient file: delivered pairs, and
  // what a pass cut short left. One flush first makes the removal of the rest of each
  // pair durable.
  std::set<std::string> leftovers;
  for (const auto& n : names) {
    std::string stem = PairStem(n, ".DLV");
    if (stem.empty()) stem = PairStem(n, ".SENT");
    if (stem.empty() || complete.count(stem) != 0) continue;
    std::lock_guard<std::mutex> g(m_);
    if (pending_.count(stem) == 0) leftovers.insert(stem);
  }
  if (!leftovers.empty() && SyncDirectory(ctx_.queueDir))
    for (const auto& stem : leftovers) FinishLeftover(ctx_, stem);
}

void TQueueRunner::RemoveTemporaries() {
  for (const auto& n : Names(ctx_.queueDir)) {
    // stem + ".DLV." + 16 hex digits + ".tmp"
    if (n.size() == 11 + 4 + 1 + 16 + 4 && !PairStem(n.substr(0, 15), ".DLV").empty() &&
        n[15] == '.' && n.compare(n.size() - 4, 4, ".tmp") == 0 && IsPlainFile(ctx_.queueDir + n))
      ::unlink((ctx_.queueDir + n).c_str());
  }
}

void TQueueRunner::RunOnce(bool force) {
  auto transport = MakeTransport(ctx_.transport, ctx_.options);
  Scan(force);
  for (;;) {
    std::pair<std::string, bool> item;
    {
      std::lock_guard<std::mutex> g(m_);
      if (ready_.empty()) break;
      item = ready_.front();
      ready_.pop_front();
      pending_.erase(item.first);
    }
    DeliverPair(ctx_, *transport, item.first, item.second);
  }
  transport->Close();
  Sweep();
}

bool TQueueRunner::Idle() {
  std::lock_guard<std::mutex> g(m_);
  return ready_.empty() && busy_ == 0;
}

size_t TQueueRunner::InProgress() {
  std::lock_guard<std::mutex> g(m_);
  return busy_;
}

void TQueueRunner::Worker() {
  auto transport = MakeTransport(ctx_.transport, ctx_.options);
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    // A connection kept open is closed after a few idle seconds.
    if (!cv_.wait_for(lock, std::chrono::seconds(3),
                      [&] { return stopping_ || !ready_.empty(); })) {
      lock.unlock();
      transport->Close();
      lock.lock();
      continue;
    }
    if (stopping_) break;
    auto [stem, force] = ready_.front();
    ready_.pop_front();
    ++busy_;
    lock.unlock();
    TPairPass pass;
    try {
      pass = DeliverPair(ctx_, *transport, stem, force);
    } catch (const std::exception& e) {
      ctx_.event(kLogError, stem + ": " + e.what());
      pass.outcome = TPairPass::Outcome::Waiting;
      pass.nextDue = static_cast<int64_t>(ctx_.now()) + 60;
    }
    lock.lock();
    --busy_;
    const bool again = forceAgain_.erase(stem) != 0;
    if (pass.outcome == TPairPass::Outcome::Waiting)
      due_[stem] = pass.nextDue;
    else
      due_.erase(stem);
    if (pass.outcome == TPairPass::Outcome::Delivered) sweepWanted_ = true;
    if (again && pass.outcome == TPairPass::Outcome::Waiting)
      ready_.emplace_back(stem, true);  // stays pending
    else
      pending_.erase(stem);
  }
  lock.unlock();
  transport->Close();
}

}  // namespace kestran
