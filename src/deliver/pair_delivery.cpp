#include "deliver/pair_delivery.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>

#include "deliver/bounce_message.h"
#include "deliver/file_util.h"
#include "deliver/queue_pair.h"
#include "service/ntobj.h"

namespace kestran {

namespace {

constexpr size_t kMaxStateFile = 16 * 1024 * 1024;
constexpr size_t kMaxBouncedHeaders = 64 * 1024;

bool SaveState(const TDeliverContext& ctx, const std::string& stem, const TDeliveryState& state) {
  std::string why;
  if (ReplaceFileDurably(ctx.queueDir, StateFileName(stem), FormatDeliveryState(state), why))
    return true;
  ctx.event(kLogError, "The delivery state of " + stem + " could not be stored: " + why);
  return false;
}

// The last reply of a pair delivered to everyone: the recipient file is renamed to its
// sent name, and one flush of the directory makes that the record. A state file there
// may still say otherwise of the last recipient; the sent name decides.
bool RecordDelivered(const TDeliverContext& ctx, const std::string& stem) {
  const std::string from = ctx.queueDir + stem + ".RCP";
  const std::string to = ctx.queueDir + SentFileName(stem);
  // A rename not yet flushed: the state file's write that follows flushes the directory.
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 &&
         SyncDirectory(ctx.queueDir);
}

// Moves whatever has the names of the pair into sub ("failed" or "damaged"); the state
// file last, so that a move cut short is finished by the next scan.
bool MovePair(const TDeliverContext& ctx, const std::string& stem, const char* sub) {
  const std::string target = ctx.queueDir + sub + "/";
  if (!EnsurePlainDir(target)) {
    ctx.event(kLogError, "The directory " + target + " is missing or not a plain directory");
    return false;
  }
  bool ok = true;
  for (const char* ext : {".RCP", ".MSG", ".DLV"}) {
    const std::string name = stem + ext;
    struct stat st {};
    if (::lstat((ctx.queueDir + name).c_str(), &st) != 0) continue;
    std::string moved;
    if (!MoveIntoDirectory(ctx.queueDir + name, target, moved)) {
      ctx.event(kLogError, ctx.queueDir + name + " cannot be moved to " + target + " (error " +
                               std::to_string(LastFileError()) + ")");
      ok = false;
    }
  }
  SyncDirectory(ctx.queueDir);
  SyncDirectory(target);
  return ok;
}

// Removes the pair; its state file too unless keepState.
void RemovePair(const TDeliverContext& ctx, const std::string& stem, bool keepState) {
  for (const char* ext : {".RCP", ".MSG", ".DLV"}) {
    if (keepState && ext[1] == 'D') continue;
    const std::string path = ctx.queueDir + stem + ext;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      ctx.event(kLogError, path + " could not be removed: " + std::strerror(errno));
  }
}

void Damaged(const TDeliverContext& ctx, const std::string& stem, const std::string& why) {
  if (MovePair(ctx, stem, "damaged"))
    ctx.event(kLogWarning,
              "The queue pair " + stem + " was moved into " + ctx.queueDir + "damaged: " + why);
}

// A delivered pair keeps its state file until a scan has flushed the directory with the
// removal of the rest (FinishLeftover): no crash can then bring the pair back without the
// state that says it is done, and no flush is spent on each pair.
void Finish(const TDeliverContext& ctx, const std::string& stem, TDeliveryState::Done done,
            bool keepState) {
  if (done == TDeliveryState::Done::Delivered)
    RemovePair(ctx, stem, keepState);
  else
    MovePair(ctx, stem, "failed");
}

// The first bytes of the message file, enough for its header block.
std::string MessageStart(int fd) {
  std::string text(kMaxBouncedHeaders + 4096, '\0');
  ssize_t n = ::pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

bool SameDomain(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool InLocalDomain(const TDeliverContext& ctx, const std::string& address) {
  const size_t at = address.rfind('@');
  if (at == std::string::npos) return false;
  const std::string domain = address.substr(at + 1);
  return std::any_of(ctx.localDomains.begin(), ctx.localDomains.end(),
                     [&](const std::string& d) { return SameDomain(d, domain); });
}

// Where a notification to sender goes: a sender in a local domain gets it through the
// delivery transport, with no relay in between; any other through the notification
// transport, when one is set.
std::optional<TNextHop> NotificationRoute(const TDeliverContext& ctx, const std::string& sender) {
  if (InLocalDomain(ctx, sender)) return ctx.transport;
  return ctx.bounce;
}

// The recipients of a pair moved into "failed" whose sender never heard of them, and why:
// one event-log line.
void ReportNeverNotified(const TDeliverContext& ctx, const TQueuedPair& pair,
                         const TDeliveryState& state) {
  std::string names;
  for (const auto& r : state.recipients) {
    if (!r.neverNotified) continue;
    if (!names.empty()) names += ", ";
    names += "<" + OneLineReply(NextHopAddress(r.address)) + ">";
  }
  if (names.empty()) return;
  const std::string sender = NextHopAddress(SenderAddress(pair.returnPath));
  const std::string why =
      NotificationRoute(ctx, sender)
          ? "the notification to <" + OneLineReply(sender) + "> was not accepted"
          : "the notification to <" + OneLineReply(sender) +
                "> had no route (BounceTo is not set and the sender is in no local domain)";
  ctx.event(kLogWarning, pair.stem + " was moved into " + ctx.queueDir + "failed; " + why +
                             "; never notified: " + names);
}

// delivery: the transport of the pair's deliveries, which carries a notification to a
// local sender too.
void Notify(const TDeliverContext& ctx, const TQueuedPair& pair, TDeliveryState& state, int msgFd,
            TTransport& delivery) {
  TBounceInfo info;
  const int64_t now = static_cast<int64_t>(ctx.now());
  std::vector<TRecipientProgress*> told;
  for (auto& r : state.recipients) {
    if (r.state != TRecipientState::Bounced || r.notified) continue;
    r.notified = true;
    told.push_back(&r);
    TFailedRecipient f;
    f.address = NextHopAddress(r.address);
    f.reply = r.reply;
    f.code = r.reply.size() >= 3 && isdigit(static_cast<unsigned char>(r.reply[0]))
                 ? std::atoi(r.reply.substr(0, 3).c_str())
                 : 0;
    f.expired = !(f.code >= 500 && f.code < 600);
    f.lastTry = r.lastTry;
    info.recipients.push_back(std::move(f));
  }
  if (info.recipients.empty()) return;
  if (!IsOnePath(pair.returnPath)) {
    ctx.mailLog(pair.stem + ": no notification: the Return-path " + OneLineReply(pair.returnPath) +
                " is not one address");
    return;
  }
  const std::string sender = NextHopAddress(SenderAddress(pair.returnPath));
  if (sender.empty()) {
    ctx.mailLog(pair.stem + ": no notification for the null sender");
    return;
  }
  const std::optional<TNextHop> route = NotificationRoute(ctx, sender);
  auto neverNotified = [&] {
    for (auto* r : told) r->neverNotified = true;
  };
  if (!route) {
    // Nothing leaves: the line that moves the pair into "failed" names these recipients.
    neverNotified();
    return;
  }
  info.hostName = ctx.hostName;
  info.queueId = pair.stem;
  info.returnPath = sender;
  info.arrival = state.queuedAt;
  info.now = now;
  if (ctx.transport.OverTcp()) info.remoteMta = ctx.transport.host;
  const std::string body =
      StuffedMessage(ComposeBounce(info, HeaderBlock(MessageStart(msgFd), kMaxBouncedHeaders)));
  size_t offset = 0;
  TMessageToSend dsn;
  dsn.sender = "";
  dsn.recipients = {sender};
  dsn.size = body.size();
  dsn.read = [&](char* p, size_t n) -> long {
    n = std::min(n, body.size() - offset);
    std::memcpy(p, body.data() + offset, n);
    offset += n;
    return static_cast<long>(n);
  };
  TReply result;
  dsn.onReply = [&](size_t, const TReply& r) { result = r; };
  if (InLocalDomain(ctx, sender)) {
    delivery.Send(dsn);
  } else {
    auto transport = MakeTransport(*route, ctx.options);
    transport->Send(dsn);
    transport->Close();
  }
  if (ctx.metrics != nullptr) ctx.metrics->CountNotification(result.Success());
  if (result.Success()) {
    ctx.mailLog(pair.stem + ": sender non-delivery notification to <" + sender +
                ">, relay=" + route->RelayName() + " (" + result.text + ")");
  } else {
    neverNotified();
    ctx.event(kLogWarning, pair.stem + ": the non-delivery notification to <" + sender +
                               "> was not accepted, relay=" + route->RelayName() + " (" +
                               result.text + ")");
  }
}

// Whether the message file holds an octet above 127 (read in blocks, from the start).
bool HasEightBitOctets(int fd) {
  std::vector<unsigned char> block(64 * 1024);
  off_t offset = 0;
  for (;;) {
    ssize_t got = ::pread(fd, block.data(), block.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (ssize_t k = 0; k < got; ++k)
      if (block[static_cast<size_t>(k)] & 0x80) return true;
    offset += got;
  }
}

}  // namespace

std::string DeliveryLogLine(const std::string& stem, const std::string& address,
                            const std::string& relay, double delay, uint32_t tries,
                            TRecipientState state, const std::string& reply) {
  char delayText[32];
  std::snprintf(delayText, sizeof delayText, "%.2f", delay < 0 ? 0.0 : delay);
  return stem + ": to=<" + address + ">, relay=" + relay + ", delay=" + delayText +
         ", tries=" + std::to_string(tries) + ", status=" + StateName(state) + " (" + reply + ")";
}

bool LoadDeliveryState(const std::string& dir, const std::string& stem, TDeliveryState& state) {
  std::string text, why;
  return ReadPlainFile(dir + StateFileName(stem), kMaxStateFile, text, nullptr, why) &&
         ParseDeliveryState(text, state);
}

TPairPass DeliverPair(const TDeliverContext& ctx, TTransport& transport, const std::string& stem,
                      bool force) {
  TPairPass pass;
  const std::string rcpPath = ctx.queueDir + stem + ".RCP";
  struct stat st {};
  if (::lstat(rcpPath.c_str(), &st) != 0) return pass;  // gone (or never complete)

  const std::string holdPath = ctx.queueDir + HoldFileName(stem);
  auto held = [&] {
    pass.outcome = TPairPass::Outcome::Waiting;
    pass.nextDue = std::numeric_limits<int64_t>::max();  // until it is released
    return pass;
  };
  if (NameExists(holdPath)) return held();

  TQueuedPair pair;
  TFd msg;
  std::string why;
  if (!ReadQueuedPair(ctx.queueDir, stem, pair, msg, why)) {
    Damaged(ctx, stem, why);
    pass.outcome = TPairPass::Outcome::Damaged;
    return pass;
  }
  // The lock on the message file keeps the operator's commands (-HOLD, -DELETE, ...) and
  // the deliveries apart; one of them at work on the pair has it for now.
  if (::flock(msg.Get(), LOCK_EX | LOCK_NB) != 0) {
    pass.outcome = TPairPass::Outcome::Waiting;
    pass.nextDue = static_cast<int64_t>(ctx.now()) + 5;
    return pass;
  }
  if (::lstat(rcpPath.c_str(), &st) != 0) return pass;  // deleted meanwhile
  if (NameExists(holdPath)) return held();

  TDeliveryState state;
  const bool haveState = ::access((ctx.queueDir + StateFileName(stem)).c_str(), F_OK) == 0;
  if (haveState) {
    // The state of this very pair: the same recipients, and taken from the same recipient
    // file (a stale state file of an earlier pair of that number never decides for it).
    bool matches = LoadDeliveryState(ctx.queueDir, stem, state) &&
                   state.recipients.size() == pair.recipients.size() &&
                   std::fabs(state.queuedAt - pair.queuedAt) < 0.002;
    for (size_t i = 0; matches && i < pair.recipients.size(); ++i)
      matches = state.recipients[i].address == pair.recipients[i];
    if (!matches) {
      Damaged(ctx, stem, "its delivery state file does not match the pair");
      pass.outcome = TPairPass::Outcome::Damaged;
      return pass;
    }
    if (state.done != TDeliveryState::Done::No) {
      Finish(ctx, stem, state.done, true);
      pass.outcome = state.done == TDeliveryState::Done::Delivered ? TPairPass::Outcome::Delivered
                                                                   : TPairPass::Outcome::Failed;
      return pass;
    }
  } else {
    state.queuedAt = pair.queuedAt;
    for (const auto& a : pair.recipients) {
      TRecipientProgress r;
      r.address = a;
      state.recipients.push_back(std::move(r));
    }
  }

  const double start = ctx.now();
  const int64_t now = static_cast<int64_t>(start);
  std::vector<size_t> due;
  for (size_t i = 0; i < state.recipients.size(); ++i) {
    const auto& r = state.recipients[i];
    if (!r.Final() && (force || r.nextTry <= now)) due.push_back(i);
  }
  if (!due.empty()) {
    const bool expired = start - state.queuedAt >= static_cast<double>(ctx.maxAgeSeconds);
    // The recipients of each address (an address listed twice gets the message once).
    std::vector<std::vector<size_t>> groups;
    for (size_t i : due) {
      auto g = std::find_if(groups.begin(), groups.end(), [&](const std::vector<size_t>& x) {
        return state.recipients[x.front()].address == state.recipients[i].address;
      });
      if (g == groups.end())
        groups.push_back({i});
      else
        g->push_back(i);
    }
    // A reply that could not be recorded ends the pass: the next pass starts again from
    // the state last stored, so only that one transaction's recipients can get the
    // message twice.
    bool stateLost = false;
    auto apply = [&](size_t i, const TReply& reply) {
      auto& r = state.recipients[i];
      r.tries++;
      r.lastTry = now;
      r.reply = reply.text;
      if (reply.Success())
        r.state = TRecipientState::Sent;
      else if (reply.Permanent() || expired)
        r.state = TRecipientState::Bounced;
      else {
        r.state = TRecipientState::Deferred;
        r.nextTry = now + RetryDelaySeconds(r.tries);
      }
    };
    // Recorded before it is told: a crash from here on never repeats these recipients. The
    // last answers of a pair delivered to everyone mark it done.
    auto commit = [&] {
      if (state.AllFinal() && !state.AnyBounced()) {
        state.done = TDeliveryState::Done::Delivered;
        if (!RecordDelivered(ctx, stem) && !SaveState(ctx, stem, state)) stateLost = true;
      } else if (!SaveState(ctx, stem, state)) {
        stateLost = true;
      }
    };
    auto tell = [&](size_t i, const TReply& reply) {
      const auto& r = state.recipients[i];
      const double delay = ctx.now() - state.queuedAt;
      ctx.mailLog(DeliveryLogLine(stem, NextHopAddress(r.address), ctx.transport.RelayName(), delay,
                                  r.tries, r.state, reply.text));
      if (ctx.metrics != nullptr)
        ctx.metrics->CountRecipient(r.state == TRecipientState::Sent ? TDeliverResult::Sent
                                    : r.state == TRecipientState::Bounced
                                        ? TDeliverResult::Bounced
                                        : TDeliverResult::Deferred,
                                    delay);
    };
    // A Return-path that is no single address goes on as the null sender.
    const std::string sender =
        IsOnePath(pair.returnPath) ? NextHopAddress(SenderAddress(pair.returnPath)) : "";
    // Transactions of up to recipientLimit addresses. Addresses that need SMTPUTF8 travel
    // apart from the others when the sender does not, so that a hop without it still
    // takes the rest.
    std::deque<std::vector<size_t>> transactions;  // each: indices into groups
    {
      const size_t limit = std::max<size_t>(1, ctx.recipientLimit);
      std::vector<size_t> plain, utf8;
      for (size_t g = 0; g < groups.size(); ++g)
        (!NeedsUtf8(sender) && NeedsUtf8(state.recipients[groups[g].front()].address) ? utf8
                                                                                      : plain)
            .push_back(g);
      for (const auto* part : {&plain, &utf8})
        for (size_t k = 0; k < part->size(); k += limit)
          transactions.emplace_back(
              part->begin() + static_cast<std::ptrdiff_t>(k),
              part->begin() + static_cast<std::ptrdiff_t>(std::min(part->size(), k + limit)));
    }
    const bool eightBit = HasEightBitOctets(msg.Get());
    std::optional<TReply> unreachable;
    while (!transactions.empty() && !stateLost) {
      const std::vector<size_t> members = std::move(transactions.front());
      transactions.pop_front();
      std::vector<TReply> replies(members.size());
      if (unreachable) {
        for (auto& r : replies) r = *unreachable;
      } else {
        TMessageToSend message;
        message.sender = sender;
        for (size_t g : members)
          message.recipients.push_back(NextHopAddress(state.recipients[groups[g].front()].address));
        message.size = pair.messageSize;
        message.eightBit = eightBit;
        const int fd = msg.Get();
        uint64_t offset = 0;
        message.read = [fd, &offset](char* p, size_t n) -> long {
          for (;;) {
            ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) offset += static_cast<uint64_t>(got);
            return static_cast<long>(got);
          }
        };
        message.onReply = [&](size_t k, const TReply& reply) { replies[k] = reply; };
        transport.Send(message);
      }
      // Recipients a hop put off at RCPT with 452 while it took others of the same
      // transaction are asked for again at once, in a transaction of their own.
      std::vector<size_t> again;
      bool anyTaken = false;
      for (const auto& r : replies) anyTaken = anyTaken || r.Success();
      for (size_t k = 0; k < members.size(); ++k) {
        if (anyTaken && replies[k].atRcpt && replies[k].code == 452) {
          again.push_back(members[k]);
          continue;
        }
        for (size_t i : groups[members[k]]) apply(i, replies[k]);
        // No reply at all (no connection, a time-out, a hop out of step): the others wait
        // for the next pass.
        if (replies[k].code == 0 && !unreachable) unreachable = replies[k];
      }
      if (again.size() < members.size()) commit();
      for (size_t k = 0; k < members.size(); ++k) {
        if (std::find(again.begin(), again.end(), members[k]) != again.end()) continue;
        for (size_t i : groups[members[k]]) tell(i, replies[k]);
      }
      if (!again.empty()) transactions.push_front(std::move(again));
    }
    if (stateLost) {
      pass.outcome = TPairPass::Outcome::Waiting;
      pass.nextDue = now + RetryDelaySeconds(1);
      return pass;
    }
  }

  bool notifyDue = false;
  for (const auto& r : state.recipients)
    if (r.state == TRecipientState::Bounced && !r.notified) notifyDue = true;
  if (notifyDue) {
    Notify(ctx, pair, state, msg.Get(), transport);
    SaveState(ctx, stem, state);
  }

  if (state.AllFinal()) {
    msg.Reset();
    if (state.done != TDeliveryState::Done::No) {
      Finish(ctx, stem, state.done, true);
    } else {
      state.done =
          state.AnyBounced() ? TDeliveryState::Done::Failed : TDeliveryState::Done::Delivered;
      if (SaveState(ctx, stem, state)) {
        Finish(ctx, stem, state.done, true);
        if (state.done == TDeliveryState::Done::Failed) ReportNeverNotified(ctx, pair, state);
      }
    }
    pass.outcome = state.done == TDeliveryState::Done::Delivered ? TPairPass::Outcome::Delivered
                                                                 : TPairPass::Outcome::Failed;
    if (ctx.metrics != nullptr)
      ctx.metrics->CountMessage(pass.outcome == TPairPass::Outcome::Delivered
                                    ? TDeliverResult::Sent
                                    : TDeliverResult::Bounced);
    return pass;
  }
  if (ctx.metrics != nullptr && !due.empty()) ctx.metrics->CountMessage(TDeliverResult::Deferred);
  pass.outcome = TPairPass::Outcome::Waiting;
  pass.nextDue = state.NextDue();
  return pass;
}

void FinishLeftover(const TDeliverContext& ctx, const std::string& stem) {
  struct stat st {};
  if (::lstat((ctx.queueDir + stem + ".RCP").c_str(), &st) == 0) return;  // a whole pair
  const std::string sent = ctx.queueDir + SentFileName(stem);
  if (::lstat(sent.c_str(), &st) == 0) {
    // Delivered. A message file a crash left behind goes first; the records go with the
    // next sweep, once its removal is flushed.
    const std::string message = ctx.queueDir + stem + ".MSG";
    if (::unlink(message.c_str()) == 0) return;
    if (errno != ENOENT) {
      ctx.event(kLogError, message + " could not be removed: " + std::strerror(errno));
      return;
    }
    RemovePair(ctx, stem, false);
    if (::unlink(sent.c_str()) != 0 && errno != ENOENT)
      ctx.event(kLogError, sent + " could not be removed: " + std::strerror(errno));
    return;
  }
  TDeliveryState state;
  if (LoadDeliveryState(ctx.queueDir, stem, state) && state.done != TDeliveryState::Done::No) {
    Finish(ctx, stem, state.done, false);
    return;
  }
  Damaged(ctx, stem, "its recipient file is gone");
}

}  // namespace kestran
