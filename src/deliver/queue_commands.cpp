#include "deliver/queue_commands.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "deliver/delivery_state.h"
#include "deliver/file_util.h"
#include "deliver/pair_delivery.h"
#include "deliver/queue_pair.h"

namespace kestran {

namespace {

const char* Verb(TQueueCommand c) {
  switch (c) {
    case TQueueCommand::Hold:
      return "held";
    case TQueueCommand::Release:
      return "released";
    case TQueueCommand::Delete:
      return "deleted";
    case TQueueCommand::Requeue:
      return "requeued";
  }
  return "";
}

// Asks a running kestran-deliver to try the pair now (nothing happens when none runs:
// its next start scans the queue).
bool RequestDue(const std::string& dir, const std::string& stem) {
  const std::string path = dir + kDueRequestPrefix + stem;
  TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
  return fd.Valid();
}

int OnePair(TQueueCommand command, const std::string& dir, const std::string& stem,
            const TQueueCommandOutput& out) {
  const std::string rcp = dir + stem + ".RCP";
  // The pair's lock is that of its message file; a delivery under way holds it until its
  // pass is over.
  TFd msg(::open((dir + stem + ".MSG").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!msg.Valid() || !IsPlainFile(rcp)) {
    out.error("kestran-deliver: no queued pair " + stem);
    return 1;
  }
  if (::flock(msg.Get(), LOCK_EX | LOCK_NB) != 0) {
    out.print(stem + ": waiting for the delivery under way");
    while (::flock(msg.Get(), LOCK_EX) != 0)
      if (errno != EINTR) {
        out.error("kestran-deliver: " + stem + " cannot be locked: " + std::strerror(errno));
        return 1;
      }
  }
  // A delivery may have finished the pair meanwhile.
  if (!IsPlainFile(rcp)) {
    out.error("kestran-deliver: no queued pair " + stem + " (it left the queue meanwhile)");
    return 1;
  }
  const std::string hold = dir + HoldFileName(stem);
  switch (command) {
    case TQueueCommand::Hold: {
      TFd fd(::open(hold.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
      if (!fd.Valid() || !SyncDirectory(dir)) {
        out.error("kestran-deliver: " + stem + " cannot be held: " + std::strerror(errno));
        return 1;
      }
      break;
    }
    case TQueueCommand::Release:
      if (::unlink(hold.c_str()) != 0 && errno != ENOENT) {
        out.error("kestran-deliver: " + stem + " cannot be released: " + std::strerror(errno));
        return 1;
      }
      SyncDirectory(dir);
      RequestDue(dir, stem);
      break;
    case TQueueCommand::Requeue: {
      TDeliveryState state;
      if (LoadDeliveryState(dir, stem, state)) {
        for (auto& r : state.recipients)
          if (!r.Final()) r.nextTry = 0;
        std::string why;
        if (!ReplaceFileDurably(dir, StateFileName(stem), FormatDeliveryState(state), why)) {
          out.error("kestran-deliver: " + why);
          return 1;
        }
      }
      RequestDue(dir, stem);
      break;
    }
    case TQueueCommand::Delete: {
      TQueuedPair pair;
      TFd again;
      std::string why, never;
      TDeliveryState state;
      const bool haveState = LoadDeliveryState(dir, stem, state);
      if (ReadQueuedPair(dir, stem, pair, again, why)) {
        for (size_t i = 0; i < pair.recipients.size(); ++i) {
          const bool sent = haveState && i < state.recipients.size() &&
                            state.recipients[i].state == TRecipientState::Sent;
          if (!sent) never += (never.empty() ? "<" : ", <") + pair.recipients[i] + ">";
        }
      }
      // The recipient file first: from then on the pair is no longer complete.
      for (const std::string& name :
           {stem + ".RCP", stem + ".MSG", StateFileName(stem), HoldFileName(stem)}) {
        if (::unlink((dir + name).c_str()) != 0 && errno != ENOENT) {
          out.error("kestran-deliver: " + dir + name +
                    " cannot be removed: " + std::strerror(errno));
          return 1;
        }
      }
      SyncDirectory(dir);
      out.log(stem + ": deleted by the operator; never delivered to " +
              (never.empty() ? std::string("nobody") : never));
      break;
    }
  }
  out.print(stem + ": " + Verb(command));
  return 0;
}

}  // namespace

int RunQueueCommand(TQueueCommand command, const std::string& dir, const std::string& id,
                    const TQueueCommandOutput& out) {
  std::string upper = id;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper != "ALL") {
    const std::string stem = PairStem(upper + ".RCP", ".RCP");
    if (stem.empty()) {
      out.error("kestran-deliver: '" + id + "' is no queue id (B and ten digits, or ALL)");
      return 1;
    }
    return OnePair(command, dir, stem, out);
  }
  if (command == TQueueCommand::Delete) {
    out.error("kestran-deliver: -DELETE takes one queue id, never ALL");
    return 1;
  }
  std::vector<std::string> stems;
  if (!ListPairStems(dir, stems)) {
    out.error("kestran-deliver: the queue directory " + dir + " cannot be read");
    return 1;
  }
  int status = 0;
  for (const auto& stem : stems)
    if (OnePair(command, dir, stem, out) != 0) status = 1;
  out.print(std::to_string(stems.size()) + " pair" + (stems.size() == 1 ? "" : "s") + " " +
            Verb(command));
  return status;
}

}  // namespace kestran
