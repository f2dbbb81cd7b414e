// The commands of extended SMTP: EHLO, STARTTLS, and MAIL and RCPT with parameters.

#include "platform/ip_address.h"
#include "smtp/address_parser.h"
#include "smtp/hop_limit.h"
#include "smtp/smtp_esmtp.h"
#include "smtp/smtp_server.h"
#include "smtp/smtp_utf8.h"
#include "transport/tls_layer.h"

namespace kestran {
namespace {

bool SameAscii(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

bool TConduitSMTPServer::TlsOffered(TConduitServerThread* thread) const {
  return tlsStore_ != nullptr && TlsAvailable() && !thread->Connection()->TlsActive();
}

bool TConduitSMTPServer::DoExtendedCommand(TConduitServerThread* thread, TSMTPMsg& msg,
                                           const std::string& verb, const std::string& arg,
                                           const std::string& /*line*/) {
  if (!P().Esmtp) return false;
  bool handled = false;
  if ((verb == "EHLO" || verb == "HELO") && arg.empty()) {
    // RFC 5321 asks for a domain or an address literal.
    Reply(thread, "501 5.5.4 Syntax: EHLO domain");
    if (logDebug_) DebugLog(verb + " says 501 5.5.4 Syntax: EHLO domain");
    return true;
  }
  if (verb == "EHLO") {
    if (HasLineControlCharacters(arg)) {
      DoControlCharacters(thread, verb);
    } else {
      DoCommandEHLO(thread, arg, msg, handled);
    }
    return true;
  }
  if (verb == "STARTTLS") {
    // Inside TLS the command is known but refused; where no certificate is configured it
    // stays an unrecognised command, as it is without extended SMTP.
    if (tlsStore_ == nullptr || !TlsAvailable()) return false;
    DoCommandSTARTTLS(thread, arg, msg);
    return true;
  }
  if (verb == "MAIL") {
    DoExtendedMAIL(thread, arg, msg);
    return true;
  }
  if (verb == "RCPT") {
    DoExtendedRCPT(thread, arg, msg);
    return true;
  }
  if (verb == "BDAT" && P().Chunking) {
    DoCommandBDAT(thread, arg, msg);
    return true;
  }
  if (verb == "DATA" && msg.Chunks.Active()) {
    // A message is sent one way or the other, never both.
    msg.Reset(false);
    Reply(thread, "503 DATA not allowed after BDAT");
    if (logDebug_) DebugLog("DATA says 503 DATA not allowed after BDAT");
    return true;
  }
  if (verb == "DATA" && !msg.MailAccepted) {
    Reply(thread, "503 Need MAIL before RCPT");
    if (logDebug_) DebugLog("DATA says 503 Need MAIL before RCPT");
    return true;
  }
  return false;
}

void TConduitSMTPServer::DoCommandEHLO(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg, bool& handled) {
  if (OnCommandHELO) OnCommandHELO(thread, arg, msg, handled);
  if (handled) return;
  // EHLO may come again at any time: it starts the session over as RSET does (RFC 5321
  // 4.1.4).
  msg.Reset(false);
  std::string text = arg + " (" + msg.VerifiedSendingDomain + " " + AddressLiteral(msg.SendingIP) +
                     ")" + (msg.AccessDenied ? ", access restricted" : "");
  std::vector<std::string> more;
  if (P().Chunking) more.push_back("CHUNKING");
  more.push_back("ENHANCEDSTATUSCODES");
  if (P().SmtpUtf8) more.push_back("SMTPUTF8");
  for (const auto& line : EhloReply("OK " + text, MessageSizeLimit(), TlsOffered(thread), more))
    Reply(thread, line);
  msg.SendingDomain = arg;
  msg.Extended = true;
  if (logDebug_) DebugLog("EHLO says 250 OK " + text);
}

void TConduitSMTPServer::DoCommandSTARTTLS(TConduitServerThread* thread, const std::string& arg,
                                           TSMTPMsg& msg) {
  TConduitServer* conn = thread->Connection();
  if (conn->TlsActive()) {
    Reply(thread, "503 TLS already active");
    if (logDebug_) DebugLog("STARTTLS says 503 TLS already active");
    return;
  }
  if (!arg.empty()) {
    Reply(thread, "501 Syntax error (no parameters allowed)");
    if (logDebug_) DebugLog("STARTTLS says 501 Syntax error (no parameters allowed)");
    return;
  }
  // Handshakes hold far more memory than sessions in clear text: beyond the bound the
  // client hears a temporary refusal and may go on without TLS. The slot is given back
  // however the handshake ends.
  TTlsCertStore::THandshakeSlot slot = tlsStore_->BeginHandshake(msg.SendingIP);
  if (!slot) {
    Reply(thread, "454 TLS not available due to temporary reason");
    if (logDebug_) DebugLog("STARTTLS says 454 TLS not available due to temporary reason");
    return;
  }
  std::shared_ptr<const TTlsServerContext> context = tlsStore_->Current();
  Reply(thread, "220 Ready to start TLS");
  if (logDebug_) DebugLog("STARTTLS says 220 Ready to start TLS");
  try {
    conn->StartTls(std::move(context));
  } catch (const EConduitException& e) {
    // Only this connection ends; the first line of a socket error's text says enough.
    std::string reason = e.Message();
    size_t eol = reason.find_first_of("\r\n");
    if (eol != std::string::npos) reason.resize(eol);
    Count(metrics_.TlsHandshakesFailed);
    tlsStore_->HandshakeFailed(msg.SendingIP, reason);
    conn->Disconnect();
    return;
  }
  Count(metrics_.TlsHandshakesOk);
  // The session starts over: nothing said in clear text carries into it.
  msg.Reset(false);
  msg.SendingDomain.clear();
  msg.Extended = false;
  const TTlsChannel* tls = conn->Tls();
  msg.TlsInfo = TlsDescription(tls->Version(), tls->Cipher(), tls->CipherBits());
}

void TConduitSMTPServer::DoExtendedMAIL(TConduitServerThread* thread, const std::string& arg,
                                        TSMTPMsg& msg) {
  bool handled = false;
  // MAIL starts a new transaction, whatever it is answered (RFC 5321 4.1.1.2).
  msg.Reset(false);
  TEsmtpArgument split = SplitEsmtpArgument(arg);
  // An over-long path is a syntax error whatever parameters follow it, answered with the
  // whole argument as every syntax error of the command is.
  if (split.malformed || PathTooLong(split.address)) {
    MailSyntaxError(thread, arg);
    return;
  }
  // SMTPUTF8 (when offered) is taken off here; the other parameters are checked below.
  bool utf8 = false;
  if (P().SmtpUtf8) {
    std::vector<std::string> rest;
    for (const auto& p : split.params) {
      if (!SameAscii(p, "SMTPUTF8")) {
        rest.push_back(p);
      } else if (utf8) {
        Reply(thread, "501 Syntax error in parameters");
        if (logDebug_) DebugLog("MAIL says 501 Syntax error in parameters");
        return;
      } else {
        utf8 = true;
      }
    }
    split.params.swap(rest);
  }
  msg.Utf8 = utf8;
  if (RefuseNonAscii(thread, "MAIL", split.address, msg)) return;
  if (split.params.empty()) {
    DoCommandMAIL(thread, utf8 ? split.address : arg, msg, handled);
    return;
  }
  switch (CheckMailParams(split.params, MessageSizeLimit())) {
    case TMailParamResult::Accepted:
      msg.DeclaredSize = DeclaredMessageSize(split.params);
      DoCommandMAIL(thread, split.address, msg, handled);
      return;
    case TMailParamResult::Unrecognised:
      Reply(thread, "555 MAIL FROM/RCPT TO parameters not recognized or not implemented");
      if (logDebug_) DebugLog("MAIL says 555 parameters not recognized or not implemented");
      return;
    case TMailParamResult::SyntaxError:
      Reply(thread, "501 Syntax error in parameters");
      if (logDebug_) DebugLog("MAIL says 501 Syntax error in parameters");
      return;
    case TMailParamResult::TooBig:
      Reply(thread, "552 Message size exceeds fixed maximum message size");
      if (logDebug_) DebugLog("MAIL says 552 Message size exceeds fixed maximum message size");
      return;
  }
}

void TConduitSMTPServer::DoExtendedRCPT(TConduitServerThread* thread, const std::string& arg,
                                        TSMTPMsg& msg) {
  bool handled = false;
  if (!msg.MailAccepted) {
    Reply(thread, "503 Need MAIL before RCPT");
    if (logDebug_) DebugLog("RCPT says 503 Need MAIL before RCPT");
    return;
  }
  TEsmtpArgument split = SplitEsmtpArgument(arg);
  if (split.malformed || PathTooLong(split.address)) {
    metrics_.CountRecipientRefused(TRecipientRefusal::Syntax);
    RcptSyntaxError(thread, arg);
    return;
  }
  if (RefuseNonAscii(thread, "RCPT", split.address, msg)) return;
  if (split.params.empty()) {
    DoCommandRCPT(thread, arg, handled, msg);
    return;
  }
  if (HasParamSyntaxError(split.params)) {
    Reply(thread, "501 Syntax error in parameters");
    if (logDebug_) DebugLog("RCPT says 501 Syntax error in parameters");
    return;
  }
  // No RCPT parameter is offered.
  Reply(thread, "555 MAIL FROM/RCPT TO parameters not recognized or not implemented");
  if (logDebug_) DebugLog("RCPT says 555 parameters not recognized or not implemented");
}

bool TConduitSMTPServer::RefuseLoop(TConduitServerThread* thread, TSMTPMsg& msg,
                                    const std::string& verb) {
  if (!TooManyHops(msg.Data.Scan(), P().MaxHops)) return false;
  msg.Reset(false);
  const std::string reply = TooManyHopsReply();
  Reply(thread, reply);
  if (logDebug_) DebugLog(verb + " says " + reply);
  return true;
}

bool TConduitSMTPServer::RefuseNonAscii(TConduitServerThread* thread, const std::string& verb,
                                        const std::string& address, const TSMTPMsg& msg) {
  const TAddressText text = CheckAddressText(address);
  if (text == TAddressText::Ascii) return false;
  if (text == TAddressText::Forbidden) {
    DoControlCharacters(thread, verb);
    return true;
  }
  std::string reply;
  if (!msg.Utf8) {
    reply = "553 5.6.7 Non-ASCII address without SMTPUTF8";
  } else if (text == TAddressText::Malformed) {
    reply = "553 Address is not valid UTF-8";
  } else {
    return false;
  }
  if (verb == "RCPT") metrics_.CountRecipientRefused(TRecipientRefusal::Syntax);
  Reply(thread, reply);
  if (logDebug_) DebugLog(verb + " says " + reply);
  return true;
}

}  // namespace kestran
