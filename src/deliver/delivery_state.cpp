#include "deliver/delivery_state.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kestran {

namespace {

constexpr const char* kMagic = "kestran-deliver-state 1";

bool ParseState(const std::string& s, TRecipientState& state) {
  if (s == "pending")
    state = TRecipientState::Pending;
  else if (s == "sent")
    state = TRecipientState::Sent;
  else if (s == "deferred")
    state = TRecipientState::Deferred;
  else if (s == "bounced")
    state = TRecipientState::Bounced;
  else
    return false;
  return true;
}

template <class T>
bool ParseNumber(const std::string& s, T& value) {
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && ptr == s.data() + s.size() && !s.empty();
}

// The next blank-separated word of line from pos.
std::string Word(const std::string& line, size_t& pos) {
  size_t end = line.find(' ', pos);
  if (end == std::string::npos) end = line.size();
  std::string w = line.substr(pos, end - pos);
  pos = end < line.size() ? end + 1 : end;
  return w;
}

// The address as one word: a blank, a tab and a backslash as "\040", "\011", "\134".
std::string AddressWord(const std::string& address) {
  std::string out;
  for (char c : address) {
    if (c == ' ')
      out += "\\040";
    else if (c == '\t')
      out += "\\011";
    else if (c == '\\')
      out += "\\134";
    else
      out += c;
  }
  return out;
}

bool ParseAddressWord(const std::string& word, std::string& address) {
  address.clear();
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '\\') {
      address += word[i];
      continue;
    }
    const std::string code = word.substr(i + 1, 3);
    if (code == "040")
      address += ' ';
    else if (code == "011")
      address += '\t';
    else if (code == "134")
      address += '\\';
    else
      return false;
    i += 3;
  }
  return !address.empty();
}

}  // namespace

const char* StateName(TRecipientState state) {
  switch (state) {
    case TRecipientState::Pending:
      return "pending";
    case TRecipientState::Sent:
      return "sent";
    case TRecipientState::Deferred:
      return "deferred";
    case TRecipientState::Bounced:
      return "bounced";
  }
  return "pending";
}

bool TDeliveryState::AllFinal() const {
  for (const auto& r : recipients)
    if (!r.Final()) return false;
  return true;
}

bool TDeliveryState::AnyBounced() const {
  for (const auto& r : recipients)
    if (r.state == TRecipientState::Bounced) return true;
  return false;
}

int64_t TDeliveryState::NextDue() const {
  int64_t due = 0;
  for (const auto& r : recipients)
    if (!r.Final() && (due == 0 || r.nextTry < due)) due = r.nextTry;
  return due;
}

std::string FormatDeliveryState(const TDeliveryState& state) {
  char queued[64];
  std::snprintf(queued, sizeof queued, "%.3f", state.queuedAt);
  std::string out = std::string(kMagic) + "\nqueued " + queued + "\n";
  for (const auto& r : state.recipients) {
    out += "rcpt " + std::string(StateName(r.state)) + " " + std::to_string(r.tries) + " " +
           std::to_string(r.nextTry) + " " + std::to_string(r.lastTry) + " " +
           (r.neverNotified ? "2 "
            : r.notified    ? "1 "
                            : "0 ") +
           AddressWord(r.address) + " " + OneLineReply(r.reply) + "\n";
  }
  if (state.done != TDeliveryState::Done::No)
    out += state.done == TDeliveryState::Done::Delivered ? "done delivered\n" : "done failed\n";
  return out;
}

bool ParseDeliveryState(const std::string& text, TDeliveryState& state) {
  state = TDeliveryState{};
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) return false;
  bool haveQueued = false;
  while (std::getline(in, line)) {
    size_t pos = 0;
    const std::string kind = Word(line, pos);
    if (kind == "queued") {
      const std::string text = line.substr(pos);
      char* end = nullptr;
      state.queuedAt = std::strtod(text.c_str(), &end);
      // Seconds since the epoch with milliseconds: anything beyond a 13-digit time is no
      // time this program wrote (and would not survive being written again).
      if (text.empty() || end != text.c_str() + text.size() || !(state.queuedAt >= 0) ||
          !(state.queuedAt < 1e12))
        return false;
      haveQueued = true;
    } else if (kind == "rcpt") {
      TRecipientProgress r;
      int notified = 0;
      if (!ParseState(Word(line, pos), r.state) || !ParseNumber(Word(line, pos), r.tries) ||
          !ParseNumber(Word(line, pos), r.nextTry) || !ParseNumber(Word(line, pos), r.lastTry) ||
          !ParseNumber(Word(line, pos), notified))
        return false;
      if (notified < 0 || notified > 2) return false;
      r.notified = notified != 0;
      r.neverNotified = notified == 2;
      if (!ParseAddressWord(Word(line, pos), r.address)) return false;
      r.reply = line.substr(pos);
      state.recipients.push_back(std::move(r));
    } else if (kind == "done") {
      const std::string how = line.substr(pos);
      if (how == "delivered")
        state.done = TDeliveryState::Done::Delivered;
      else if (how == "failed")
        state.done = TDeliveryState::Done::Failed;
      else
        return false;
    } else if (!line.empty()) {
      return false;
    }
  }
  return haveQueued && !state.recipients.empty();
}

std::string StateFileName(const std::string& stem) {
  return stem + ".DLV";
}

std::string SentFileName(const std::string& stem) {
  return stem + ".SENT";
}

std::string OneLineReply(const std::string& text) {
  std::string out;
  bool lineStart = false;  // blanks that indent a continuation line are dropped
  for (char c : text) {
    if (out.size() >= 500) break;
    if (c == '\r') continue;
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
      lineStart = true;
      continue;
    }
    if (lineStart && (c == ' ' || c == '\t')) continue;
    lineStart = false;
    if (c == '\t') c = ' ';
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || u >= 127) {
      // Whatever is not printable ASCII is shown by its value, so that no byte of a next
      // hop reaches the state file, syslog or a terminal as it came.
      if (out.size() + 4 > 500) break;
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
      continue;
    }
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

int64_t RetryDelaySeconds(uint32_t tries) {
  static constexpr int64_t kSteps[] = {60, 300, 900, 1800};
  if (tries >= 1 && tries <= 4) return kSteps[tries - 1];
  return tries == 0 ? 0 : 3600;
}

}  // namespace kestran
