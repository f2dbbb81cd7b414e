#pragma once
// The file operations of kestran-deliver on native paths, over the platform's, with the
// reason of a failure as a text for the log.

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/file_descriptor.h"
#include "platform/files.h"

namespace kestran {

// Reads a plain file of at most maxSize bytes, never through a link; its last change in
// nanoseconds since 1970 into modifiedNs when given. False with the reason.
bool ReadPlainFile(const std::string& path, size_t maxSize, std::string& contents,
                   int64_t* modifiedNs, std::string& why);

// Replaces dir + name with contents durably (ReplaceFileContents). False with the reason.
bool ReplaceFileDurably(const std::string& dir, const std::string& name,
                        const std::string& contents, std::string& why);

// Creates dir (and its parents) when missing; false when it is then not a plain directory.
bool EnsurePlainDir(const std::string& dir);

// Whether a plain file (not a link) has that name.
bool IsPlainFile(const std::string& path);

}  // namespace kestran
