#pragma once
// What a receiver that ended abruptly leaves in the queue directory, dealt with before the
// next start takes mail:
// - a temporary recipient file ("B" + ten digits + "." + digest + ".RC~") whose pair is
//   whole by its digest takes its name: its message may have been acknowledged, the
//   rename having been lost by a crash (queue_writer.h);
// - its own other temporary files (such recipient files of pairs that are not whole,
//   those of earlier versions "B" + ten digits + ".RC~", spilled message bodies
//   "kestran-body-*.tmp", directory probes "kestrant*.tmp") are removed;
// - a message file without its recipient file was never acknowledged and the host never
//   takes it: it is moved, never deleted, into the subdirectory "damaged". Only one left
//   unchanged for kDamagedAfterSeconds moves, since the host's own receiver may be writing
//   a message file of its own into the same directory.
// Links and directories are never removed or moved, whatever their names.

#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

constexpr int64_t kDamagedAfterSeconds = 10 * 60;

struct TLeftoverNote {
  enum class Kind { Information, Warning, Error };
  Kind kind;
  std::string text;
};

// dir: the queue directory as configured (Windows path); now: seconds since 1970. Returns
// what is worth logging: each message file moved, the number of temporary files removed,
// and every failure. Never raises.
std::vector<TLeftoverNote> CleanQueueLeftovers(const std::string& dir, int64_t now);

}  // namespace kestran
