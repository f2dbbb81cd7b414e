#pragma once
// A private scratch file for data too large to keep in memory: created under a name that
// nobody can predict, never through a link and never over an existing file, readable by
// this account only, and deleted when the object goes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestran {

class TScratchFile {
 public:
  TScratchFile() = default;
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;
  // Closes and deletes the file.
  ~TScratchFile();

  // Creates dirPrefix + namePrefix + 16 random hex digits + nameSuffix (dirPrefix is a
  // Windows-style directory path ending in "\", or empty for the current directory).
  // False when no file could be created.
  bool Create(const std::string& dirPrefix, const std::string& namePrefix,
              const std::string& nameSuffix);
  bool IsOpen() const { return fd_ != -1; }
  // The path as given to Create (Windows style); empty when no file exists.
  const std::string& Path() const { return path_; }

  // Appends every byte; false on any failure.
  bool Write(const char* data, size_t size);
  // Reads up to size bytes at offset; 0 at the end, -1 on failure.
  long ReadAt(uint64_t offset, char* data, size_t size) const;
  // Closes and deletes the file; true when none is left.
  bool Remove();

 private:
  std::intptr_t fd_ = -1;  // descriptor or handle
  std::string path_;       // as given
  std::string native_;     // as opened
};

// n random bytes as 2n lower-case hex digits, from the system's random source.
bool RandomHex(size_t n, std::string& out);

}  // namespace kestran
