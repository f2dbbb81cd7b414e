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

class TContentDigest;

uint32_t LastFileError();
// Sets what LastFileError() tells (for an operation made of several steps).
void SetFileError(uint32_t code);

// The error of an open that found a link, a directory or a device under a name where a
// plain file is written: such a name is never followed.
constexpr uint32_t kErrorNotPlainFile = 1920;

// What a name stands for in its directory; a link is reported as such, never followed.
enum class TEntryKind { None, File, Directory, Link, Other };
TEntryKind EntryKindOf(const std::string& path);
// True when anything at all has that name, a dangling link included.
inline bool NameExists(const std::string& path) {
  return EntryKindOf(path) != TEntryKind::None;
}

struct TDirEntry {
  std::string name;
  TEntryKind kind = TEntryKind::Other;
  int64_t modified = 0;  // last change of the contents, seconds since 1970 (UTC)
};
// The entries of a directory, without "." and "..", in no particular order. Without
// withTimes, modified may be left 0 where the system tells the kind with the name alone,
// which spares a status call per entry in a large directory.
bool ListDirectory(const std::string& dir, std::vector<TDirEntry>& entries, bool withTimes = true);

// Sixteen lower-case hex digits nobody can predict, for names of the program's own files
// in directories that others may write.
std::string RandomFileTag();

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool CreateDir(const std::string& path);
bool DeleteFilePath(const std::string& path);
// Renames over an existing target (atomic on one file system).
bool RenameFile(const std::string& from, const std::string& to);
// Renames only while nothing has the target name (80 or 183 when something has).
bool RenameNoReplace(const std::string& from, const std::string& to);
// Flushes a directory's entries to disk.
bool SyncDirectory(const std::string& path);
// Bytes that an unprivileged writer may still use on the file system holding path.
bool FreeSpaceOf(const std::string& path, uint64_t& bytes);
// Whether two existing paths lie on one file system (false when either cannot be asked,
// and where the system cannot tell).
bool OnSameFileSystem(const std::string& a, const std::string& b);

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
// Whether ReplaceFileContents makes the new contents durable before it returns.
enum class TReplaceMode {
  Atomic,   // a reader finds the old contents or the new, never part of them
  Durable,  // and the new contents and the name are on disk once it returns true
};
// Replaces a file's contents at once: text goes to path + "." + random tag + ".tmp" in the
// same directory, which is then renamed over path, so that a reader finds the old
// contents or the new, never part of them. Durable also flushes the temporary file before
// the rename and the directory after it. False when that failed, with nothing left under
// the temporary name.
bool ReplaceFileContents(const std::string& path, const std::string& text,
                         TReplaceMode mode = TReplaceMode::Atomic);

// Moves the file path into targetDir (ending in a separator) under its own name, or, when
// that is taken, under the name with "-1", "-2", ... before its extension
// ("B0000000042-1.MSG"); never replaces anything. target is the name it got. False when
// it could not be moved (after maxNames names were found taken, LastFileError() is 80).
bool MoveIntoDirectory(const std::string& path, const std::string& targetDir, std::string& target,
                       int maxNames = 1000);
// Reads a whole file (other processes may keep writing it); false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);

// The error of a read that found a file of more than the bytes allowed.
constexpr uint32_t kErrorFileTooLarge = 223;

// Whether ReadSmallFile follows a link under the name.
enum class TLinkMode { Follow, Refuse };
// Reads a small file that a setting names (a certificate, a key) or the program keeps
// (a queue's envelope): a plain file only, a link to one included unless links are
// refused (then the link fails with kErrorNotPlainFile). The open never waits, so a FIFO,
// a device or a directory under the name fails at once with kErrorNotPlainFile; a file
// of more than maxBytes fails with kErrorFileTooLarge, and is never read past maxBytes +
// 1 (one still growing included). contents is empty after a failure. modifiedNs, when
// given, receives the file's last change in nanoseconds since 1970.
bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& contents,
                   TLinkMode links = TLinkMode::Follow, int64_t* modifiedNs = nullptr);

// An open file; closed by its destructor. Files are created readable by their owner and
// group only (0640 on POSIX systems).
class TFile {
 public:
  enum class Mode {
    Read,             // existing file, reading
    CreateExclusive,  // new plain file only: fails when anything has the name, a link too
    CreateTruncate,   // create or replace with an empty file (a file the user names)
    Append,           // append to an existing plain file, or create one; a link, directory
                      // or device under the name, or a file that has other names too
                      // (hard links), fails with kErrorNotPlainFile
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
  // Every byte written from now on (on success) is also added to digest, which must
  // outlive the writes; nullptr stops it.
  void DigestWrites(TContentDigest* digest) { digest_ = digest; }
  bool Write(const std::string& s) { return Write(s.data(), s.size()); }
  // Reads up to size bytes; -1 on failure, 0 at end of file.
  long Read(char* data, size_t size);
  // Flushes the file's data to disk.
  bool Sync();
  bool Close();

 private:
  int fd_ = -1;
  TContentDigest* digest_ = nullptr;
};

}  // namespace kestran
