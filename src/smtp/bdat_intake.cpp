#include "smtp/bdat_intake.h"

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
  pendingCR_ = false;
}

void TBdatIntake::Abandon() {
  body_ = nullptr;
  std::string().swap(line_);
  lineOpen_ = false;
  pendingCR_ = false;
  state_ = State::Kept;
  octets_ = 0;
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
  if (state_ != State::Kept) return;
  size_t i = 0;
  while (i < octets.size() && state_ == State::Kept) {
    const char c = octets[i];
    if (pendingCR_) {
      // A CR ends its line whatever follows; an LF right after it belongs to it.
      pendingCR_ = false;
      EndLine();
      if (c == '\n') {
        ++i;
        continue;
      }
    }
    if (c == '\r') {
      pendingCR_ = true;
      ++i;
      continue;
    }
    if (c == '\n') {
      EndLine();
      ++i;
      continue;
    }
    // A run of octets up to the next line end goes in at once.
    size_t end = octets.find_first_of("\r\n", i);
    if (end == std::string_view::npos) end = octets.size();
    if (!lineOpen_) {
      lineOpen_ = true;
      if (c == '.') line_.push_back('.');
    }
    line_.append(octets.substr(i, end - i));
    i = end;
    if (maxLine_ != 0 && line_.size() > maxLine_) {
      state_ = State::LineTooLong;
      Drop();
    }
  }
}

TBdatIntake::State TBdatIntake::Finish() {
  if (body_ == nullptr) return State::NotKept;
  if (state_ == State::Kept) {
    if (pendingCR_ || lineOpen_) EndLine();
    pendingCR_ = false;
    if (state_ == State::Kept && !body_->AppendLine(".")) {
      state_ = State::NotKept;
      Drop();
    }
  }
  const State result = state_;
  body_ = nullptr;
  std::string().swap(line_);
  lineOpen_ = false;
  pendingCR_ = false;
  return result;
}

}  // namespace kestran
