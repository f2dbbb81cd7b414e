#include "config/dir_helpers.h"

#include "config/settings_loader.h"
#include "platform/files.h"

namespace kestran {
namespace {

// Moves the text of rest up to and including its first separator to the end of to;
// false when rest holds no separator.
bool MovePiece(std::string& rest, std::string& to, const char* separators) {
  size_t pos = rest.find_first_of(separators);
  if (pos == std::string::npos) return false;
  to += rest.substr(0, pos + 1);
  rest.erase(0, pos + 1);
  return true;
}

// Puts the process's current directory back when the path creation ends.
class TCurrentDirGuard {
 public:
  TCurrentDirGuard() : saved_(GetCurrentDir()) {}
  TCurrentDirGuard(const TCurrentDirGuard&) = delete;
  TCurrentDirGuard& operator=(const TCurrentDirGuard&) = delete;
  ~TCurrentDirGuard() {
    if (!saved_.empty()) SetCurrentDir(saved_);
  }

 private:
  std::string saved_;
};

void CreateMissingDirs(const std::string& dir) {
  TCurrentDirGuard restore;
  bool ok = true;
  std::string rest = AddBackslash(dir);
  const char* separators = "\\";

  if (rest.find(':') == 1) {
    // Drive path: work from the drive's root.
    std::string root = rest.substr(0, 3);
    rest.erase(0, 3);
    ok = SetCurrentDir(root);
  } else if (rest.rfind("\\\\", 0) == 0) {
    // UNC path: \\server\share\ is the root; without a share nothing is created.
    ok = false;
    std::string root = "\\\\";
    rest.erase(0, 2);
    if (MovePiece(rest, root, "\\") && MovePiece(rest, root, "\\")) ok = true;
    if (ok) ok = SetCurrentDir(root);
  } else if (rest.front() == '/') {
    // A native absolute path: its pieces are separated by "/" as well.
    rest.erase(0, 1);
    ok = SetCurrentDir("/");
    separators = "\\/";
  }
  // Anything else is relative to the current directory.

  std::string acc;
  while (ok && MovePiece(rest, acc, separators)) {
    if (IsDirWritable(acc)) continue;
    // A directory that exists but cannot be written is passed through; the final
    // probe of the whole path decides.
    ok = CreateDir(acc) || DirectoryExists(acc);
  }
}

}  // namespace

std::string ProbeFileName() {
  return "kestrant-" + RandomFileTag() + ".tmp";
}

bool IsDirWritable(const std::string& dir) {
  if (dir.empty()) return false;
  try {
    // A name nobody can foresee, created only where nothing has it: nothing planted under
    // it can be truncated or followed. Should one be taken after all, another is drawn.
    for (int attempt = 0; attempt < 3; ++attempt) {
      const std::string probe = AddBackslash(dir) + ProbeFileName();
      TFile f;
      if (!f.Open(probe, TFile::Mode::CreateExclusive)) {
        uint32_t e = LastFileError();
        if (e == 80 || e == 183) continue;
        return false;
      }
      bool closed = f.Close();
      bool deleted = DeleteFilePath(probe);
      return closed && deleted;
    }
    return false;
  } catch (...) {
    return false;
  }
}

bool ForceDirPath(const std::string& dir) {
  if (dir.empty()) return false;
  if (IsDirWritable(dir)) return true;
  try {
    CreateMissingDirs(dir);
  } catch (...) {
    // The final probe reports the outcome.
  }
  return IsDirWritable(dir);
}

}  // namespace kestran
