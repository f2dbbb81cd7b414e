#include "smtp/enhanced_status.h"

#include <cstring>

namespace kestran {
namespace {

struct TCodeEntry {
  const char* verb;      // the command answered; "*" for any
  const char* number;    // the reply's number
  const char* fragment;  // a piece of the reply's text; "" for any text
  const char* code;
};

// First match wins: the entries for one command before those for any, and within a
// number the ones with a text before the one without.
constexpr TCodeEntry kCodes[] = {
    // MAIL
    {"MAIL", "250", "", "2.1.0"},
    {"MAIL", "553", "", "5.1.7"},
    {"MAIL", "555", "", "5.5.4"},
    {"MAIL", "450", "Too much mail", "4.7.0"},
    // RCPT
    {"RCPT", "250", "", "2.1.5"},
    {"RCPT", "550", "user not valid", "5.1.1"},
    {"RCPT", "550", "Relaying denied", "5.7.1"},
    {"RCPT", "452", "Too many recipients", "4.5.3"},
    {"RCPT", "450", "cannot be verified", "4.4.3"},
    {"RCPT", "553", "", "5.1.3"},
    {"RCPT", "555", "", "5.5.4"},
    // STARTTLS
    {"STARTTLS", "220", "", "2.0.0"},
    {"STARTTLS", "454", "", "4.7.0"},
    // EXPN is refused as a matter of policy.
    {"EXPN", "550", "", "5.7.1"},
    // DATA and BDAT, and what any command may get.
    {"*", "250", "Message received OK", "2.0.0"},
    {"*", "250", "octets received", "2.0.0"},
    {"*", "250", "", "2.0.0"},
    {"*", "221", "", "2.0.0"},
    {"*", "421", "idle too long", "4.4.2"},
    {"*", "421", "Too many invalid recipients", "4.7.0"},
    {"*", "421", "", "4.3.2"},
    {"*", "451", "", "4.3.0"},
    {"*", "452", "", "4.3.1"},
    {"*", "500", "", "5.5.2"},
    {"*", "501", "", "5.5.4"},
    {"*", "502", "", "5.5.1"},
    {"*", "503", "", "5.5.1"},
    {"*", "504", "", "5.5.4"},
    {"*", "552", "", "5.3.4"},
    {"*", "554", "access denied", "5.7.1"},
    {"*", "554", "Too many hops", "5.4.6"},
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Digits from i: at least one, at most max; returns the position after them or npos.
size_t Digits(const std::string& s, size_t i, size_t max) {
  size_t n = 0;
  while (i + n < s.size() && IsDigit(s[i + n])) ++n;
  return n == 0 || n > max ? std::string::npos : i + n;
}

}  // namespace

bool HasEnhancedStatusCode(const std::string& reply) {
  if (reply.size() < 9 || (reply[3] != ' ' && reply[3] != '-')) return false;
  size_t i = Digits(reply, 4, 1);
  if (i == std::string::npos || i >= reply.size() || reply[i] != '.') return false;
  i = Digits(reply, i + 1, 3);
  if (i == std::string::npos || i >= reply.size() || reply[i] != '.') return false;
  i = Digits(reply, i + 1, 3);
  return i != std::string::npos && (i == reply.size() || reply[i] == ' ');
}

std::string EnhancedStatusCode(const std::string& verb, const std::string& reply) {
  if (reply.size() < 3 || !IsDigit(reply[0]) || !IsDigit(reply[1]) || !IsDigit(reply[2])) return "";
  const char cls = reply[0];
  // Intermediate replies (354) take none; neither does the greeting EHLO or HELO gets.
  if (cls != '2' && cls != '4' && cls != '5') return "";
  if (cls == '2' && (verb == "EHLO" || verb == "HELO")) return "";
  const std::string number = reply.substr(0, 3);
  const std::string text = reply.size() > 4 ? reply.substr(4) : std::string();
  for (const auto& e : kCodes) {
    if (std::strcmp(e.verb, "*") != 0 && verb != e.verb) continue;
    if (number != e.number) continue;
    if (*e.fragment != '\0' && text.find(e.fragment) == std::string::npos) continue;
    return e.code;
  }
  // A reply not in the table still tells its class.
  return std::string(1, cls) + ".0.0";
}

std::string WithEnhancedStatusCode(const std::string& verb, const std::string& reply) {
  if (HasEnhancedStatusCode(reply)) return reply;
  const std::string code = EnhancedStatusCode(verb, reply);
  if (code.empty()) return reply;
  if (reply.size() <= 4)
    return reply.substr(0, 3) + (reply.size() == 4 ? reply.substr(3, 1) : " ") + code;
  return reply.substr(0, 4) + code + " " + reply.substr(4);
}

}  // namespace kestran
