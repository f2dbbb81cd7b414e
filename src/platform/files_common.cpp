// The parts of the file operations that are the same on every system.

#include "platform/files.h"

namespace kestran {

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

TFile::TFile(TFile&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

TFile::~TFile() {
  Close();
}

}  // namespace kestran
