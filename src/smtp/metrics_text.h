#pragma once
// The receiver's counters in the Prometheus text exposition format (version 0.0.4), as
// the node exporter's textfile collector and the Windows exporter read it.

#include <cstdint>
#include <string>

#include "smtp/metrics_writer.h"
#include "smtp/receiver_metrics.h"

namespace kestran {

// What is measured when the text is made rather than counted as it happens.
struct TMetricsGauges {
  std::string Version;              // kestran_build_info's version label
  bool QueueScanned = false;        // false: the queue directory could not be read
  uint64_t QueuePairs = 0;          // complete pairs waiting
  double OldestPairAgeSeconds = 0;  // 0 when none waits
  int64_t QueueFreeBytes = -1;      // free space of the queue's file system; -1 unknown
  bool RefusingMail = false;        // MAIL is answered 452 for want of queue room
};

// Every family with its HELP and TYPE lines, each line ending in LF.
std::string FormatMetrics(const TReceiverMetrics& metrics, const TMetricsGauges& gauges);

}  // namespace kestran
