#include "deliver/body_encoder.h"

#include <algorithm>
#include <vector>

namespace kestran {

namespace {

class TEncoder {
 public:
  TEncoder(TBodyMode mode, const TBodyWriter& write) : mode_(mode), write_(write) {
    out_.reserve(kBlock + 16);
  }

  bool Feed(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (!Byte(p[i])) return false;
    }
    return true;
  }

  bool Finish() {
    if (pendingCR_) EndLine(false);
    if (!lineStart_ || pendingDot_) EndLine(false);
    if (mode_ == TBodyMode::Data) out_ += ".\r\n";
    return Flush();
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;

  bool Byte(char c) {
    if (pendingCR_) {
      pendingCR_ = false;
      if (c == '\n') return EndLine(true);
      if (!EndLine(false)) return false;
    }
    if (c == '\r') {
      pendingCR_ = true;
      return true;
    }
    if (c == '\n') return EndLine(false);
    if (lineStart_) {
      lineStart_ = false;
      if (c == '.') {
        if (mode_ == TBodyMode::Data) {
          if (afterCrlf_) {
            pendingDot_ = true;  // "." alone or the start of a stuffed line
          } else {
            out_ += "..";
          }
        } else if (!afterCrlf_) {
          out_ += '.';
        }  // else: the stuffing dot, taken off
        return true;
      }
    }
    if (pendingDot_) {
      out_ += '.';
      pendingDot_ = false;
    }
    out_ += c;
    return out_.size() < kBlock || Flush();
  }

  // Ends the current line; crlf tells whether the line end was CR LF.
  bool EndLine(bool crlf) {
    if (pendingDot_) {
      // "." alone after CR LF: before a bare line end it was the client's stuffing, taken
      // off as for sendmail (an empty line); before CR LF (inside the file, which only
      // damage leaves) it is kept as text.
      if (crlf) out_ += "..";
      pendingDot_ = false;
    }
    out_ += mode_ == TBodyMode::Data ? "\r\n" : "\n";
    lineStart_ = true;
    afterCrlf_ = crlf;
    return out_.size() < kBlock || Flush();
  }

  bool Flush() {
    if (out_.empty()) return true;
    bool ok = write_(out_.data(), out_.size());
    out_.clear();
    return ok;
  }

  TBodyMode mode_;
  const TBodyWriter& write_;
  std::string out_;
  bool lineStart_ = true;
  bool afterCrlf_ = true;
  bool pendingCR_ = false;
  bool pendingDot_ = false;
};

}  // namespace

bool EncodeBody(const TBodyReader& read, uint64_t totalSize, TBodyMode mode,
                const TBodyWriter& write) {
  // The last three bytes are the terminating "." line, written by Finish.
  uint64_t left = totalSize >= 3 ? totalSize - 3 : 0;
  TEncoder encoder(mode, write);
  std::vector<char> buf(64 * 1024);
  while (left > 0) {
    long n = read(buf.data(), static_cast<size_t>(std::min<uint64_t>(left, buf.size())));
    if (n <= 0) return false;
    left -= static_cast<uint64_t>(n);
    if (!encoder.Feed(buf.data(), static_cast<size_t>(n))) return false;
  }
  return encoder.Finish();
}

std::string StuffedMessage(const std::string& crlfText) {
  std::string out;
  size_t pos = 0;
  while (pos < crlfText.size()) {
    size_t end = crlfText.find("\r\n", pos);
    if (end == std::string::npos) end = crlfText.size();
    if (crlfText[pos] == '.') out += '.';
    out.append(crlfText, pos, end - pos);
    out += "\r\n";
    pos = end + 2;
  }
  out += ".\r\n";
  return out;
}

}  // namespace kestran
