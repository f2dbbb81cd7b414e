#pragma once
// kestran-deliver -CHECK: its settings with their effective values and sources, the
// queue directory, the transports DeliverTo and BounceTo name, the metrics file's
// directory, and the value names of the own key that neither program knows. Changes
// nothing.

namespace kestran {

// Writes the report on standard output; 0 when a start would succeed, else 1.
int CheckDeliverConfiguration();

}  // namespace kestran
