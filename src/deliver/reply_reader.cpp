#include "deliver/reply_reader.h"

#include "deliver/delivery_state.h"

namespace kestran {

namespace {

bool Digit(char c, char low, char high) {
  return c >= low && c <= high;
}

}  // namespace

TReplyParser::Status TReplyParser::Fail(std::string why) {
  error_ = std::move(why);
  status_ = Status::Error;
  return status_;
}

void TReplyParser::Reset() {
  *this = TReplyParser{};
}

TReplyParser::Status TReplyParser::Feed(std::string_view line, size_t wireBytes) {
  if (status_ != Status::More) return status_;
  bytes_ += wireBytes;
  if (++lines_ > kMaxReplyLines) return Fail("a reply of more than 100 lines");
  if (bytes_ > kMaxReplyBytes) return Fail("a reply of more than 64 KiB");
  if (line.size() < 3 || !Digit(line[0], '2', '5') || !Digit(line[1], '0', '5') ||
      !Digit(line[2], '0', '9') || (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
    return Fail("not a reply: " + OneLineReply(std::string(line.substr(0, 80))));
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (lines_ > 1 && code != code_)
    return Fail("a reply whose lines carry the codes " + std::to_string(code_) + " and " +
                std::to_string(code));
  code_ = code;
  // "250 first second": the code once, the lines' texts joined by blanks.
  std::string_view text = lines_ == 1 ? line.substr(0, 3) : std::string_view{};
  const std::string_view rest = line.size() > 4 ? line.substr(4) : std::string_view{};
  if (text_.size() < kKeptReplyText) {
    std::string piece(text);
    if (!rest.empty()) {
      if (!piece.empty() || !text_.empty()) piece += ' ';
      piece += rest;
    }
    text_.append(piece, 0, kKeptReplyText - text_.size());
  }
  if (line.size() == 3 || line[3] == ' ') status_ = Status::Done;
  return status_;
}

TReply TReplyParser::Reply() const {
  return TReply{code_, OneLineReply(text_)};
}

}  // namespace kestran
