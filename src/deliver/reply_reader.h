#pragma once
// Reads the replies of a next hop (SMTP, LMTP) strictly: every line is a three-digit code
// of class 2 to 5 followed by nothing, a blank or a hyphen; the lines of one reply carry
// one code; a reply ends with its first line without the hyphen. A reply of more than
// kMaxReplyLines lines or kMaxReplyBytes bytes is no reply. Of the text only the first
// kKeptReplyText characters are kept, whatever the hop sends.

#include <cstddef>
#include <string>
#include <string_view>

#include "deliver/transport.h"

namespace kestran {

inline constexpr size_t kMaxReplyLines = 100;
inline constexpr size_t kMaxReplyBytes = 64 * 1024;
inline constexpr size_t kKeptReplyText = 512;

class TReplyParser {
 public:
  enum class Status { More, Done, Error };
  // One line without its line end (wireBytes: what it took on the wire, its line end
  // included). After Done or Error the parser takes nothing more until Reset.
  Status Feed(std::string_view line, size_t wireBytes);
  // The reply once Done: its code, and its text as one line ("250 first second").
  TReply Reply() const;
  // Why the lines are no reply once Error.
  const std::string& Error() const { return error_; }
  // Bytes a next line may still have before the reply is too long.
  size_t Room() const { return bytes_ >= kMaxReplyBytes ? 0 : kMaxReplyBytes - bytes_; }
  void Reset();

 private:
  Status Fail(std::string why);

  Status status_ = Status::More;
  int code_ = 0;
  size_t lines_ = 0;
  size_t bytes_ = 0;
  std::string text_;
  std::string error_;
};

}  // namespace kestran
