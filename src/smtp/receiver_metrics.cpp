#include "smtp/receiver_metrics.h"

#include <ctime>

#include "platform/resolver_common.h"

namespace kestran {

TReceiverMetrics::TReceiverMetrics() : startTime_(static_cast<int64_t>(std::time(nullptr))) {}

TLookupResult LookupFailure(int socketError) {
  switch (socketError) {
    case resolver_common::kHostNotFound:
    case resolver_common::kNoData:
      return TLookupResult::NotFound;
    case resolver_common::kTryAgain:
      return TLookupResult::Timeout;
    default:
      return TLookupResult::Error;
  }
}

void TReceiverMetrics::CountReplyLine(const std::string& line) {
  if (line.size() < 3 || (line.size() > 3 && line[3] == '-')) return;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return;
    code = code * 10 + (line[i] - '0');
  }
  CountReply(code);
}

void TReceiverMetrics::CountTlsMessage(const std::string& version) {
  size_t i = 0;
  while (i + 1 < kTlsVersionNames.size() && version != kTlsVersionNames[i]) ++i;
  Count(tlsMessages_[i]);
}

void TReceiverMetrics::CountFlush(uint64_t nanoseconds, bool ok) {
  Count(flushes_);
  if (!ok) Count(flushFailures_);
  Count(flushNanoseconds_, nanoseconds);
  const double seconds = static_cast<double>(nanoseconds) / 1e9;
  size_t i = 0;
  while (i < kFlushBuckets.size() && seconds > kFlushBuckets[i]) ++i;
  Count(flushBuckets_[i]);
}

void TReceiverMetrics::SetBlockListNames(std::vector<std::string> names) {
  std::lock_guard<std::mutex> guard(namesLock_);
  blockListNames_ = std::move(names);
}

std::vector<std::string> TReceiverMetrics::BlockListNames() const {
  std::lock_guard<std::mutex> guard(namesLock_);
  return blockListNames_;
}

TReceiverMetrics& ReceiverMetrics() {
  static TReceiverMetrics metrics;
  return metrics;
}

}  // namespace kestran
