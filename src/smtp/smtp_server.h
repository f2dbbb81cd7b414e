#pragma once
// The SMTP server component: the receiver's whole configuration, the acceptance policy,
// the command replies and the intake of messages into the queue directory.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "smtp/envelope_budget.h"
#include "smtp/greet_gate.h"
#include "smtp/hop_limit.h"
#include "smtp/plugin_users.h"
#include "smtp/queue_room.h"
#include "smtp/rate_limit_report.h"
#include "smtp/rate_limiter.h"
#include "smtp/receiver_metrics.h"
#include "smtp/recipient_verifier.h"
#include "smtp/smtp_listener.h"
#include "smtp/subnet.h"
#include "transport/tls_layer.h"

namespace kestran {

// The defences at the door, all off unless set: rates per client key, the session's
// refused recipients, and the pause before the greeting.
struct TRateLimitSettings {
  uint32_t ConnectRatePerMinute = 0;  // 0: the limit is off
  uint32_t ConnectBurst = 0;          // 0 is taken as 1
  uint32_t MessageRatePerMinute = 0;  // MAIL commands
  uint32_t MessageBurst = 0;
  uint32_t RecipientRatePerMinute = 0;  // RCPT commands, accepted or not
  uint32_t RecipientBurst = 0;
  bool LogOnly = false;  // count and log what would be refused, refuse nothing
  uint32_t TableSize = TRateLimiter::kDefaultTableSize;  // client keys held at most
  uint32_t BadRecipientLimit = 0;  // refused recipients of a session before it is closed
  uint32_t GreetPause = 0;         // milliseconds a client is watched before the 220
  uint32_t GreetPassHours = 24;    // a client that waited is not watched again for this long
};

// What a session decides by: the lists, switches, limits and texts that can be changed
// while the server runs (port, addresses and queue directory cannot).
struct TSmtpPolicy {
  static constexpr uint32_t kDefaultMaxMessageSize = 52428800;
  static constexpr uint32_t kDefaultMaxRecipients = 1000;

  std::vector<std::string> LocalDomains;
  std::vector<TNetRange> LocalNets;
  std::vector<TNetRange> LocalBlackList;
  std::vector<TNetRange> WhiteList;
  std::vector<TNetRange> ProxyNets;
  std::vector<std::string> LocalUsers;
  std::vector<std::string> SkipUserVerify;
  std::vector<std::string> DNSLists;
  std::vector<std::string> HeaderText;
  std::vector<bool> DNSListsIPv6;
  std::string LocalBlackListNotice;
  bool DoVerifyDomain = false;
  bool ForwardMail = false;
  bool CheckUser = false;
  bool ExtendedErrorRecording = false;
  bool DoDNSLists = false;
  bool DoPOPAuth = false;
  uint32_t MaxMessageSize = kDefaultMaxMessageSize;
  uint32_t MaxRecipients = kDefaultMaxRecipients;
  bool Esmtp = false;
  bool Chunking = true;
  bool SmtpUtf8 = false;
  uint32_t MaxHops = kDefaultMaxHops;
};

class TConduitSMTPServer : public TConduitSMTPListener {
 public:
  static constexpr uint32_t kDefaultMaxMessageSize = TSmtpPolicy::kDefaultMaxMessageSize;
  static constexpr uint32_t kDefaultMaxRecipients = TSmtpPolicy::kDefaultMaxRecipients;
  static constexpr uint32_t kDefaultMaxEnvelopeMemoryMB = 256;

  // Looks up HostName: the canonical name of this machine's host name, or its first IPv4
  // address when that is empty. A resolver failure raises EConduitSocketError.
  explicit TConduitSMTPServer(TConduitBase* owner = nullptr);
  ~TConduitSMTPServer() override;

  // --- configuration ------------------------------------------------------------------
  // The policy (lists, switches, limits, texts) lives in a TSmtpPolicy. The setters and
  // the non-const getters change the server's own copy; a session takes the copy in force
  // when it starts (see PublishedPolicy) and keeps it to its end, so that settings read
  // again while the server runs apply to new sessions only. A change while sessions run
  // is made under LockPolicy().
  // List properties: the setters copy the list; the non-const getters allow filling a
  // list in place.
  const std::vector<std::string>& LocalDomains() const { return P().LocalDomains; }
  std::vector<std::string>& LocalDomains() { return Edit().LocalDomains; }
  void SetLocalDomains(const std::vector<std::string>& v) { Edit().LocalDomains = v; }
  const std::vector<TNetRange>& LocalNets() const { return P().LocalNets; }
  std::vector<TNetRange>& LocalNets() { return Edit().LocalNets; }
  void SetLocalNets(const std::vector<TNetRange>& v) { Edit().LocalNets = v; }
  const std::vector<TNetRange>& LocalBlackList() const { return P().LocalBlackList; }
  std::vector<TNetRange>& LocalBlackList() { return Edit().LocalBlackList; }
  void SetLocalBlackList(const std::vector<TNetRange>& v) { Edit().LocalBlackList = v; }
  // Trusted load balancers: their connections begin with a PROXY header naming the client.
  const std::vector<TNetRange>& ProxyNets() const { return P().ProxyNets; }
  std::vector<TNetRange>& ProxyNets() { return Edit().ProxyNets; }
  void SetProxyNets(const std::vector<TNetRange>& v) { Edit().ProxyNets = v; }
  const std::vector<TNetRange>& WhiteList() const { return P().WhiteList; }
  std::vector<TNetRange>& WhiteList() { return Edit().WhiteList; }
  void SetWhiteList(const std::vector<TNetRange>& v) { Edit().WhiteList = v; }
  const std::vector<std::string>& LocalUsers() const { return P().LocalUsers; }
  std::vector<std::string>& LocalUsers() { return Edit().LocalUsers; }
  void SetLocalUsers(const std::vector<std::string>& v) { Edit().LocalUsers = v; }
  const std::vector<std::string>& SkipUserVerify() const { return P().SkipUserVerify; }
  std::vector<std::string>& SkipUserVerify() { return Edit().SkipUserVerify; }
  void SetSkipUserVerify(const std::vector<std::string>& v) { Edit().SkipUserVerify = v; }
  // The names and domains of the plug-in list file, besides LocalUsers and
  // SkipUserVerify; may be replaced while sessions run.
  TPluginUsers& PluginUsers() { return pluginUsers_; }
  const std::vector<std::string>& DNSLists() const { return P().DNSLists; }
  std::vector<std::string>& DNSLists() { return Edit().DNSLists; }
  void SetDNSLists(const std::vector<std::string>& v) { Edit().DNSLists = v; }
  const std::vector<std::string>& HeaderText() const { return P().HeaderText; }
  std::vector<std::string>& HeaderText() { return Edit().HeaderText; }
  void SetHeaderText(const std::vector<std::string>& v) { Edit().HeaderText = v; }
  // Index for index with DNSLists: false for a list not asked about IPv6 clients (a
  // list without an entry is asked).
  std::vector<bool>& DNSListsIPv6() { return Edit().DNSListsIPv6; }

  const std::string& LocalBlackListNotice() const { return P().LocalBlackListNotice; }
  void SetLocalBlackListNotice(const std::string& v) { Edit().LocalBlackListNotice = v; }
  const std::string& MailWriteDir() const { return mailWriteDir_; }
  void SetMailWriteDir(const std::string& v) { mailWriteDir_ = v; }

  bool DoVerifyDomain() const { return P().DoVerifyDomain; }
  void SetDoVerifyDomain(bool v) { Edit().DoVerifyDomain = v; }
  bool LogDebug() const { return logDebug_; }
  void SetLogDebug(bool v) { logDebug_ = v; }
  bool ForwardMail() const { return P().ForwardMail; }
  void SetForwardMail(bool v) { Edit().ForwardMail = v; }
  bool CheckUser() const { return P().CheckUser; }
  void SetCheckUser(bool v) { Edit().CheckUser = v; }
  bool ExtendedErrorRecording() const { return P().ExtendedErrorRecording; }
  void SetExtendedErrorRecording(bool v) { Edit().ExtendedErrorRecording = v; }
  bool DoDNSLists() const { return P().DoDNSLists; }
  void SetDoDNSLists(bool v) { Edit().DoDNSLists = v; }
  bool DoPOPAuth() const { return P().DoPOPAuth; }
  void SetDoPOPAuth(bool v) { Edit().DoPOPAuth = v; }

  // Bytes of one message body; 0 = no limit.
  uint32_t MaxMessageSize() const { return P().MaxMessageSize; }
  void SetMaxMessageSize(uint32_t v) { Edit().MaxMessageSize = v; }
  // The mailbox side asked about local recipients the policy accepts (null: nobody is
  // asked). Set before activating.
  void SetRecipientVerifier(std::shared_ptr<TRecipientVerifier> v) { verifier_ = std::move(v); }
  const std::shared_ptr<TRecipientVerifier>& RecipientVerifier() const { return verifier_; }
  // Received: fields a message may carry; more are refused "554 Too many hops" at the end
  // of DATA. 0 = no limit.
  uint32_t MaxHops() const { return P().MaxHops; }
  void SetMaxHops(uint32_t v) { Edit().MaxHops = v; }
  // Recipients of one transaction; the next one is answered "452 Too many recipients".
  // 0 = no limit.
  uint32_t MaxRecipients() const { return P().MaxRecipients; }
  void SetMaxRecipients(uint32_t v) { Edit().MaxRecipients = v; }
  // Megabytes (MiB) that the recipients of all sessions together may hold; a recipient
  // beyond it is answered "452 Too many recipients". 0 = no limit. Set before activating.
  uint32_t MaxEnvelopeMemoryMB() const { return maxEnvelopeMemoryMB_; }
  void SetMaxEnvelopeMemoryMB(uint32_t v);
  // The budget behind it, with the bytes in use now.
  TEnvelopeBudget& EnvelopeBudget() { return envelopeBudget_; }
  // Flush both queue files and the directory to disk before acknowledging a message.
  bool SyncQueueFiles() const { return syncQueueFiles_; }
  void SetSyncQueueFiles(bool v) { syncQueueFiles_ = v; }

  // Extended SMTP: EHLO with its keywords, MAIL and RCPT parameters, the replies to a
  // pipelined group sent together. Off: EHLO is an unrecognised command.
  bool Esmtp() const { return P().Esmtp; }
  void SetEsmtp(bool v) { Edit().Esmtp = v; }
  // CHUNKING: BDAT is taken and offered after EHLO (with ESMTP).
  bool Chunking() const { return P().Chunking; }
  void SetChunking(bool v) { Edit().Chunking = v; }
  // SMTPUTF8: offered after EHLO (with ESMTP); MAIL with the parameter allows UTF-8 in the
  // addresses of its transaction.
  bool SmtpUtf8() const { return P().SmtpUtf8; }
  void SetSmtpUtf8(bool v) { Edit().SmtpUtf8 = v; }
  // The certificate for STARTTLS, offered with ESMTP while set (and TLS is available).
  const std::shared_ptr<TTlsCertStore>& TlsStore() const { return tlsStore_; }
  void SetTlsStore(std::shared_ptr<TTlsCertStore> store) { tlsStore_ = std::move(store); }

  // Back-pressure: MAIL is answered "452 4.3.1 Insufficient system storage" while this
  // many pairs wait in the queue directory (0: no limit), or while its file system has
  // less free space than MinFreeSpaceMB, or than 1.5 x MaxMessageSize once that is set
  // (MinFreeSpaceMB 0: not checked). Set before activating, after MailWriteDir and
  // MaxMessageSize.
  void SetQueueRoom(uint32_t maxQueuedMessages, uint32_t minFreeSpaceMB);
  // The same limits changed while sessions run (after MaxMessageSize).
  void SetQueueRoomLimits(uint32_t maxQueuedMessages, uint32_t minFreeSpaceMB);
  TQueueRoom& QueueRoom() { return queueRoom_; }
  // Rate limits, the refused-recipient limit and the greeting pause. Set before activating.
  void SetRateLimits(const TRateLimitSettings& settings);
  const TRateLimitSettings& RateLimits() const { return rateLimits_; }
  // Clients that no rate limit, refused-recipient limit or greeting pause applies to
  // (besides LocalNets, WhiteList and, for the rates, POP-before-SMTP).
  const std::vector<TNetRange>& RateLimitExempt() const { return rateLimitExempt_; }
  std::vector<TNetRange>& RateLimitExempt() { return rateLimitExempt_; }
  TRateLimiter& RateLimiter() { return rateLimiter_; }
  TGreetPassList& GreetPasses() { return greetPasses_; }
  // Housekeeping of the rate limits, called now and then by the service: the event-log
  // summary when one is due, and idle keys dropped from the table.
  void RateLimitTick();

  // The counters this server adds to (the process-wide ones).
  TReceiverMetrics& Metrics() { return metrics_; }

  // This machine's name in replies and headers.
  const std::string& HostName() const { return hostName_; }
  void SetHostName(const std::string& v) { hostName_ = v; }

  // The policy a session starting now takes: the server's own copy as last changed.
  std::shared_ptr<const TSmtpPolicy> PublishedPolicy() const;
  // Held while the policy is changed under running sessions: no session takes a copy
  // that is half changed. The change is published when the lock is let go.
  std::unique_lock<std::mutex> LockPolicy() const {
    return std::unique_lock<std::mutex>(policyLock_);
  }

  TNextIDEvent OnNextIDEvent;
  TPOPAuthEvent OnPopAuth;
  // A queue pair could not be written (the message gets 451): the file where it failed
  // and the error code. Called on the session's thread.
  std::function<void(const std::string& file, uint32_t error)> OnQueueWriteFailed;

  // --- policy -------------------------------------------------------------------------
  bool IsRelayAllowed(const std::string& ip) override;
  void VerifyDomain(const std::string& ip, std::string& name) override;
  bool CheckAccess(const std::string& ip, std::string& reason) override;
  bool CheckPopAuth(const std::string& ip);
  bool IsLocalDomain(const std::string& domain);
  bool IsValidUser(const std::string& address);
  // The size limit in force: MaxMessageSize, or the mailbox side's SIZE when that is
  // smaller (known once it has been asked); 0 = no limit.
  uint32_t MessageSizeLimit() const;
  // What the mailbox side says of a local recipient; Valid when nobody is asked.
  TVerifyAnswer AskMailboxSide(const std::string& address);
  // The reply to a local recipient the mailbox side could not be asked about.
  void RecipientNotVerified(TConduitServerThread* thread, const std::string& address);

  // --- intake -------------------------------------------------------------------------
  // Numbers the message and writes its queue pair; false when nothing could be queued.
  bool StoreMessage(TConduitServerThread* thread, TSMTPMsg& msg);
  // The next message number from OnNextIDEvent; 1 when it is not assigned or not handled.
  // A handler that has no stored number to give answers -1: a number outside
  // 0..2147483647 queues nothing, and the message is refused with 451.
  int32_t GetNextID();
  // Writes the queue pair for msg.MsgId (never over an existing pair); false when it
  // failed, the name is taken, or the message has no recipient.
  bool WriteMsgToFile(TSMTPMsg& msg);

  void DoConnect(TConduitServerThread* thread) override;
  // Connections from ProxyNets.
  bool ExpectsProxyHeader(const std::string& address) override;
  void DoDisconnect(TConduitServerThread* thread) override;

 protected:
  void DoCommandHELO(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                     bool& handled) override;
  void DoCommandMAIL(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                     bool& handled) override;
  void DoCommandRCPT(TConduitServerThread* thread, const std::string& arg, bool& handled,
                     TSMTPMsg& msg) override;
  void DoCommandDATA(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) override;
  void DoCommandSEND(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                     bool& handled) override;
  void DoCommandSOML(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                     bool& handled) override;
  void DoCommandSAML(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                     bool& handled) override;
  void DoCommandRSET(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) override;
  void DoCommandVRFY(TConduitServerThread* thread, const std::string& arg, bool& handled) override;
  void DoCommandEXPN(TConduitServerThread* thread, const std::string& arg, bool& handled) override;
  void DoCommandHELP(TConduitServerThread* thread, const std::string& arg, bool& handled) override;
  void DoCommandNOOP(TConduitServerThread* thread, bool& handled) override;
  void DoCommandQUIT(TConduitServerThread* thread, bool& handled) override;
  void DoCommandTURN(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) override;
  void DoCommandError(TConduitServerThread* thread, const std::string& line,
                      bool& handled) override;
  void DoLineTooLong(TConduitServerThread* thread) override;
  void DoControlCharacters(TConduitServerThread* thread, const std::string& verb) override;
  void DoIdleTimeout(TConduitServerThread* thread) override;
  void DoTooManyConnections(TConduitServer* connection) override;
  bool DoExtendedCommand(TConduitServerThread* thread, TSMTPMsg& msg, const std::string& verb,
                         const std::string& arg, const std::string& line) override;
  void DoCommandEHLO(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                     bool& handled);
  void DoCommandSTARTTLS(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg);
  void DoCommandBDAT(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg);

 private:
  // The policy of the session running on this thread, else the server's own copy.
  const TSmtpPolicy& P() const;
  // The server's own copy, marked as changed.
  TSmtpPolicy& Edit() {
    policyChanged_ = true;
    return policy_;
  }

  enum class BodyState { Kept, LineTooLong, TooBig, NotKept, NoRoom };
  enum class WriteResult { Written, NameTaken, Failed };

  void Reply(TConduitServerThread* thread, const std::string& text);
  // The 220 greeting line.
  std::string GreetingLine() const;
  // The rate limits at each step; false when the client was refused (and, for a
  // connection or past BadRecipientLimit, disconnected).
  bool AdmitConnection(TConduitServerThread* thread);
  bool AdmitMail(TConduitServerThread* thread, TSMTPMsg& msg);
  bool AdmitRecipient(TConduitServerThread* thread, TSMTPMsg& msg);
  // LocalNets, WhiteList or RateLimitExempt.
  bool ExemptByNets(const std::string& ip) const;
  // Exempt from the rates for the session (worked out once): by the nets, or allowed to
  // relay (which includes POP-before-SMTP).
  bool RateExempt(TSMTPMsg& msg);
  // A POP-before-SMTP login from ip, asked without counting a relay.
  bool RecentPopLogin(const std::string& ip);
  // Counts and logs a refusal; true when it is to be carried out (not RateLimitLogOnly).
  bool RateLimitRefused(TRateRefusal what, const std::string& ip, const std::string& reply);
  void ReportRateLimitLine(const std::string& line);
  // Back-pressure at MAIL; true when no limit is set.
  bool QueueHasRoom();
  // DATA: the free space less what transactions hold is above the reserve.
  bool QueueHasSpace();
  // A DATA that ended in 250 (stored) or 451.
  void CountIntake(TConduitServerThread* thread, const TSMTPMsg& msg, bool stored);
  // The syntax-error replies of MAIL and RCPT, which echo the argument.
  void MailSyntaxError(TConduitServerThread* thread, const std::string& arg);
  void RcptSyntaxError(TConduitServerThread* thread, const std::string& arg);
  void DebugLog(const std::string& text);
  void LogEntry(const std::string& entry);
  // Reads the body up to its "." line into msg.Data, keeping nothing once a limit is hit
  // or the body could not be kept (NotKept: its scratch file failed).
  BodyState ReadBody(TConduitServerThread* thread, TSMTPMsg& msg);
  WriteResult WriteQueuePair(TSMTPMsg& msg);
  // STARTTLS is offered on this connection: a certificate, and no TLS yet.
  bool TlsOffered(TConduitServerThread* thread) const;
  // A message with more Received: fields than MaxHops (a mail loop) is refused with
  // "554 Too many hops" at its end, nothing queued (true); verb: DATA or BDAT.
  bool RefuseLoop(TConduitServerThread* thread, TSMTPMsg& msg, const std::string& verb);
  // Reads size octets of a chunk, into intake when given, dropping them otherwise.
  void ReadChunk(TConduitServerThread* thread, uint64_t size, TBdatIntake* intake);
  // The last chunk has come: queues the message and answers as the end of DATA does.
  // Grows the room the transaction holds with the chunks taken so far; none left ends
  // the keeping of the message.
  void HoldRoomForChunks(TSMTPMsg& msg);
  void EndChunkedMessage(TConduitServerThread* thread, TSMTPMsg& msg);
  // An address of MAIL or RCPT (verb) with octets beyond ASCII: refused (true) unless the
  // transaction declared SMTPUTF8 and the text is UTF-8 that may stand in an address.
  bool RefuseNonAscii(TConduitServerThread* thread, const std::string& verb,
                      const std::string& address, const TSMTPMsg& msg);
  // MAIL and RCPT under extended SMTP: the parameters are checked and split off.
  void DoExtendedMAIL(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg);
  void DoExtendedRCPT(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg);

  TSmtpPolicy policy_;
  mutable std::mutex policyLock_;
  // Under policyLock_: the copy sessions take, and whether policy_ changed since.
  mutable std::shared_ptr<const TSmtpPolicy> published_;
  mutable bool policyChanged_ = true;
  TPluginUsers pluginUsers_;
  std::string mailWriteDir_;
  bool logDebug_ = false;
  std::shared_ptr<TRecipientVerifier> verifier_;
  uint32_t maxEnvelopeMemoryMB_ = kDefaultMaxEnvelopeMemoryMB;
  TEnvelopeBudget envelopeBudget_{uint64_t{kDefaultMaxEnvelopeMemoryMB} << 20};
  bool syncQueueFiles_ = true;
  std::shared_ptr<TTlsCertStore> tlsStore_;
  std::string hostName_;
  TQueueRoom queueRoom_;
  TRateLimitSettings rateLimits_;
  std::vector<TNetRange> rateLimitExempt_;
  TRateLimiter rateLimiter_;
  TGreetPassList greetPasses_;
  TRateLimitReport rateLimitReport_;
  int64_t lastRateSweepUs_ = 0;
  TReceiverMetrics& metrics_ = ReceiverMetrics();
};

}  // namespace kestran
