#include "deliver/queue_pair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "deliver/file_util.h"
#include "smtp/address_parser.h"

namespace kestran {

namespace {

constexpr size_t kMaxRecipientFile = 8 * 1024 * 1024;

// A blank may stand inside an address (it was quoted when the client sent it), never at
// its ends.
bool ValidAddress(const std::string& a) {
  if (a.empty() || a.size() > 1000 || a.front() == ' ' || a.back() == ' ' || a.front() == '\t' ||
      a.back() == '\t')
    return false;
  for (unsigned char c : a)
    if ((c < 32 && c != '\t') || c == '<' || c == '>' || c == 127) return false;
  return true;
}

}  // namespace

std::string PairStem(std::string_view name, std::string_view ext) {
  if (name.size() != 11 + ext.size() || name[0] != 'B' || name.substr(11) != ext) return {};
  for (size_t i = 1; i < 11; ++i)
    if (name[i] < '0' || name[i] > '9') return {};
  return std::string(name.substr(0, 11));
}

bool ParseRecipientFile(const std::string& text, TQueuedPair& pair, std::string& why) {
  bool haveReturnPath = false;
  pair.recipients.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_of(std::string("\r\0", 2)) != std::string::npos) {
      why = "a control character in the recipient file";
      return false;
    }
    if (line.rfind("Message-ID: ", 0) == 0) {
      pair.messageId = line.substr(12);
    } else if (line.rfind("Return-path:", 0) == 0) {
      if (haveReturnPath) {
        why = "two Return-path lines";
        return false;
      }
      haveReturnPath = true;
      pair.returnPath = line.substr(12);
      if (!pair.returnPath.empty() && pair.returnPath[0] == ' ') pair.returnPath.erase(0, 1);
    } else if (line.rfind("Recipient: ", 0) == 0) {
      std::string address = line.substr(11);
      if (!ValidAddress(address)) {
        why = "an unusable recipient '" + address.substr(0, 200) + "'";
        return false;
      }
      pair.recipients.push_back(std::move(address));
    } else if (!line.empty() || pos < text.size()) {
      why = "an unknown line in the recipient file";
      return false;
    }
  }
  if (!haveReturnPath) {
    why = "no Return-path line";
    return false;
  }
  if (pair.recipients.empty()) {
    why = "no recipient";
    return false;
  }
  return true;
}

std::string SenderAddress(const std::string& returnPath) {
  std::string s = returnPath;
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.erase(0, 1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.pop_back();
  if (s.size() >= 2 && s.front() == '<' && s.back() == '>') s = s.substr(1, s.size() - 2);
  return s;
}

std::string NextHopAddress(const std::string& address) {
  const size_t at = address.rfind('@');
  const std::string local = address.substr(0, at);
  if (local.find_first_of(" \t") == std::string::npos) return address;
  std::string quoted = "\"";
  for (char c : local) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return at == std::string::npos ? quoted : quoted + address.substr(at);
}

bool ListPairStems(const std::string& dir, std::vector<std::string>& stems) {
  stems.clear();
  std::vector<TDirEntry> entries;
  if (!ListDirectory(dir, entries, false)) return false;
  for (const auto& e : entries) {
    std::string stem = PairStem(e.name, ".RCP");
    if (!stem.empty()) stems.push_back(std::move(stem));
  }
  std::sort(stems.begin(), stems.end());
  return true;
}

std::string HoldFileName(const std::string& stem) {
  return stem + ".HOLD";
}

bool IsOnePath(const std::string& returnPath) {
  const std::string raw = SenderAddress(returnPath);
  if (raw.empty()) return true;
  // Brackets left inside, or a blank after the at sign, are what two paths or a path with
  // parameters leave; the receiver keeps blanks only in a local part that was quoted.
  const size_t at = raw.rfind('@');
  if (raw.find_first_of("<>") != std::string::npos ||
      (at != std::string::npos && raw.find_first_of(" \t", at) != std::string::npos))
    return false;
  const std::string bracketed = "<" + NextHopAddress(raw) + ">";
  std::string domain, display, address;
  return ParseAddress(bracketed, domain, display, address) && !HasStrayAddressSyntax(bracketed) &&
         address.find_first_of("<>") == std::string::npos;
}

bool ReadQueuedPair(const std::string& dir, const std::string& stem, TQueuedPair& pair, TFd& msg,
                    std::string& why) {
  pair = TQueuedPair{};
  pair.stem = stem;
  std::string rcp;
  int64_t modified = 0;
  if (!ReadPlainFile(dir + stem + ".RCP", kMaxRecipientFile, rcp, &modified, why)) return false;
  pair.queuedAt =
      static_cast<double>(modified / 1000000000) + static_cast<double>(modified % 1000000000) / 1e9;
  if (!ParseRecipientFile(rcp, pair, why)) return false;

  msg.Reset(::open((dir + stem + ".MSG").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!msg.Valid()) {
    why = "the message file cannot be opened: " + std::string(std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::fstat(msg.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the message file is not a plain file";
    return false;
  }
  pair.messageSize = static_cast<uint64_t>(st.st_size);
  char tail[5];
  if (st.st_size < 5 || ::pread(msg.Get(), tail, 5, st.st_size - 5) != 5 ||
      std::memcmp(tail, "\r\n.\r\n", 5) != 0) {
    why = "the message file does not end with the line \".\"";
    return false;
  }
  return true;
}

}  // namespace kestran
