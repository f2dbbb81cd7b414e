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

bool ReplaceFileContents(const std::string& path, const std::string& text) {
  const std::string temporary = path + "." + RandomFileTag() + ".tmp";
  TFile f;
  if (!f.Open(temporary, TFile::Mode::CreateExclusive)) return false;
  bool ok = f.Write(text);
  ok = f.Close() && ok;
  ok = ok && RenameFile(temporary, path);
  if (!ok) DeleteFilePath(temporary);
  return ok;
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
