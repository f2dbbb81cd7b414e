#pragma once
// Directory helpers of the set-up: the writability probe and the creation of a whole
// directory path. Paths are Windows paths, translated when touched.

#include <string>

namespace kestran {

// "kestrant-" + a random tag + ".tmp": the name of one probe.
std::string ProbeFileName();

// Creates a new empty probe file AddBackslash(dir) + ProbeFileName() where nothing has
// that name, closes and deletes it; true only when all three steps succeed. False for "".
bool IsDirWritable(const std::string& dir);

// Creates every missing directory of a drive ("C:\a\b"), UNC ("\\server\share\a") or
// relative path and returns IsDirWritable(dir). A UNC path without a share name creates
// nothing. Changes the process's current directory while it works and restores it, so
// it must only run while no other thread depends on the current directory.
bool ForceDirPath(const std::string& dir);

}  // namespace kestran
