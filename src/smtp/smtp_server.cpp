#include "smtp/smtp_server.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "platform/files.h"
#include "platform/ip_address.h"
#include "platform/resolver_common.h"
#include "smtp/address_parser.h"
#include "smtp/defdate.h"
#include "smtp/dnsbl.h"
#include "smtp/enhanced_status.h"
#include "smtp/host_name.h"
#include "smtp/queue_writer.h"
#include "smtp/smtp_debug_log.h"
#include "smtp/smtp_utf8.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

// A taken name makes the intake draw the next number, at most this many times.
constexpr int kMaxNameRedraws = 100;

using resolver_common::Trim;

std::string Upper(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool SameText(const std::string& a, const std::string& b) {
  return Upper(a) == Upper(b);
}

// domain (whose A-label is aLabel when it is beyond ASCII) and entry name the same domain
// once both are in their A-label form.
bool SameALabel(const std::string& domain, const std::string& aLabel, const std::string& entry) {
  const bool entryAscii = IsAscii(entry);
  if (aLabel.empty() && entryAscii) return false;  // compared as text already
  const std::string left = aLabel.empty() ? domain : aLabel;
  const std::string right = entryAscii ? entry : DomainALabel(entry);
  return !left.empty() && !right.empty() && SameText(left, right);
}

}  // namespace

namespace {

// The policy the session on this thread started with, and the server it belongs to.
struct TSessionPolicy {
  const TConduitSMTPServer* server = nullptr;
  std::shared_ptr<const TSmtpPolicy> policy;
};
thread_local TSessionPolicy sessionPolicy;

}  // namespace

const TSmtpPolicy& TConduitSMTPServer::P() const {
  const TSessionPolicy& session = sessionPolicy;
  if (session.server == this && session.policy) return *session.policy;
  return policy_;
}

std::shared_ptr<const TSmtpPolicy> TConduitSMTPServer::PublishedPolicy() const {
  std::lock_guard<std::mutex> g(policyLock_);
  if (policyChanged_ || !published_) {
    published_ = std::make_shared<const TSmtpPolicy>(policy_);
    policyChanged_ = false;
  }
  return published_;
}

TConduitSMTPServer::TConduitSMTPServer(TConduitBase* owner)
    : TConduitSMTPListener(owner), hostName_(MachineHostName()) {}

TConduitSMTPServer::~TConduitSMTPServer() {
  // Sessions call back into this object: end them before its members go.
  try {
    SetActive(false);
  } catch (const std::exception&) {
    // The listening socket is closed by the base class all the same.
  }
  Threads().StopAll();
}

void TConduitSMTPServer::Reply(TConduitServerThread* thread, const std::string& text) {
  // After EHLO a reply carries its enhanced status code.
  const TSessionContext* session = CurrentSession();
  if (P().Esmtp && session != nullptr && session->msg->Extended) {
    const std::string coded = WithEnhancedStatusCode(session->verb, text);
    thread->Connection()->WriteLn(coded);
    metrics_.CountReplyLine(coded);
    return;
  }
  thread->Connection()->WriteLn(text);
  metrics_.CountReplyLine(text);
}

void TConduitSMTPServer::MailSyntaxError(TConduitServerThread* thread, const std::string& arg) {
  Reply(thread, "501 Syntax Error in MAIL " + arg);
  if (logDebug_) DebugLog("MAIL says 501 syntax error " + arg);
}

void TConduitSMTPServer::RcptSyntaxError(TConduitServerThread* thread, const std::string& arg) {
  Reply(thread, "501 Syntax Error in RCPT " + arg);
  if (logDebug_) DebugLog("RCPT says 501 syntax error " + arg);
}

void TConduitSMTPServer::SetMaxEnvelopeMemoryMB(uint32_t v) {
  maxEnvelopeMemoryMB_ = v;
  envelopeBudget_.SetLimit(uint64_t{v} << 20);
}

namespace {

// The free space kept for new transactions, and the floor below which not even a body
// under way takes more: the reserve less one message (half the reserve without a size
// limit).
void QueueRoomLimits(uint32_t minFreeSpaceMB, uint32_t maxMessageSize, uint64_t& minFree,
                     uint64_t& floor) {
  const uint64_t reserve = uint64_t{minFreeSpaceMB} << 20;
  minFree = reserve;
  if (minFree != 0 && maxMessageSize != 0)
    minFree = std::max<uint64_t>(minFree, uint64_t{maxMessageSize} * 3 / 2);
  const uint64_t margin = maxMessageSize != 0 ? uint64_t{maxMessageSize} : reserve / 2;
  floor = reserve > margin ? reserve - margin : 0;
}

}  // namespace

void TConduitSMTPServer::SetQueueRoom(uint32_t maxQueuedMessages, uint32_t minFreeSpaceMB) {
  uint64_t minFree = 0, floor = 0;
  QueueRoomLimits(minFreeSpaceMB, P().MaxMessageSize, minFree, floor);
  queueRoom_.Configure(mailWriteDir_, maxQueuedMessages, minFree, floor);
}

void TConduitSMTPServer::SetQueueRoomLimits(uint32_t maxQueuedMessages, uint32_t minFreeSpaceMB) {
  uint64_t minFree = 0, floor = 0;
  QueueRoomLimits(minFreeSpaceMB, P().MaxMessageSize, minFree, floor);
  queueRoom_.SetLimits(maxQueuedMessages, minFree, floor);
}

void TConduitSMTPServer::DebugLog(const std::string& text) {
  AppendDebugLog(mailWriteDir_, text);
}

void TConduitSMTPServer::LogEntry(const std::string& entry) {
  if (OnLogFileEvent) OnLogFileEvent(entry);
}

// --- connection start ------------------------------------------------------------------

std::string TConduitSMTPServer::GreetingLine() const {
  return "220 " + hostName_ + " KESTRAN SMTP Receiver Version 0.45 Ready";
}

void TConduitSMTPServer::DoConnect(TConduitServerThread* thread) {
  // The session keeps the policy in force now to its end.
  sessionPolicy = TSessionPolicy{this, PublishedPolicy()};
  Count(metrics_.ConnectionsAccepted);
  TConduitSMTPListener::DoConnect(thread);
  if (!AdmitConnection(thread)) return;
  try {
    Reply(thread, GreetingLine());
  } catch (const EConduitException&) {
    // The client left before the greeting: there is no session to hold.
    thread->Connection()->Disconnect();
    return;
  }
  // With extended SMTP a client may pipeline; its replies leave together.
  thread->Connection()->SetCoalesceWrites(P().Esmtp);
  if (logDebug_) {
    DebugLog("");
    DebugLog("");
    DebugLog("Connect says 220 " + hostName_ + " KESTRAN SMTP Receiver Service 0.45 Ready");
  }
}

bool TConduitSMTPServer::ExpectsProxyHeader(const std::string& address) {
  // On the accept thread: the policy new sessions take.
  const std::shared_ptr<const TSmtpPolicy> policy = PublishedPolicy();
  return !policy->ProxyNets.empty() && InNetList(address, policy->ProxyNets);
}

// --- policy ----------------------------------------------------------------------------

void TConduitSMTPServer::DoDisconnect(TConduitServerThread* thread) {
  Count(metrics_.ConnectionsClosed);
  // A parked thread keeps no policy.
  struct TForget {
    ~TForget() { sessionPolicy = TSessionPolicy{}; }
  } forget;
  TConduitSMTPListener::DoDisconnect(thread);
}

bool TConduitSMTPServer::IsRelayAllowed(const std::string& ip) {
  if (InNetList(ip, P().LocalNets)) return true;
  return CheckPopAuth(ip);
}

bool TConduitSMTPServer::CheckPopAuth(const std::string& ip) {
  if (!P().DoPOPAuth || !OnPopAuth) return false;
  bool valid = false, handled = false;
  OnPopAuth(ip, valid, handled);
  if (!handled || !valid) return false;
  Count(metrics_.PopRelays);
  return true;
}

bool TConduitSMTPServer::CheckAccess(const std::string& ip, std::string& reason) {
  if (InNetList(ip, P().WhiteList)) return true;
  if (InNetList(ip, P().LocalBlackList)) {
    Count(metrics_.RefusedByBlackList);
    reason = P().LocalBlackListNotice;
    return false;
  }
  if (P().DoDNSLists &&
      CheckDNSBlockLists(ip, P().DNSLists, P().HeaderText, reason, P().DNSListsIPv6, &metrics_))
    return false;
  return true;
}

void TConduitSMTPServer::VerifyDomain(const std::string& ip, std::string& name) {
  name = "unverified";
  if (!P().DoVerifyDomain) return;
  std::string found;
  try {
    found = Trim(HostNameOf(ip));
  } catch (const EConduitSocketError& e) {
    metrics_.CountReverseLookup(LookupFailure(e.ErrorCode()));
    return;
  } catch (const EConduitException&) {
    metrics_.CountReverseLookup(TLookupResult::Error);
    return;
  }
  metrics_.CountReverseLookup(found.empty() ? TLookupResult::NotFound : TLookupResult::Found);
  // A name that could add a line to a header or a reply is not taken.
  if (!found.empty() && !HasControlCharacters(found)) name = found;
}

bool TConduitSMTPServer::QueueHasRoom() {
  if (!queueRoom_.Enabled()) return true;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return queueRoom_.HasRoom(static_cast<int64_t>(now.count()));
}

bool TConduitSMTPServer::QueueHasSpace() {
  if (!queueRoom_.Enabled()) return true;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return queueRoom_.HasSpace(static_cast<int64_t>(now.count()));
}

bool TConduitSMTPServer::IsLocalDomain(const std::string& domain) {
  std::string d = Trim(domain);
  // An IPv6 address literal matches an entry with the same address in any spelling.
  std::optional<TIpAddress> literal;
  if (d.find(':') != std::string::npos) literal = ParseAddressLiteral(d);
  // With extended SMTP a domain beyond ASCII matches by its A-label, either way round.
  const std::string aLabel = P().Esmtp && !IsAscii(d) ? DomainALabel(d) : std::string();
  for (const auto& entry : P().LocalDomains) {
    const std::string e = Trim(entry);
    if (SameText(d, e) || (literal && literal == ParseAddressLiteral(e)) ||
        (P().Esmtp && SameALabel(d, aLabel, e))) {
      if (logDebug_) DebugLog("IsLocalDomain says LocalDomain Is True");
      return true;
    }
  }
  return false;
}

bool TConduitSMTPServer::IsValidUser(const std::string& address) {
  std::string a = Upper(Trim(address));
  std::string d;
  size_t at = a.find('@');
  if (at != std::string::npos) {
    d = a.substr(at + 1);
    for (const auto& entry : P().SkipUserVerify)
      if (Upper(Trim(entry)) == d) return true;
    a = a.substr(0, at);
  }
  if (pluginUsers_.Valid(a, d)) return true;
  for (const auto& entry : P().LocalUsers)
    if (Upper(Trim(entry)) == a) return true;
  return false;
}

// --- commands --------------------------------------------------------------------------

void TConduitSMTPServer::DoCommandHELO(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg, bool& handled) {
  if (OnCommandHELO) OnCommandHELO(thread, arg, msg, handled);
  if (handled) return;
  if (!msg.SendingDomain.empty()) {
    Reply(thread, "503 HELO Command is out of sequence");
    if (logDebug_) DebugLog("HELO says 503 Bad Command Sequence");
    return;
  }
  std::string text = arg + " (" + msg.VerifiedSendingDomain + " " + AddressLiteral(msg.SendingIP) +
                     ")" + (msg.AccessDenied ? ", access restricted" : "");
  Reply(thread, "250 OK " + text);
  msg.SendingDomain = arg;
  if (logDebug_) DebugLog("HELO says 250 OK " + text);
}

void TConduitSMTPServer::DoCommandMAIL(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg, bool& handled) {
  if (OnCommandMAIL) OnCommandMAIL(thread, arg, msg, handled);
  if (handled) return;
  if (!AdmitMail(thread, msg)) return;
  if (PathTooLong(arg)) {
    MailSyntaxError(thread, arg);
    return;
  }
  // The transaction holds its room before it asks, so that sessions asking at once see
  // one another.
  if (queueRoom_.Enabled())
    msg.Room.Hold(&queueRoom_, std::max(msg.DeclaredSize, TSpaceReservation::kMinimum));
  if (!QueueHasRoom()) {
    msg.Room.Release();
    Count(metrics_.StorageRefusals);
    Reply(thread, "452 4.3.1 Insufficient system storage");
    if (logDebug_) DebugLog("MAIL says 452 4.3.1 Insufficient system storage");
    return;
  }
  std::string domain, display, address;
  msg.MailAccepted = true;
  if (ParseAddress(arg, domain, display, address)) {
    msg.FromStr = address;
    Reply(thread, "250 OK " + display);
    if (logDebug_) DebugLog("MAIL says 250 OK " + display);
  } else {
    std::string a = arg;
    StripAddressPrefix(a);
    msg.FromStr = a;
    Reply(thread, "250 OK " + a);
    if (logDebug_) DebugLog("MAIL says 250 OK " + a);
  }
}

void TConduitSMTPServer::DoCommandRCPT(TConduitServerThread* thread, const std::string& arg,
                                       bool& handled, TSMTPMsg& msg) {
  if (OnCommandRCPT) OnCommandRCPT(thread, arg, msg, handled);
  if (handled) return;
  if (!AdmitRecipient(thread, msg)) return;
  std::string domain, display, address;
  // A bare <postmaster> goes to the first local domain's (the host's without one).
  const std::string postmasterDomain =
      P().LocalDomains.empty() ? hostName_ : Trim(P().LocalDomains.front());
  if (PathTooLong(arg) || !ParseRecipient(arg, postmasterDomain, domain, display, address)) {
    metrics_.CountRecipientRefused(TRecipientRefusal::Syntax);
    RcptSyntaxError(thread, arg);
    return;
  }
  tRecipientRec rec;
  rec.ToStr = arg;
  rec.Address = address;
  rec.IsLocal = IsLocalDomain(domain);

  if (msg.AccessDenied) {
    metrics_.CountRecipientRefused(TRecipientRefusal::AccessDenied);
    Reply(thread, "554 access denied, " + msg.DenyReason);
    if (logDebug_) DebugLog("Dump says 554 access denied, " + msg.DenyReason);
    return;
  }
  if (rec.IsLocal) {
    const TVerifyAnswer answer = P().CheckUser && !IsValidUser(rec.Address)
                                     ? TVerifyAnswer::Invalid
                                     : AskMailboxSide(rec.Address);
    if (answer == TVerifyAnswer::Unknown) {
      RecipientNotVerified(thread, rec.Address);
      return;
    }
    if (answer == TVerifyAnswer::Invalid) {
      metrics_.CountRecipientRefused(TRecipientRefusal::UnknownUser);
      ++msg.BadRecipients;
      // The entry is made before the reply, so whoever saw the reply finds it logged.
      if (P().ExtendedErrorRecording)
        LogEntry(LogTimeStamp() + " " + msg.SendingIP + " 550 <" + rec.Address +
                 "> user not valid");
      Reply(thread, "550 <" + rec.Address + ">... user not valid");
      if (logDebug_) DebugLog("RCPT says 550 <" + rec.Address + ">... user not valid");
      return;
    }
  } else if (!msg.RelayAllowed && !P().ForwardMail) {
    metrics_.CountRecipientRefused(TRecipientRefusal::RelayingDenied);
    ++msg.BadRecipients;
    if (P().ExtendedErrorRecording)
      LogEntry(LogTimeStamp() + " " + msg.SendingIP + " 550 <" + rec.Address + "> relaying denied");
    Reply(thread, "550 <" + rec.Address + ">... Relaying denied");
    if (logDebug_) DebugLog("RCPT says 550 <" + rec.Address + ">... Relaying denied");
    return;
  }
  // Past the limit of the transaction, or of all transactions together.
  if ((P().MaxRecipients != 0 &&
       static_cast<uint32_t>(msg.Recipients.Count()) >= P().MaxRecipients) ||
      !msg.Envelope.Take(envelopeBudget_, EnvelopeBytes(rec))) {
    metrics_.CountRecipientRefused(TRecipientRefusal::TooMany);
    Reply(thread, "452 Too many recipients");
    if (logDebug_) DebugLog("RCPT says 452 Too many recipients");
    return;
  }
  Reply(thread, "250 OK " + display);
  if (logDebug_) DebugLog("RCPT says 250 OK " + display);
  msg.Recipients.Add(rec);
  Count(metrics_.RecipientsAccepted);
}

void TConduitSMTPServer::DoCommandSEND(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg, bool& handled) {
  if (OnCommandSEND) OnCommandSEND(thread, arg, msg, handled);
  if (handled) return;
  Reply(thread, "502 SEND messaging prohibited.");
  if (logDebug_) DebugLog("SEND says 502 messaging prohibited.");
}

void TConduitSMTPServer::DoCommandSOML(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg, bool& handled) {
  if (OnCommandSOML) OnCommandSOML(thread, arg, msg, handled);
  if (handled) return;
  Reply(thread, "502 SOML messaging prohibited.");
  if (logDebug_) DebugLog("SOML says 502 messaging prohibited.");
}

void TConduitSMTPServer::DoCommandSAML(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg, bool& handled) {
  if (OnCommandSAML) OnCommandSAML(thread, arg, msg, handled);
  if (handled) return;
  Reply(thread, "502 SAML messaging prohibited.");
  if (logDebug_) DebugLog("SAML says 502 messaging prohibited.");
}

void TConduitSMTPServer::DoCommandRSET(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) {
  if (OnCommandRSET) OnCommandRSET(thread, msg, handled);
  if (handled) return;
  Reply(thread, "250 OK Reset Completed");
  msg.Reset(false);
  if (logDebug_) DebugLog("RSET says 250 OK");
}

void TConduitSMTPServer::DoCommandVRFY(TConduitServerThread* thread, const std::string& arg,
                                       bool& handled) {
  if (OnCommandVRFY) OnCommandVRFY(thread, arg, handled);
  if (handled) return;
  Reply(thread, "250 OK " + arg);
  if (logDebug_) DebugLog("VRFY says 250 OK " + arg);
}

void TConduitSMTPServer::DoCommandEXPN(TConduitServerThread* thread, const std::string& arg,
                                       bool& handled) {
  if (OnCommandEXPN) OnCommandEXPN(thread, arg, handled);
  if (handled) return;
  Reply(thread, "550 EXPN Access Denied");
  if (logDebug_) DebugLog("EXPN says 550 Access Denied");
}

void TConduitSMTPServer::DoCommandHELP(TConduitServerThread* thread, const std::string& arg,
                                       bool& handled) {
  if (OnCommandHELP) OnCommandHELP(thread, arg, handled);
  if (handled) return;
  Reply(thread, "502 HELP no help available.");
  if (logDebug_) DebugLog("HELP says 502 no help available.");
}

void TConduitSMTPServer::DoCommandNOOP(TConduitServerThread* thread, bool& handled) {
  if (OnCommandNOOP) OnCommandNOOP(thread, handled);
  if (handled) return;
  Reply(thread, "250 NOOP Performed");
  if (logDebug_) DebugLog("NOOP says 250 NOOP Performed");
}

void TConduitSMTPServer::DoCommandQUIT(TConduitServerThread* thread, bool& handled) {
  TConduitServer* conn = thread->Connection();
  try {
    if (OnCommandQUIT) OnCommandQUIT(thread, handled);
    if (!handled) {
      Reply(thread, "221 " + hostName_ + " closing");
      if (logDebug_) DebugLog("QUIT says 221 " + hostName_ + " closing");
    }
  } catch (const EConduitException&) {
    // The reply could not be sent; the connection is closed all the same.
  }
  conn->Disconnect();
}

void TConduitSMTPServer::DoCommandTURN(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) {
  if (OnCommandTURN) OnCommandTURN(thread, msg, handled);
  if (handled) return;
  Reply(thread, "502 TURN prohibited.");
  if (logDebug_) DebugLog("TURN Says 502  prohibited.");
}

void TConduitSMTPServer::DoCommandError(TConduitServerThread* thread, const std::string& line,
                                        bool& handled) {
  if (OnCommandError) OnCommandError(thread, line, handled);
  if (handled) return;
  Reply(thread, "500 Syntax Error, Command Unrecognized " + line);
  if (logDebug_) DebugLog("Command Error says 500 Syntax error, command Unrecognized " + line);
}

void TConduitSMTPServer::DoLineTooLong(TConduitServerThread* thread) {
  Reply(thread, "500 Line too long");
  if (logDebug_) DebugLog("Command Error says 500 Line too long");
}

void TConduitSMTPServer::DoControlCharacters(TConduitServerThread* thread,
                                             const std::string& verb) {
  Reply(thread, "501 Syntax error, control characters in argument");
  if (logDebug_) DebugLog(verb + " says 501 Syntax error, control characters in argument");
}

void TConduitSMTPServer::DoTooManyConnections(TConduitServer* connection) {
  Count(metrics_.RefusedByLimit);
  try {
    connection->WriteLn("421 " + hostName_ + " Too many connections, try again later");
    metrics_.CountReply(421);
  } catch (const EConduitException&) {
    // The client left already.
  }
}

void TConduitSMTPServer::DoIdleTimeout(TConduitServerThread* thread) {
  TConduitServer* conn = thread->Connection();
  try {
    Reply(thread, "421 " + hostName_ + " closing, idle too long");
  } catch (const EConduitException&) {
    // Best effort: a client that reads nothing does not get it.
  }
  conn->Disconnect();
}

// --- DATA ------------------------------------------------------------------------------

TConduitSMTPServer::BodyState TConduitSMTPServer::ReadBody(TConduitServerThread* thread,
                                                           TSMTPMsg& msg) {
  TConduitServer* conn = thread->Connection();
  BodyState state = BodyState::Kept;
  const uint64_t limit = MessageSizeLimit();
  TMessageBody& body = msg.Data;
  body.Start(QueueDirPrefix(mailWriteDir_));
  // The message as its SIZE counts it (RFC 1870): without the dots added for transparency,
  // which the stored lines keep.
  uint64_t size = 0;
  for (;;) {
    std::string line = conn->ReadLn();
    const bool tooLong = conn->LastLineTooLong();
    if (!tooLong && line == ".") break;
    if (logDebug_) DebugLog("DATA says " + line);
    if (state != BodyState::Kept) continue;
    const uint64_t counted = line.size() + 2 - (line.empty() || line[0] != '.' ? 0 : 1);
    if (tooLong) {
      state = BodyState::LineTooLong;
    } else if (limit != 0 && size + counted > limit) {
      state = BodyState::TooBig;
    } else if (!msg.Room.GrowTo(
                   BodyFootprint(body.Size() + line.size() + 2, TMessageBody::kMemoryPart) +
                   TSpaceReservation::kMinimum)) {
      state = BodyState::NoRoom;
    } else if (!body.AppendLine(line)) {
      state = BodyState::NotKept;
    }
    size += counted;
    // Nothing more is kept: the memory and the scratch file go at once.
    if (state != BodyState::Kept) body.Clear();
  }
  if (logDebug_) DebugLog("DATA says .");
  if (state == BodyState::Kept && !body.AppendLine(".")) state = BodyState::NotKept;
  return state;
}

void TConduitSMTPServer::DoCommandDATA(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) {
  if (OnCommandDATA) OnCommandDATA(thread, msg, handled);
  if (handled) return;
  if (msg.AccessDenied) {
    Reply(thread, "554 access denied, " + msg.DenyReason);
    if (logDebug_) DebugLog("DATA says 554 access denied, " + msg.DenyReason);
    return;
  }
  if (msg.Recipients.Count() == 0) {
    Reply(thread, "503 No valid recipients specified");
    if (logDebug_) DebugLog("DATA says 503 No valid recipients specified");
    return;
  }
  if (!QueueHasSpace()) {
    // The transaction is over: what it held goes back at once.
    msg.Reset(false);
    Count(metrics_.StorageRefusals);
    Reply(thread, "452 4.3.1 Insufficient system storage");
    if (logDebug_) DebugLog("DATA says 452 4.3.1 Insufficient system storage");
    return;
  }
  Reply(thread, "354 Ready for data");
  if (logDebug_) DebugLog("DATA says 354 Ready for data");
  // While this body comes in, a flush of the queue about to begin may wait to take it too.
  const TDirectorySync::TExpected coming =
      TQueueWriter(mailWriteDir_, syncQueueFiles_).ExpectPair();

  BodyState state = ReadBody(thread, msg);
  if (state == BodyState::LineTooLong) {
    msg.Reset(false);
    Reply(thread, "500 Line too long");
    if (logDebug_) DebugLog("DATA says 500 Line too long");
    return;
  }
  if (state == BodyState::TooBig) {
    msg.Reset(false);
    Reply(thread, "552 Message exceeds the size limit");
    if (logDebug_) DebugLog("DATA says 552 Message exceeds the size limit");
    return;
  }
  if (state == BodyState::NoRoom) {
    msg.Reset(false);
    Count(metrics_.StorageRefusals);
    Reply(thread, "452 4.3.1 Insufficient system storage");
    if (logDebug_) DebugLog("DATA says 452 4.3.1 Insufficient system storage");
    return;
  }
  if (state == BodyState::Kept && RefuseLoop(thread, msg, "DATA")) return;
  // A body that could not be kept is not numbered: the client may send it again.
  bool stored = state == BodyState::Kept && StoreMessage(thread, msg);
  CountIntake(thread, msg, stored);
  msg.Reset(false);
  if (stored) {
    Reply(thread, "250 Message received OK");
    if (logDebug_) DebugLog("DATA says 250 Message received OK");
  } else {
    Reply(thread, "451 ERR Requested Action Aborted");
    if (logDebug_) DebugLog("DATA says 451  ERR Requested Action Aborted");
  }
}

void TConduitSMTPServer::CountIntake(TConduitServerThread* thread, const TSMTPMsg& msg,
                                     bool stored) {
  if (!stored) {
    Count(metrics_.StoreFailures);
    return;
  }
  Count(metrics_.MessagesQueued);
  Count(metrics_.BytesQueued, msg.Data.Size());
  if (const TTlsChannel* tls = thread->Connection()->Tls())
    metrics_.CountTlsMessage(tls->Version());
}

int32_t TConduitSMTPServer::GetNextID() {
  int32_t id = 0;
  bool handled = false;
  if (OnNextIDEvent) OnNextIDEvent(id, handled);
  return handled ? id : 1;
}

bool TConduitSMTPServer::StoreMessage(TConduitServerThread* /*thread*/, TSMTPMsg& msg) {
  if (msg.Recipients.Count() == 0) return false;
  int64_t last = 0;
  for (int attempt = 0; attempt <= kMaxNameRedraws; ++attempt) {
    int64_t number = GetNextID();
    // A source that keeps giving the same (or an older) number is stepped past the
    // names already found taken; after the last name, numbering starts again at 1.
    if (attempt > 0 && number <= last) number = last < INT32_MAX ? last + 1 : 1;
    // Only 0..2147483647 give the "B" + ten digits name that the host reads; a counter
    // that has run past its range must not queue a message under another name.
    if (number < 0 || number > INT32_MAX) return false;
    last = number;
    msg.MsgId = FormatMsgId(static_cast<int32_t>(number));
    switch (WriteQueuePair(msg)) {
      case WriteResult::Written:
        return true;
      case WriteResult::Failed:
        return false;
      case WriteResult::NameTaken:
        break;
    }
  }
  return false;
}

bool TConduitSMTPServer::WriteMsgToFile(TSMTPMsg& msg) {
  return msg.Recipients.Count() > 0 && WriteQueuePair(msg) == WriteResult::Written;
}

TConduitSMTPServer::WriteResult TConduitSMTPServer::WriteQueuePair(TSMTPMsg& msg) {
  if (msg.Recipients.Count() == 0) return WriteResult::Failed;
  if (msg.Data.Failed()) return WriteResult::Failed;
  TQueueWriter writer(mailWriteDir_, syncQueueFiles_);
  const std::string header = BuildTraceHeader(msg, hostName_, RFC822Date(), msg.Data.Scan());
  if (logDebug_) {
    DebugLog("WriteMsgToFile says finame is " + writer.MessagePath(msg.MsgId));
    DebugLog("WriteMsgToFile says finame is " + writer.RecipientPath(msg.MsgId));
  }
  TQueueWriter::Outcome outcome;
  TQueueFault fault;
  size_t rcpSize = 0;
  {
    // The envelope of many long recipients is large: it is gone before the log entry,
    // which repeats the addresses, is made.
    const std::string rcp = BuildRecipientFile(msg, hostName_);
    rcpSize = rcp.size();
    outcome = writer.WritePair(
        msg.MsgId, [&](TFile& f) { return f.Write(header) && msg.Data.WriteTo(f); }, rcp, &fault);
  }
  if (outcome == TQueueWriter::Outcome::Failed && OnQueueWriteFailed)
    OnQueueWriteFailed(fault.file, fault.error);
  if (outcome != TQueueWriter::Outcome::Written) {
    return outcome == TQueueWriter::Outcome::NameTaken ? WriteResult::NameTaken
                                                       : WriteResult::Failed;
  }
  if (queueRoom_.Enabled()) queueRoom_.NoteStored(header.size() + msg.Data.Size() + rcpSize);
  std::string entry = "<" + msg.MsgId + "@" + hostName_ + "> " + LogTimeStamp() + " " +
                      msg.SendingIP + " " + msg.SendingDomain + " " + msg.FromStr;
  for (const auto& rec : msg.Recipients.Items()) entry += " " + rec.Address;
  LogEntry(entry);
  return WriteResult::Written;
}

}  // namespace kestran
