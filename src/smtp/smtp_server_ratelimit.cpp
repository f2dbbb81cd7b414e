// The defences at the door: connection, MAIL and RCPT rates per client key, the limit of
// refused recipients in a session, and the pause before the greeting.

#include "smtp/defdate.h"
#include "smtp/smtp_server.h"
#include "transport/conduit_errors.h"

namespace kestran {
namespace {

// Idle keys leave the table at least this often, also when nobody connects.
constexpr int64_t kSweepIntervalUs = 10 * int64_t{1000000};

}  // namespace

void TConduitSMTPServer::SetRateLimits(const TRateLimitSettings& settings) {
  rateLimits_ = settings;
  rateLimiter_.SetLimit(TRateCounter::Connect, settings.ConnectRatePerMinute,
                        settings.ConnectBurst);
  rateLimiter_.SetLimit(TRateCounter::Mail, settings.MessageRatePerMinute, settings.MessageBurst);
  rateLimiter_.SetLimit(TRateCounter::Rcpt, settings.RecipientRatePerMinute,
                        settings.RecipientBurst);
  rateLimiter_.SetTableSize(settings.TableSize);
  greetPasses_.Configure(settings.GreetPassHours, settings.TableSize);
}

bool TConduitSMTPServer::ExemptByNets(const std::string& ip) const {
  return InNetList(ip, P().LocalNets) || InNetList(ip, P().WhiteList) ||
         InNetList(ip, rateLimitExempt_);
}

bool TConduitSMTPServer::RateExempt(TSMTPMsg& msg) {
  if (!msg.RateExempt) msg.RateExempt = msg.RelayAllowed || ExemptByNets(msg.SendingIP);
  return *msg.RateExempt;
}

bool TConduitSMTPServer::RecentPopLogin(const std::string& ip) {
  if (!P().DoPOPAuth || !OnPopAuth) return false;
  bool valid = false, handled = false;
  OnPopAuth(ip, valid, handled);
  return handled && valid;
}

void TConduitSMTPServer::ReportRateLimitLine(const std::string& line) {
  if (!line.empty() && OnListenerEvent) OnListenerEvent(TEventSeverity::Warning, line);
}

bool TConduitSMTPServer::RateLimitRefused(TRateRefusal what, const std::string& ip,
                                          const std::string& reply) {
  const bool logOnly = rateLimits_.LogOnly;
  metrics_.CountRateLimit(what, logOnly);
  LogEntry(LogTimeStamp() + " " + ip + " " + (logOnly ? "not refused (RateLimitLogOnly): " : "") +
           reply);
  ReportRateLimitLine(rateLimitReport_.Count(what, logOnly));
  return !logOnly;
}

void TConduitSMTPServer::RateLimitTick() {
  ReportRateLimitLine(rateLimitReport_.Due());
  const int64_t now = SteadyMicroseconds();
  if (now - lastRateSweepUs_ < kSweepIntervalUs) return;
  lastRateSweepUs_ = now;
  rateLimiter_.Sweep();
}

bool TConduitSMTPServer::AdmitConnection(TConduitServerThread* thread) {
  const bool rateOn = rateLimits_.ConnectRatePerMinute != 0;
  if (!rateOn && rateLimits_.GreetPause == 0) return true;
  TConduitServer* conn = thread->Connection();
  const std::string ip = conn->PeerAddress();
  const std::optional<TClientKey> key = ClientKeyOf(ip, IPv6PrefixLength());
  if (!key || ExemptByNets(ip)) return true;

  std::string refusal;
  TRateRefusal what = TRateRefusal::Connect;
  if (rateOn) {
    const TRateDecision d = rateLimiter_.Take(*key, TRateCounter::Connect);
    // The POP3 log is read only for a client about to be refused.
    if (!d.Granted && !RecentPopLogin(ip)) {
      const std::string reply = "421 " + hostName_ + " Too many connections from " + ip +
                                ", try again in " + std::to_string(d.RetrySeconds()) + " seconds";
      if (RateLimitRefused(TRateRefusal::Connect, ip, reply)) refusal = reply;
    }
  }
  if (refusal.empty() && rateLimits_.GreetPause != 0 && !greetPasses_.Passed(*key)) {
    switch (WatchBeforeGreeting(*conn, rateLimits_.GreetPause)) {
      case TGreetWatch::Waited:
        greetPasses_.Remember(*key);
        break;
      case TGreetWatch::Left:
        conn->Disconnect();
        return false;
      case TGreetWatch::Talked: {
        const std::string reply =
            "554 " + hostName_ + " Protocol error: talked before the greeting";
        if (RateLimitRefused(TRateRefusal::Pregreet, ip, reply)) {
          refusal = reply;
          what = TRateRefusal::Pregreet;
        }
        break;
      }
    }
  }
  if (refusal.empty()) return true;
  try {
    // A client refused for its rate is greeted first, as every refused client is; one
    // that talked before the greeting never gets it.
    if (what == TRateRefusal::Connect) Reply(thread, GreetingLine());
    Reply(thread, refusal);
    if (logDebug_)
      DebugLog(std::string(what == TRateRefusal::Connect ? "Connect" : "Pregreet") + " says " +
               refusal);
  } catch (const EConduitException&) {
    // The client left already.
  }
  conn->Disconnect();
  return false;
}

bool TConduitSMTPServer::AdmitMail(TConduitServerThread* thread, TSMTPMsg& msg) {
  if (rateLimits_.MessageRatePerMinute == 0 || RateExempt(msg)) return true;
  const std::optional<TClientKey> key = ClientKeyOf(msg.SendingIP, IPv6PrefixLength());
  if (!key) return true;
  const TRateDecision d = rateLimiter_.Take(*key, TRateCounter::Mail);
  if (d.Granted) return true;
  const std::string reply = "450 Too much mail from " + msg.SendingIP + ", try again in " +
                            std::to_string(d.RetrySeconds()) + " seconds";
  if (!RateLimitRefused(TRateRefusal::Mail, msg.SendingIP, reply)) return true;
  Reply(thread, reply);
  if (logDebug_) DebugLog("MAIL says " + reply);
  return false;
}

bool TConduitSMTPServer::AdmitRecipient(TConduitServerThread* thread, TSMTPMsg& msg) {
  const uint32_t badLimit = rateLimits_.BadRecipientLimit;
  if (badLimit != 0 && msg.BadRecipients >= badLimit && !msg.BadRecipientLimitReached &&
      !RateExempt(msg)) {
    // Counted once a session: with RateLimitLogOnly the session goes on as before.
    msg.BadRecipientLimitReached = true;
    const std::string reply = "421 " + hostName_ + " Too many invalid recipients";
    if (RateLimitRefused(TRateRefusal::BadRcpt, msg.SendingIP, reply)) {
      TConduitServer* conn = thread->Connection();
      try {
        Reply(thread, reply);
        if (logDebug_) DebugLog("RCPT says " + reply);
      } catch (const EConduitException&) {
        // Closed all the same.
      }
      conn->Disconnect();
      return false;
    }
  }
  if (rateLimits_.RecipientRatePerMinute == 0 || RateExempt(msg)) return true;
  const std::optional<TClientKey> key = ClientKeyOf(msg.SendingIP, IPv6PrefixLength());
  if (!key) return true;
  if (rateLimiter_.Take(*key, TRateCounter::Rcpt).Granted) return true;
  const std::string reply = "452 Too many recipients from " + msg.SendingIP + ", try again later";
  if (!RateLimitRefused(TRateRefusal::Rcpt, msg.SendingIP, reply)) return true;
  Reply(thread, reply);
  if (logDebug_) DebugLog("RCPT says " + reply);
  return false;
}

}  // namespace kestran
