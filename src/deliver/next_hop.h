#pragma once
// Where mail is handed on: the text of DeliverTo and BounceTo.
//   lmtp:unix:/run/dovecot/lmtp   LMTP over a local socket
//   lmtp:[host]:port              LMTP over TCP
//   smtp:[host]:port              SMTP to a next-hop MTA
//   sendmail:/usr/sbin/sendmail   a local sendmail-compatible program

#include <cstdint>
#include <optional>
#include <string>

namespace kestran {

struct TNextHop {
  enum class Kind { Lmtp, Smtp, Sendmail };
  Kind kind = Kind::Lmtp;
  std::string path;  // the socket of lmtp:unix:, the program of sendmail:
  std::string host;  // lmtp: and smtp: over TCP
  uint16_t port = 0;

  bool OverTcp() const { return kind != Kind::Sendmail && path.empty(); }
  // As it appears in the relay= field of the delivery log: "lmtp:/run/dovecot/lmtp",
  // "smtp:[127.0.0.1]:10025", "sendmail:/usr/sbin/sendmail".
  std::string RelayName() const;
};

// Nothing for a text that names no transport in one of the forms above (blanks around
// the text are ignored).
std::optional<TNextHop> ParseNextHop(const std::string& text);

}  // namespace kestran
