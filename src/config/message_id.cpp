#include "config/message_id.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "config/receiver_settings.h"
#include "config/registry_access.h"
#include "config/settings_loader.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/wait_word.h"

namespace kestran {

namespace {

// Whether a draw must flush the registry itself. Without SyncQueueFiles nothing is
// flushed before a reply, and a counter that a crash sets back is harmless (see below).
// With it, the first flush of a message's queue files is a flush of the queue's whole
// file system and comes after the draw and before the reply: where the registry file
// lies on that file system, it covers the new LastMsgId too.
bool DrawNeedsFlush() {
  const TReceiverSettings& s = ReceiverSettings;
  if (!s.SyncQueueFiles) return false;
  return !OnSameFileSystem(RegistryFilePath(), s.MailQueueDir);
}

// The number `by` steps after n in the range 1..kLastMessageNumber, which starts again at 1
// after its end; a value stored past the end counts as the end.
uint32_t NumberAfter(uint32_t n, uint32_t by) {
  const uint64_t from = n > kLastMessageNumber ? kLastMessageNumber : n;
  const uint64_t to = from + by;
  if (to <= kLastMessageNumber) return static_cast<uint32_t>(to);
  return static_cast<uint32_t>((to - 1) % kLastMessageNumber + 1);
}

// Whether the number `by` steps after n is the first after the end of the range.
bool WrapsAt(uint32_t n, uint32_t by) {
  const uint64_t from = n > kLastMessageNumber ? kLastMessageNumber : n;
  return from + by == uint64_t{kLastMessageNumber} + 1;
}

// Draws count consecutive numbers with one change of the registry and returns the value
// LastMsgId held before (the numbers are the count that follow it); LastMsgId ends at
// the last of them. None (and nothing stored) when no key could be opened.
std::optional<uint32_t> DrawNumbers(uint32_t count) {
  std::lock_guard<TCriticalSection> guard(MsgIdLock);
  // The usual case: the own key holds LastMsgId as this program writes it, and only its
  // eight digits change, where they stand in the file, whatever the size of the
  // registry. Anything else (no own value yet, a value of another form, a file edited in
  // place) takes the ordinary way below, which rewrites the registry atomically.
  // A draw that passes the end of the range takes the ordinary way too.
  uint32_t before = 0;
  if (AddToDwordInPlace(kOwnKey, "LastMsgId", count, DrawNeedsFlush(), before, kLastMessageNumber))
    return before;

  TRegistry reg;
  // Read, increment and write as one change under the registry's cross-process lock.
  TRegTransaction transaction;
  uint32_t n = 0;
  bool found = false;
  if (reg.OpenKey(kOwnKey, false)) {
    if (reg.ValueExists("LastMsgId")) {
      n = static_cast<uint32_t>(reg.ReadInteger("LastMsgId"));
      found = true;
    }
    reg.CloseKey();
  }
  if (!found) {
    if (!reg.OpenKey(kHostKey, false)) return std::nullopt;
    if (reg.ValueExists("LastMsgId")) n = static_cast<uint32_t>(reg.ReadInteger("LastMsgId"));
    reg.CloseKey();
  }
  const uint32_t last = NumberAfter(n, count);
  if (!reg.OpenKey(kOwnKey, true) && !reg.OpenKey(kHostKey, false)) return std::nullopt;
  reg.WriteInteger("LastMsgId", static_cast<int32_t>(last));
  reg.CloseKey();
  // The new text is flushed before it replaces the file, but the replacement is not
  // waited for. A crash can therefore bring back an earlier LastMsgId, never a damaged
  // registry, and the numbers drawn since are drawn again after the restart. That is
  // sound because no pair still queued is ever written over: the intake creates a
  // message file only under a free name and draws the next number when the name is
  // taken. So a crash never makes a number name two queued pairs; only a number whose
  // pair the host has already taken away can come back.
  if (transaction.Commit(false) != kRegSuccess)
    throw ERegistryException("Failed to set data for 'LastMsgId'");
  return n;
}

// Threads that ask while a draw is being stored wait, and the next draw serves all of
// them with one registry change: the file is rewritten and flushed once per group of
// callers instead of once per number, and LastMsgId never holds a number that has not
// been handed out. A waiter sleeps on its own request, which the drawing thread fills
// and wakes alone: no waiter takes the queue's lock again to learn its number.
struct TRequest {
  enum : uint32_t { kWaiting, kDraw, kDone };
  int32_t number = 0;
  std::optional<uint32_t> wrappedAfter;
  std::exception_ptr error;
  std::atomic<uint32_t> state{kWaiting};
};

struct TDrawQueue {
  std::mutex m;
  std::vector<TRequest*> waiting;
  bool drawing = false;  // a thread draws, or has been woken to draw next
};

TDrawQueue& Queue() {
  static TDrawQueue* q = new TDrawQueue;  // used by connection threads until the end
  return *q;
}

}  // namespace

int32_t NextMessageId() {
  std::optional<uint32_t> wrappedAfter;
  return NextMessageId(wrappedAfter);
}

int32_t NextMessageId(std::optional<uint32_t>& wrappedAfter) {
  wrappedAfter.reset();
  TDrawQueue& q = Queue();
  TRequest request;
  std::vector<TRequest*> group;
  {
    std::unique_lock<std::mutex> lock(q.m);
    q.waiting.push_back(&request);
    if (q.drawing) {
      lock.unlock();
      uint32_t state;
      while ((state = request.state.load(std::memory_order_acquire)) == TRequest::kWaiting)
        WaitWord(request.state, TRequest::kWaiting);
      if (state == TRequest::kDone) {
        if (request.error) std::rethrow_exception(request.error);
        wrappedAfter = request.wrappedAfter;
        return request.number;
      }
      lock.lock();  // woken to draw for everyone waiting now
    }
    q.drawing = true;
    group.swap(q.waiting);
  }
  std::optional<uint32_t> before;
  std::exception_ptr error;
  try {
    before = DrawNumbers(static_cast<uint32_t>(group.size()));
  } catch (...) {
    error = std::current_exception();
  }
  for (size_t i = 0; i < group.size(); ++i) {
    TRequest& r = *group[i];
    r.error = error;
    const uint32_t by = static_cast<uint32_t>(i) + 1;
    r.number = before ? static_cast<int32_t>(NumberAfter(*before, by)) : 0;
    if (before && WrapsAt(*before, by))
      r.wrappedAfter = by == 1 ? *before : NumberAfter(*before, by - 1);
    if (&r == &request) continue;
    // The waiter may return (and its request end) as soon as it sees kDone; only the
    // word's address is used afterwards, to wake it.
    r.state.store(TRequest::kDone, std::memory_order_release);
    WakeWord(r.state, false);
  }
  TRequest* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(q.m);
    if (q.waiting.empty()) {
      q.drawing = false;
    } else {
      next = q.waiting.front();
      next->state.store(TRequest::kDraw, std::memory_order_release);
    }
  }
  if (next) WakeWord(next->state, false);
  if (request.error) std::rethrow_exception(request.error);
  wrappedAfter = request.wrappedAfter;
  return request.number;
}

void CheckMessageCounter() {
  TRegistry reg(kKeyRead);
  if (reg.OpenKey(kOwnKey, false) && reg.ValueExists("LastMsgId")) {
    reg.ReadInteger("LastMsgId");
    return;
  }
  if (reg.OpenKey(kHostKey, false) && reg.ValueExists("LastMsgId")) reg.ReadInteger("LastMsgId");
}

std::string NoMessageIdReason() {
  std::string problem = RegistryWriteProblem();
  if (!problem.empty()) return "the registry cannot be written: " + problem;
  return std::string("no counter to continue in ") + RegistryFilePath() + ": '" + kOwnKey +
         "' holds no LastMsgId and '" + kHostKey + "' does not exist";
}

}  // namespace kestran
