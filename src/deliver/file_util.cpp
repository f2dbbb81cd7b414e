#include "deliver/file_util.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error_text.h"
#include "platform/files.h"

namespace kestran {

namespace {

std::string ErrorText() {
  std::string text = SystemErrorText(LastFileError());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(LastFileError()) : text;
}

}  // namespace

bool ReadPlainFile(const std::string& path, size_t maxSize, std::string& contents,
                   int64_t* modifiedNs, std::string& why) {
  if (ReadSmallFile(path, maxSize, contents, TLinkMode::Refuse, modifiedNs)) return true;
  const uint32_t e = LastFileError();
  why = e == kErrorNotPlainFile   ? path + " is not a plain file"
        : e == kErrorFileTooLarge ? path + " is too large"
                                  : path + " cannot be read: " + ErrorText();
  return false;
}

bool ReplaceFileDurably(const std::string& dir, const std::string& name,
                        const std::string& contents, std::string& why) {
  if (ReplaceFileContents(dir + name, contents, TReplaceMode::Durable)) return true;
  why = dir + name + " cannot be replaced: " + ErrorText();
  return false;
}

bool EnsurePlainDir(const std::string& dir) {
  std::string d = dir;
  if (d.size() > 1 && d.back() == '/') d.pop_back();
  // Missing parents first.
  for (size_t slash = d.find('/', 1); slash != std::string::npos; slash = d.find('/', slash + 1))
    ::mkdir(d.substr(0, slash).c_str(), 0750);
  if (::mkdir(d.c_str(), 0750) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::lstat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsPlainFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace kestran
