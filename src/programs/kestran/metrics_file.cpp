#include "programs/kestran/metrics_file.h"

#include "platform/files.h"
#include "programs/kestran/smtp_service.h"
#include "smtp/metrics_text.h"
#include "smtp/queue_census.h"
#include "smtp/queue_room.h"
#include "smtp/receiver_metrics.h"

namespace kestran {

std::string MetricsText(const std::string& queueDir, const TQueueRoom* room, int64_t now) {
  TMetricsGauges gauges;
  gauges.Version = kVersion;
  const TQueueCensus census = TakeQueueCensus(queueDir);
  gauges.QueueScanned = census.Read;
  gauges.QueuePairs = census.Pairs;
  if (census.Pairs != 0 && now > census.OldestModified)
    gauges.OldestPairAgeSeconds = static_cast<double>(now - census.OldestModified);
  uint64_t free = 0;
  if (FreeSpaceOf(queueDir, free)) gauges.QueueFreeBytes = static_cast<int64_t>(free);
  gauges.RefusingMail = room != nullptr && room->Refusing();
  return FormatMetrics(ReceiverMetrics(), gauges);
}

}  // namespace kestran
