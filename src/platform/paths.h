#pragma once
// Settings hold Windows paths; they are handled as text everywhere and translated only
// when a file or directory is touched:
//   X:\a\b\          -> $KESTRAN_ROOT/drive_x/a/b/   (letter lower-cased)
//   /var/spool/x\    -> the native path
//   a\b              -> relative to the current directory
//   \\server\share\  -> nothing: fails as a missing network path
// Every "\" becomes "/"; letter case is kept.

#include <cstdint>
#include <string>

namespace kestran {

// Windows error code of an operation on a UNC path.
constexpr uint32_t kErrorBadNetPath = 53;

// $KESTRAN_ROOT, or /var/lib/kestran.
std::string DataRoot();
// Creates the data root and its drive C when missing; false when that fails.
bool EnsureDataRoot();

// Translates a path as above; false (and native left empty) for a UNC path.
// Translating a drive path makes sure the data root and drive C exist.
bool TranslatePath(const std::string& path, std::string& native);

}  // namespace kestran
