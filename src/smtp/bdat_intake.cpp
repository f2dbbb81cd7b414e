#include "smtp/bdat_intake.h"

#include <cstring>

namespace kestran {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

TBdatArgument ParseBdatArgument(const std::string& arg, uint64_t& size, bool& last) {
  size = 0;
  last = false;
  size_t i = 0;
  while (i < arg.size() && IsDigit(arg[i])) ++i;
  // Nineteen digits always fit in 64 bits.
  if (i == 0 || i > 19 || (i < arg.size() && arg[i] != ' ' && arg[i] != '\t'))
    return TBdatArgument::BadSize;
  for (size_t k = 0; k < i; ++k) size = size * 10 + static_cast<uint64_t>(arg[k] - '0');
  while (i < arg.size() && (arg[i] == ' ' || arg[i] == '\t')) ++i;
  const std::string rest = arg.substr(i);
  if (rest.empty()) return TBdatArgument::Valid;
  std::string upper = rest;
  for (auto& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper != "LAST") return TBdatArgument::BadOther;
  last = true;
  return TBdatArgument::Valid;
}

void TBdatIntake::Begin(TMessageBody& body, uint64_t maxSize, uint32_t maxLine) {
  body_ = &body;
  maxSize_ = maxSize;
  maxLine_ = maxLine;
  octets_ = 0;
  state_ = State::Kept;
  std::string().swap(line_);
  lineOpen_ = false;
  afterCR_ = false;
}

void TBdatIntake::Abandon() {
  body_ = nullptr;
  std::string().swap(line_);
  lineOpen_ = false;
  afterCR_ = false;
  state_ = State::Kept;
  octets_ = 0;
}

void TBdatIntake::OutOfRoom() {
  if (body_ == nullptr || state_ != State::Kept) return;
  state_ = State::NoRoom;
  Drop();
}

void TBdatIntake::Drop() {
  std::string().swap(line_);
  lineOpen_ = false;
  body_->Clear();
}

void TBdatIntake::EndLine() {
  if (state_ == State::Kept && !body_->AppendLine(line_)) {
    state_ = State::NotKept;
    Drop();
  }
  line_.clear();
  lineOpen_ = false;
}

void TBdatIntake::Feed(std::string_view octets) {
  if (body_ == nullptr) return;
  octets_ += octets.size();
  if (state_ == State::Kept && maxSize_ != 0 && octets_ > maxSize_) {
    state_ = State::TooBig;
    Drop();
  }
  const char* const p = octets.data();
  const size_t n = octets.size();
  size_t i = 0;
  while (i < n && state_ == State::Kept) {
    const char c = p[i];
    if (c == '\r' || c == '\n') {
      // A CR ends its line at once; an LF right after it belongs to it.
      if (c == '\n' && afterCR_) {
        afterCR_ = false;
      } else {
        afterCR_ = c == '\r';
        EndLine();
      }
      ++i;
      continue;
    }
    afterCR_ = false;
    // The run of octets up to the next line end (memchr is far quicker than a loop).
    const void* lf = std::memchr(p + i, '\n', n - i);
    const size_t lfAt = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : n;
    const void* cr = std::memchr(p + i, '\r', lfAt - i);
    const size_t end = cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - p) : lfAt;
    const std::string_view run = octets.substr(i, end - i);
    i = end;
    if (maxLine_ != 0 && line_.size() + run.size() + (c == '.' && !lineOpen_ ? 1 : 0) > maxLine_) {
      state_ = State::LineTooLong;
      Drop();
      break;
    }
    if (!lineOpen_ && c != '.' && end < n) {
      // A whole line in this chunk that needs no stuffing goes to the body as it is.
      if (!body_->AppendLine(run)) {
        state_ = State::NotKept;
        Drop();
        break;
      }
      // Its line end is taken without adding another line.
      afterCR_ = p[end] == '\r';
      i = end + 1;
      continue;
    }
    if (!lineOpen_) {
      lineOpen_ = true;
      if (c == '.') line_.push_back('.');
    }
    line_.append(run);
  }
}

TBdatIntake::State TBdatIntake::Finish() {
  if (body_ == nullptr) return State::NotKept;
  if (state_ == State::Kept) {
    if (lineOpen_) EndLine();
    if (state_ == State::Kept && !body_->AppendLine(".")) {
      state_ = State::NotKept;
      Drop();
    }
  }
  const State result = state_;
  body_ = nullptr;
  std::string().swap(line_);
  lineOpen_ = false;
  afterCR_ = false;
  return result;
}

}  // namespace kestran
