#include "deliver/queue_listing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "deliver/file_util.h"
#include "deliver/pair_delivery.h"
#include "deliver/queue_pair.h"

namespace kestran {

namespace {

std::string Age(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lldd %02lld:%02lld:%02lld",
                static_cast<long long>(seconds / 86400),
                static_cast<long long>(seconds / 3600 % 24),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buf;
}

std::string LocalStamp(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  char buf[32] = "-";
  if (::localtime_r(&tt, &tm) != nullptr) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// The pairs set aside in "failed" with recipients whose sender never heard of them, one
// line each.
void ListNeverNotified(const std::string& dir) {
  const std::string failed = dir + "failed/";
  std::vector<TDirEntry> entries;
  if (!ListDirectory(failed, entries, false)) return;
  std::vector<std::string> stems;
  for (const auto& e : entries) {
    std::string stem = PairStem(e.name, ".DLV");
    if (!stem.empty()) stems.push_back(stem);
  }
  std::sort(stems.begin(), stems.end());
  for (const auto& stem : stems) {
    TDeliveryState state;
    if (!LoadDeliveryState(failed, stem, state)) continue;
    std::string names;
    for (const auto& r : state.recipients) {
      if (!r.neverNotified) continue;
      if (!names.empty()) names += ", ";
      names += r.address;
    }
    if (!names.empty())
      std::printf("failed/%s  never notified: %s\n", stem.c_str(), OneLineReply(names).c_str());
  }
}

}  // namespace

int ListQueue(const TDeliverSettings& settings) {
  const std::string dir = NativeQueueDir(settings);
  std::vector<std::string> stems;
  if (dir.empty() || !ListPairStems(dir, stems)) {
    std::fprintf(stderr, "kestran-deliver: the queue directory %s cannot be read\n",
                 settings.QueueDir.c_str());
    return 1;
  }
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  size_t listed = 0;
  for (const auto& stem : stems) {
    TQueuedPair pair;
    TFd msg;
    std::string why;
    if (!ReadQueuedPair(dir, stem, pair, msg, why)) {
      std::printf("%s  cannot be delivered: %s\n", stem.c_str(), why.c_str());
      ++listed;
      continue;
    }
    TDeliveryState state;
    const bool haveState = LoadDeliveryState(dir, stem, state);
    const auto queued = static_cast<int64_t>(haveState ? state.queuedAt : pair.queuedAt);
    const std::string sender = SenderAddress(pair.returnPath);
    const bool held = NameExists(dir + HoldFileName(stem));
    std::printf("%s  age %s  from <%s>%s\n", stem.c_str(), Age(now - queued).c_str(),
                OneLineReply(sender).c_str(), held ? "  held" : "");
    for (size_t i = 0; i < pair.recipients.size(); ++i) {
      const TRecipientProgress* r =
          haveState && i < state.recipients.size() ? &state.recipients[i] : nullptr;
      std::string line = "  " + pair.recipients[i] + "  " + (r ? StateName(r->state) : "pending") +
                         "  tries=" + std::to_string(r ? r->tries : 0);
      if (r == nullptr || !r->Final())
        line += "  next=" +
                (r == nullptr || r->nextTry <= now ? std::string("now") : LocalStamp(r->nextTry));
      if (r != nullptr && !r->reply.empty()) line += "  (" + OneLineReply(r->reply) + ")";
      if (r != nullptr && r->neverNotified) line += "  never notified";
      std::printf("%s\n", line.c_str());
    }
    ++listed;
  }
  std::printf("%zu queued message%s\n", listed, listed == 1 ? "" : "s");
  ListNeverNotified(dir);
  return 0;
}

}  // namespace kestran
