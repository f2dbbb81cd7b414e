#include "smtp/smtp_esmtp.h"

#include <algorithm>

namespace kestran {
namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string Upper(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool IsKeywordChar(char c, bool first) {
  bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  return alnum || (!first && c == '-');
}

// KEYWORD=VALUE with a keyword of letters, digits and hyphens.
bool LooksLikeParam(const std::string& word) {
  size_t eq = word.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  for (size_t i = 0; i < eq; ++i)
    if (!IsKeywordChar(word[i], i == 0)) return false;
  return true;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && IsBlank(s.back())) s.pop_back();
  return s;
}

}  // namespace

TEsmtpArgument SplitEsmtpArgument(const std::string& arg) {
  TEsmtpArgument out;
  const size_t close = arg.rfind('>');
  if (close == std::string::npos) {
    // No angle brackets: peel KEYWORD=VALUE words off the end.
    std::string head = TrimRight(arg);
    std::vector<std::string> tail;
    for (;;) {
      size_t blank = head.find_last_of(" \t");
      if (blank == std::string::npos) break;
      std::string word = head.substr(blank + 1);
      if (!LooksLikeParam(word)) break;
      tail.push_back(word);
      head = TrimRight(head.substr(0, blank));
    }
    std::reverse(tail.begin(), tail.end());
    out.address = head;
    out.params = std::move(tail);
    return out;
  }
  out.address = arg.substr(0, close + 1);
  size_t i = close + 1;
  while (i < arg.size()) {
    if (IsBlank(arg[i])) {
      ++i;
      continue;
    }
    if (arg[i] == '(') {
      // A comment belongs to the address (it shows in the reply).
      size_t end = arg.find(')', i);
      end = end == std::string::npos ? arg.size() : end + 1;
      out.address += " " + arg.substr(i, end - i);
      i = end;
      continue;
    }
    size_t end = i;
    while (end < arg.size() && !IsBlank(arg[end])) ++end;
    out.params.push_back(arg.substr(i, end - i));
    i = end;
  }
  return out;
}

TMailParamResult CheckMailParams(const std::vector<std::string>& params, uint64_t maxSize) {
  bool sawSize = false;
  bool sawBody = false;
  for (const auto& p : params) {
    const size_t eq = p.find('=');
    const std::string key = Upper(p.substr(0, eq));
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? p.substr(eq + 1) : std::string();
    if (key == "SIZE") {
      if (sawSize || !hasValue || value.empty() || value.size() > 20 ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return TMailParamResult::SyntaxError;
      sawSize = true;
      // Twenty digits may exceed 64 bits: anything that long is above every limit.
      uint64_t n = 0;
      bool huge = false;
      for (char c : value) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (n > (UINT64_MAX - d) / 10) {
          huge = true;
          break;
        }
        n = n * 10 + d;
      }
      if (maxSize != 0 && (huge || n > maxSize)) return TMailParamResult::TooBig;
    } else if (key == "BODY") {
      if (sawBody || !hasValue) return TMailParamResult::SyntaxError;
      sawBody = true;
      const std::string body = Upper(value);
      if (body != "7BIT" && body != "8BITMIME") return TMailParamResult::Unrecognised;
    } else {
      return TMailParamResult::Unrecognised;
    }
  }
  return TMailParamResult::Accepted;
}

std::vector<std::string> EhloReply(const std::string& greeting, uint32_t maxSize, bool offerTls) {
  std::vector<std::string> keywords;
  keywords.push_back(maxSize == 0 ? "SIZE" : "SIZE " + std::to_string(maxSize));
  keywords.push_back("8BITMIME");
  keywords.push_back("PIPELINING");
  if (offerTls) keywords.push_back("STARTTLS");
  std::vector<std::string> lines;
  lines.push_back("250-" + greeting);
  for (size_t i = 0; i < keywords.size(); ++i)
    lines.push_back((i + 1 == keywords.size() ? "250 " : "250-") + keywords[i]);
  return lines;
}

std::string TlsDescription(const std::string& version, const std::string& cipher, int bits) {
  return version + ", cipher " + cipher + ", " + std::to_string(bits) + " bits";
}

std::string ReceivedProtocol(const TSMTPMsg& msg) {
  if (!msg.TlsInfo.empty()) return "ESMTPS (" + msg.TlsInfo + ")";
  return msg.Extended ? "ESMTP" : "SMTP";
}

}  // namespace kestran
