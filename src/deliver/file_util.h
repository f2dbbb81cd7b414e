#pragma once
// The few file operations of kestran-deliver on native paths: plain files only, never
// following a link, and replacing a file atomically and durably.

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/file_descriptor.h"
#include "platform/files.h"

namespace kestran {

// Reads a plain file (a link, directory or device under the name fails) of at most
// maxSize bytes; its status into st when given. False with the reason.
bool ReadPlainFile(const std::string& path, size_t maxSize, std::string& contents, struct stat* st,
                   std::string& why);

// Replaces dir + name with contents: written under a temporary name, flushed, renamed,
// and the directory flushed. False with the reason (nothing of it is left behind).
bool ReplaceFileDurably(const std::string& dir, const std::string& name,
                        const std::string& contents, std::string& why);

// Moves dir + name into targetDir under the same name, or name + "-1", "-2" ... when that
// is taken; never replaces anything. False with the reason.
bool MoveAside(const std::string& dir, const std::string& name, const std::string& targetDir,
               std::string& why);

// Creates dir (and its parents) when missing; false when it is then not a plain directory.
bool EnsurePlainDir(const std::string& dir);

// Whether a plain file (not a link) has that name.
bool IsPlainFile(const std::string& path);

}  // namespace kestran
