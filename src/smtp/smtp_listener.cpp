#include "smtp/smtp_listener.h"

#include "smtp/defdate.h"
#include "transport/conduit_errors.h"

namespace kestran {
namespace {

constexpr int kTimedOut = 10060;

// Every handler of a session runs on the session's thread; replies find its state here.
thread_local TConduitSMTPListener::TSessionContext* tSession = nullptr;

// Makes context the calling thread's session for the guard's life.
class TSessionGuard {
 public:
  explicit TSessionGuard(TConduitSMTPListener::TSessionContext& context) { tSession = &context; }
  ~TSessionGuard() { tSession = nullptr; }
  TSessionGuard(const TSessionGuard&) = delete;
  TSessionGuard& operator=(const TSessionGuard&) = delete;
};

std::string TrimWhite(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

std::string UpperAscii(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

bool HasLineControlCharacters(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    auto u = static_cast<unsigned char>(text[i]);
    if (u < 0x20 || u == 0x7f) return true;
    // NEL (C2 85), LINE SEPARATOR (E2 80 A8) and PARAGRAPH SEPARATOR (E2 80 A9).
    if (u == 0xc2 && text.compare(i + 1, 1, "\x85") == 0) return true;
    if (u == 0xe2 &&
        (text.compare(i + 1, 2, "\x80\xa8") == 0 || text.compare(i + 1, 2, "\x80\xa9") == 0))
      return true;
  }
  return false;
}

TConduitSMTPListener::TConduitSMTPListener(TConduitBase* owner) : TConduitListener(owner) {
  SetPort(25);
  // A receiver facing the open network never holds an unbounded line or waits on a
  // silent client for ever; the configuration may change both.
  SetMaxLineLength(kDefaultMaxLineLength);
  SetReceiveTimeout(kDefaultReceiveTimeout);
}

TConduitSMTPListener::~TConduitSMTPListener() = default;

const TConduitSMTPListener::TSessionContext* TConduitSMTPListener::CurrentSession() {
  return tSession;
}

void TConduitSMTPListener::SplitCommand(const std::string& line, std::string& verb,
                                        std::string& arg) {
  size_t blank = line.find(' ');
  if (blank == std::string::npos) {
    verb = line;
    arg.clear();
  } else {
    verb = line.substr(0, blank);
    arg = TrimWhite(line.substr(blank + 1));
  }
}

void TConduitSMTPListener::ClassifyClient(TSMTPMsg& msg) {
  msg.RelayAllowed = IsRelayAllowed(msg.SendingIP);
  msg.DenyReason.clear();
  if (msg.RelayAllowed) {
    msg.AccessDenied = false;
  } else if (CheckAccess(msg.SendingIP, msg.DenyReason)) {
    msg.AccessDenied = false;
  } else {
    msg.AccessDenied = true;
    if (OnLogFileEvent)
      OnLogFileEvent(LogTimeStamp() + " " + msg.SendingIP + " 554 access denied, " +
                     msg.DenyReason);
  }
  std::string name;
  VerifyDomain(msg.SendingIP, name);
  msg.VerifiedSendingDomain = name;
}

bool TConduitSMTPListener::DoExecute(TConduitServerThread* thread) {
  if (TConduitListener::DoExecute(thread)) return true;
  TConduitServer* conn = thread->Connection();
  // A connection that failed before its first command (the greeting could not be sent)
  // has no session; the thread ends because it is no longer connected.
  if (!conn->Connected()) return false;

  TSMTPMsg msg;
  msg.Reset(true);
  msg.SendingIP = conn->PeerAddress();
  TSessionContext context;
  context.msg = &msg;
  TSessionGuard guard(context);
  try {
    ClassifyClient(msg);
    while (conn->Connected()) {
      context.verb.clear();
      std::string line = conn->ReadLn();
      if (conn->LastLineTooLong()) {
        DoLineTooLong(thread);
        continue;
      }
      Dispatch(thread, msg, line);
    }
  } catch (const EConduitSocketError& e) {
    if (e.ErrorCode() == kTimedOut) {
      DoIdleTimeout(thread);
      return false;
    }
    conn->Disconnect();
    throw;
  } catch (...) {
    // A session that an error left is over: it is never started again on this
    // connection.
    conn->Disconnect();
    throw;
  }
  return false;
}

void TConduitSMTPListener::Dispatch(TConduitServerThread* thread, TSMTPMsg& msg,
                                    const std::string& line) {
  bool handled = false;
  std::string verb, arg;
  SplitCommand(line, verb, arg);
  verb = UpperAscii(verb);
  if (tSession != nullptr) tSession->verb = verb;

  // The argument is what reaches the queue files and the logs; control characters
  // trimmed off its ends with the blanks never do.
  if ((verb == "HELO" || verb == "MAIL" || verb == "RCPT") && HasLineControlCharacters(arg)) {
    DoControlCharacters(thread, verb);
    return;
  }
  if (DoExtendedCommand(thread, msg, verb, arg, line)) return;

  if (verb == "HELO") {
    DoCommandHELO(thread, arg, msg, handled);
  } else if (verb == "MAIL") {
    DoCommandMAIL(thread, arg, msg, handled);
  } else if (verb == "RCPT") {
    DoCommandRCPT(thread, arg, handled, msg);
  } else if (verb == "DATA") {
    DoCommandDATA(thread, msg, handled);
  } else if (verb == "SEND") {
    DoCommandSEND(thread, arg, msg, handled);
  } else if (verb == "SOML") {
    DoCommandSOML(thread, arg, msg, handled);
  } else if (verb == "SAML") {
    DoCommandSAML(thread, arg, msg, handled);
  } else if (verb == "RSET") {
    DoCommandRSET(thread, msg, handled);
  } else if (verb == "VRFY") {
    DoCommandVRFY(thread, arg, handled);
  } else if (verb == "EXPN") {
    DoCommandEXPN(thread, arg, handled);
  } else if (verb == "HELP") {
    DoCommandHELP(thread, arg, handled);
  } else if (verb == "NOOP") {
    DoCommandNOOP(thread, handled);
  } else if (verb == "QUIT") {
    DoCommandQUIT(thread, handled);
  } else if (verb == "TURN") {
    DoCommandTURN(thread, msg, handled);
  } else {
    DoCommandError(thread, line, handled);
  }
}

}  // namespace kestran
