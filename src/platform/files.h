#pragma once
// File-system operations on Windows-style paths (translated by TranslatePath). They
// report failure through their results, never by raising; LastFileError() gives the
// Windows error code of the last failure on this thread (2 missing file, 3 missing
// path, 5 access denied, 53 missing network path, 80 file exists, 112 disk full, ...).

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kestran {

uint32_t LastFileError();

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool CreateDir(const std::string& path);
bool DeleteFilePath(const std::string& path);
// Renames over an existing target (atomic on one file system).
bool RenameFile(const std::string& from, const std::string& to);
// Flushes a directory's entries to disk.
bool SyncDirectory(const std::string& path);
// Flushes to disk what was written to files of one directory, and the directory's
// entries, with as few flushes as the system allows: where it can flush a whole file
// system (Linux, syncfs), one flush of the file system that holds the directory covers
// every file, whatever is listed; elsewhere each listed file is flushed. The directory
// stays open from one flush to the next, so a write-back error on that file system in
// between is reported by the next flush (false) even when it hit no listed file.
class TFileSystemFlush {
 public:
  explicit TFileSystemFlush(std::string dir);
  TFileSystemFlush(const TFileSystemFlush&) = delete;
  TFileSystemFlush& operator=(const TFileSystemFlush&) = delete;
  ~TFileSystemFlush();
  // May be called from several threads at once.
  bool Flush(const std::vector<std::string>& files);

 private:
  std::string dir_;
  std::mutex m_;
  int fd_ = -1;
};

std::string GetCurrentDir();
bool SetCurrentDir(const std::string& path);
// Reads a whole file (other processes may keep writing it); false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);

// An open file; closed by its destructor.
class TFile {
 public:
  enum class Mode {
    Read,             // existing file, reading
    CreateExclusive,  // new file only: fails when the name is taken
    CreateTruncate,   // create or replace with an empty file
    Append,           // open for appending, create when missing
  };
  TFile() = default;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  ~TFile();

  bool Open(const std::string& path, Mode mode);
  bool IsOpen() const { return fd_ >= 0; }
  // Writes every byte; false on any failure (disk full included).
  bool Write(const char* data, size_t size);
  bool Write(const std::string& s) { return Write(s.data(), s.size()); }
  // Reads up to size bytes; -1 on failure, 0 at end of file.
  long Read(char* data, size_t size);
  // Flushes the file's data to disk.
  bool Sync();
  bool Close();

 private:
  int fd_ = -1;
};

}  // namespace kestran
