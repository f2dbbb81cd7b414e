#pragma once
// kestran-deliver -QUEUE: what waits in the queue, one block per pair:
//   B0000000042  age 0d 00:03:12  from <alice@example.org>   ("  held" after a held one's)
//     bob@example.org  sent  tries=1
//     carol@example.org  deferred  tries=2  next=2026-12-08 03:01:00  (451 4.3.0 Try later)
// then a line with the count, then one line for each pair in "failed" whose sender was
// never notified of some recipients ("never notified" also ends such a recipient's line):
//   failed/B0000000041  never notified: dave@example.org, erin@example.org

#include "deliver/deliver_settings.h"

namespace kestran {

// Prints the listing on standard output; the exit status (0, or 1 when the queue
// directory cannot be read).
int ListQueue(const TDeliverSettings& settings);

}  // namespace kestran
