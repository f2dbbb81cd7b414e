// The parts of the file operations that are the same on every system.

#include "platform/files.h"

#include <random>

namespace kestran {

std::string RandomFileTag() {
  // Every tag comes from the system's random source, so that no number of tags seen
  // tells the next one.
  thread_local std::random_device rd;
  uint64_t v = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  static const char kHex[] = "0123456789abcdef";
  std::string tag(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) tag[static_cast<size_t>(i)] = kHex[v & 15];
  return tag;
}

bool ReplaceFileContents(const std::string& path, const std::string& text, TReplaceMode mode) {
  const std::string temporary = path + "." + RandomFileTag() + ".tmp";
  TFile f;
  if (!f.Open(temporary, TFile::Mode::CreateExclusive)) return false;
  bool ok = f.Write(text);
  if (ok && mode == TReplaceMode::Durable) ok = f.Sync();
  // The error of a failed step stays the one reported, not that of the clean-up.
  const uint32_t error = ok ? 0 : LastFileError();
  ok = f.Close() && ok;
  ok = ok && RenameFile(temporary, path);
  if (!ok) {
    const uint32_t failed = error != 0 ? error : LastFileError();
    DeleteFilePath(temporary);
    SetFileError(failed);
    return false;
  }
  if (mode == TReplaceMode::Durable) {
    const size_t sep = path.find_last_of("/\\");
    return SyncDirectory(sep == std::string::npos ? std::string(".") : path.substr(0, sep + 1));
  }
  return true;
}

bool MoveIntoDirectory(const std::string& path, const std::string& targetDir, std::string& target,
                       int maxNames) {
  const size_t sep = path.find_last_of("/\\");
  const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
  const size_t dot = name.find_last_of('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = stem.size() == name.size() ? "" : name.substr(stem.size());
  for (int n = 0; n < maxNames; ++n) {
    target = targetDir + (n == 0 ? name : stem + "-" + std::to_string(n) + ext);
    if (RenameNoReplace(path, target)) return true;
    const uint32_t e = LastFileError();
    if (e != 80 && e != 183) return false;
  }
  SetFileError(80);
  return false;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  TFile f;
  if (!f.Open(path, TFile::Mode::Read)) return false;
  char buf[65536];
  for (;;) {
    long n = f.Read(buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    contents.append(buf, static_cast<size_t>(n));
  }
}

TFile::TFile(TFile&& other) noexcept : fd_(other.fd_), digest_(other.digest_) {
  other.fd_ = -1;
  other.digest_ = nullptr;
}

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    digest_ = other.digest_;
    other.fd_ = -1;
    other.digest_ = nullptr;
  }
  return *this;
}

TFile::~TFile() {
  Close();
}

}  // namespace kestran
