#pragma once
// The SMTP server component: the receiver's whole configuration (set before the listener
// is activated, only read afterwards), the acceptance policy, the command replies and the
// intake of messages into the queue directory.

#include <cstdint>
#include <memory>
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

class TConduitSMTPServer : public TConduitSMTPListener {
 public:
  static constexpr uint32_t kDefaultMaxMessageSize = 52428800;
  static constexpr uint32_t kDefaultMaxRecipients = 1000;
  static constexpr uint32_t kDefaultMaxEnvelopeMemoryMB = 256;

  // Looks up HostName: the canonical name of this machine's host name, or its first IPv4
  // address when that is empty. A resolver failure raises EConduitSocketError.
  explicit TConduitSMTPServer(TConduitBase* owner = nullptr);
  ~TConduitSMTPServer() override;

  // --- configuration ------------------------------------------------------------------
  // List properties: the setters copy the list; the non-const getters allow filling a
  // list in place.
  const std::vector<std::string>& LocalDomains() const { return localDomains_; }
  std::vector<std::string>& LocalDomains() { return localDomains_; }
  void SetLocalDomains(const std::vector<std::string>& v) { localDomains_ = v; }
  const std::vector<TNetRange>& LocalNets() const { return localNets_; }
  std::vector<TNetRange>& LocalNets() { return localNets_; }
  void SetLocalNets(const std::vector<TNetRange>& v) { localNets_ = v; }
  const std::vector<TNetRange>& LocalBlackList() const { return localBlackList_; }
  std::vector<TNetRange>& LocalBlackList() { return localBlackList_; }
  void SetLocalBlackList(const std::vector<TNetRange>& v) { localBlackList_ = v; }
  // Trusted load balancers: their connections begin with a PROXY header naming the client.
  const std::vector<TNetRange>& ProxyNets() const { return proxyNets_; }
  std::vector<TNetRange>& ProxyNets() { return proxyNets_; }
  void SetProxyNets(const std::vector<TNetRange>& v) { proxyNets_ = v; }
  const std::vector<TNetRange>& WhiteList() const { return whiteList_; }
  std::vector<TNetRange>& WhiteList() { return whiteList_; }
  void SetWhiteList(const std::vector<TNetRange>& v) { whiteList_ = v; }
  const std::vector<std::string>& LocalUsers() const { return localUsers_; }
  std::vector<std::string>& LocalUsers() { return localUsers_; }
  void SetLocalUsers(const std::vector<std::string>& v) { localUsers_ = v; }
  const std::vector<std::string>& SkipUserVerify() const { return skipUserVerify_; }
  std::vector<std::string>& SkipUserVerify() { return skipUserVerify_; }
  void SetSkipUserVerify(const std::vector<std::string>& v) { skipUserVerify_ = v; }
  // The names and domains of the plug-in list file, besides LocalUsers and
  // SkipUserVerify; may be replaced while sessions run.
  TPluginUsers& PluginUsers() { return pluginUsers_; }
  const std::vector<std::string>& DNSLists() const { return dnsLists_; }
  std::vector<std::string>& DNSLists() { return dnsLists_; }
  void SetDNSLists(const std::vector<std::string>& v) { dnsLists_ = v; }
  const std::vector<std::string>& HeaderText() const { return headerText_; }
  std::vector<std::string>& HeaderText() { return headerText_; }
  void SetHeaderText(const std::vector<std::string>& v) { headerText_ = v; }
  // Index for index with DNSLists: false for a list not asked about IPv6 clients (a
  // list without an entry is asked).
  std::vector<bool>& DNSListsIPv6() { return dnsListsIPv6_; }

  const std::string& LocalBlackListNotice() const { return localBlackListNotice_; }
  void SetLocalBlackListNotice(const std::string& v) { localBlackListNotice_ = v; }
  const std::string& MailWriteDir() const { return mailWriteDir_; }
  void SetMailWriteDir(const std::string& v) { mailWriteDir_ = v; }

  bool DoVerifyDomain() const { return doVerifyDomain_; }
  void SetDoVerifyDomain(bool v) { doVerifyDomain_ = v; }
  bool LogDebug() const { return logDebug_; }
  void SetLogDebug(bool v) { logDebug_ = v; }
  bool ForwardMail() const { return forwardMail_; }
  void SetForwardMail(bool v) { forwardMail_ = v; }
  bool CheckUser() const { return checkUser_; }
  void SetCheckUser(bool v) { checkUser_ = v; }
  bool ExtendedErrorRecording() const { return extendedErrorRecording_; }
  void SetExtendedErrorRecording(bool v) { extendedErrorRecording_ = v; }
  bool DoDNSLists() const { return doDNSLists_; }
  void SetDoDNSLists(bool v) { doDNSLists_ = v; }
  bool DoPOPAuth() const { return doPOPAuth_; }
  void SetDoPOPAuth(bool v) { doPOPAuth_ = v; }

  // Bytes of one message body; 0 = no limit.
  uint32_t MaxMessageSize() const { return maxMessageSize_; }
  void SetMaxMessageSize(uint32_t v) { maxMessageSize_ = v; }
  // The mailbox side asked about local recipients the policy accepts (null: nobody is
  // asked). Set before activating.
  void SetRecipientVerifier(std::shared_ptr<TRecipientVerifier> v) { verifier_ = std::move(v); }
  const std::shared_ptr<TRecipientVerifier>& RecipientVerifier() const { return verifier_; }
  // Received: fields a message may carry; more are refused "554 Too many hops" at the end
  // of DATA. 0 = no limit.
  uint32_t MaxHops() const { return maxHops_; }
  void SetMaxHops(uint32_t v) { maxHops_ = v; }
  // Recipients of one transaction; the next one is answered "452 Too many recipients".
  // 0 = no limit.
  uint32_t MaxRecipients() const { return maxRecipients_; }
  void SetMaxRecipients(uint32_t v) { maxRecipients_ = v; }
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
  bool Esmtp() const { return esmtp_; }
  void SetEsmtp(bool v) { esmtp_ = v; }
  // The certificate for STARTTLS, offered with ESMTP while set (and TLS is available).
  const std::shared_ptr<TTlsCertStore>& TlsStore() const { return tlsStore_; }
  void SetTlsStore(std::shared_ptr<TTlsCertStore> store) { tlsStore_ = std::move(store); }

  // Back-pressure: MAIL is answered "452 4.3.1 Insufficient system storage" while this
  // many pairs wait in the queue directory (0: no limit), or while its file system has
  // less free space than MinFreeSpaceMB, or than 1.5 x MaxMessageSize once that is set
  // (MinFreeSpaceMB 0: not checked). Set before activating, after MailWriteDir and
  // MaxMessageSize.
  void SetQueueRoom(uint32_t maxQueuedMessages, uint32_t minFreeSpaceMB);
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

 private:
  enum class BodyState { Kept, LineTooLong, TooBig, NotKept };
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
  // MAIL and RCPT under extended SMTP: the parameters are checked and split off.
  void DoExtendedMAIL(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg);
  void DoExtendedRCPT(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg);

  std::vector<std::string> localDomains_;
  std::vector<TNetRange> localNets_;
  std::vector<TNetRange> localBlackList_;
  std::vector<TNetRange> whiteList_;
  std::vector<TNetRange> proxyNets_;
  std::vector<std::string> localUsers_;
  std::vector<std::string> skipUserVerify_;
  TPluginUsers pluginUsers_;
  std::vector<std::string> dnsLists_;
  std::vector<std::string> headerText_;
  std::vector<bool> dnsListsIPv6_;
  std::string localBlackListNotice_;
  std::string mailWriteDir_;
  bool doVerifyDomain_ = false;
  bool logDebug_ = false;
  bool forwardMail_ = false;
  bool checkUser_ = false;
  bool extendedErrorRecording_ = false;
  bool doDNSLists_ = false;
  bool doPOPAuth_ = false;
  uint32_t maxMessageSize_ = kDefaultMaxMessageSize;
  uint32_t maxRecipients_ = kDefaultMaxRecipients;
  uint32_t maxHops_ = kDefaultMaxHops;
  std::shared_ptr<TRecipientVerifier> verifier_;
  uint32_t maxEnvelopeMemoryMB_ = kDefaultMaxEnvelopeMemoryMB;
  TEnvelopeBudget envelopeBudget_{uint64_t{kDefaultMaxEnvelopeMemoryMB} << 20};
  bool syncQueueFiles_ = true;
  bool esmtp_ = false;
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
