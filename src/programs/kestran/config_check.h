#pragma once
// kestran -CHECK: reads the registry and everything the settings name, prints the
// effective value of every setting with where it came from, the lists, what the files
// and directories named are like, and every warning the start would give. It changes
// nothing (a probe file in a directory to tell whether it can be written is removed at
// once).

namespace kestran {

// Writes the report on standard output; 0 when the start would succeed, else 1.
int CheckReceiverConfiguration();

}  // namespace kestran
