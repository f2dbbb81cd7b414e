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

// keyword["=" value]: a keyword of letters, digits and hyphens (not first), a value of
// printable characters other than "=" (RFC 5321 esmtp-param).
bool IsParamSyntax(const std::string& word) {
  const size_t eq = word.find('=');
  const size_t keyEnd = eq == std::string::npos ? word.size() : eq;
  if (keyEnd == 0) return false;
  for (size_t i = 0; i < keyEnd; ++i)
    if (!IsKeywordChar(word[i], i == 0)) return false;
  if (eq == std::string::npos) return true;
  for (size_t i = eq + 1; i < word.size(); ++i) {
    auto u = static_cast<unsigned char>(word[i]);
    if (u < 33 || u > 126 || word[i] == '=') return false;
  }
  return eq + 1 < word.size();
}

// Where the path begins: after a leading "FROM:" or "TO:" (any letter case) and blanks.
size_t PathStart(const std::string& arg) {
  size_t i = 0;
  for (const std::string prefix : {"FROM:", "TO:"}) {
    if (Upper(arg.substr(0, prefix.size())) == prefix) {
      i = prefix.size();
      break;
    }
  }
  while (i < arg.size() && IsBlank(arg[i])) ++i;
  return i;
}

// The first position from i on that holds one of stops outside a quoted string (a
// backslash inside quotes escapes the next character); npos when there is none.
size_t FindUnquoted(const std::string& s, size_t i, const std::string& stops) {
  bool quoted = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (quoted && c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && stops.find(c) != std::string::npos) {
      return i;
    }
  }
  return std::string::npos;
}

}  // namespace

TEsmtpArgument SplitEsmtpArgument(const std::string& arg) {
  TEsmtpArgument out;
  const size_t start = PathStart(arg);
  if (start == arg.size()) {
    out.address = arg;
    out.malformed = true;
    return out;
  }
  size_t i = 0;
  const size_t open = FindUnquoted(arg, start, "<");
  if (open != std::string::npos) {
    // The path ends at the ">" that closes its "<".
    const size_t close = FindUnquoted(arg, open + 1, ">");
    if (close == std::string::npos) {
      out.address = arg;
      out.malformed = true;
      return out;
    }
    i = close + 1;
  } else {
    // A path without angle brackets is one word.
    i = FindUnquoted(arg, start, " \t");
    if (i == std::string::npos) i = arg.size();
  }
  out.address = arg.substr(0, i);
  while (i < arg.size()) {
    if (IsBlank(arg[i])) {
      ++i;
      continue;
    }
    const size_t closeParen = arg[i] == '(' ? arg.find(')', i) : std::string::npos;
    if (closeParen != std::string::npos) {
      // A comment belongs to the address (it shows in the reply).
      out.address += " " + arg.substr(i, closeParen + 1 - i);
      i = closeParen + 1;
      continue;
    }
    // Anything else, an unclosed "(" included, is a parameter.
    size_t end = i;
    while (end < arg.size() && !IsBlank(arg[end])) ++end;
    out.params.push_back(arg.substr(i, end - i));
    i = end;
  }
  return out;
}

bool HasParamSyntaxError(const std::vector<std::string>& params) {
  return !std::all_of(params.begin(), params.end(), IsParamSyntax);
}

TMailParamResult CheckMailParams(const std::vector<std::string>& params, uint64_t maxSize) {
  bool sawSize = false;
  bool sawBody = false;
  for (const auto& p : params) {
    if (!IsParamSyntax(p)) return TMailParamResult::SyntaxError;
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

std::vector<std::string> EhloReply(const std::string& greeting, uint32_t maxSize, bool offerTls,
                                   const std::vector<std::string>& more) {
  std::vector<std::string> keywords;
  keywords.push_back(maxSize == 0 ? "SIZE" : "SIZE " + std::to_string(maxSize));
  keywords.push_back("8BITMIME");
  keywords.push_back("PIPELINING");
  keywords.insert(keywords.end(), more.begin(), more.end());
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
  // A transaction with SMTPUTF8 says so (RFC 6531 4.3).
  const std::string base = msg.Utf8 ? "UTF8SMTP" : "ESMTP";
  if (!msg.TlsInfo.empty()) return base + "S (" + msg.TlsInfo + ")";
  return msg.Extended || msg.Utf8 ? base : "SMTP";
}

}  // namespace kestran
