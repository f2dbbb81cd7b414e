#pragma once
// The metrics file's contents: the receiver's counters in the Prometheus text format
// with what is measured at each rewrite (written with ReplaceFileContents, so that the
// node exporter's textfile collector never reads part of one).

#include <cstdint>
#include <string>

namespace kestran {

class TQueueRoom;

// The text of the metrics file now: counters, the queue directory's pairs and free
// space, and whether MAIL is being refused (room may be null: not refusing).
std::string MetricsText(const std::string& queueDir, const TQueueRoom* room, int64_t now);

}  // namespace kestran
