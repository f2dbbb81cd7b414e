// BDAT (CHUNKING): a message in chunks of a declared size, streamed into the queue's form.

#include <algorithm>

#include "smtp/bdat_intake.h"
#include "smtp/queue_writer.h"
#include "smtp/smtp_server.h"
#include "smtp/space_reservation.h"

namespace kestran {

void TConduitSMTPServer::ReadChunk(TConduitServerThread* thread, uint64_t size,
                                   TBdatIntake* intake) {
  TConduitServer* conn = thread->Connection();
  while (size > 0) {
    if (conn->UnreadCount() == 0) conn->ReceiveMore(0);
    const size_t take = static_cast<size_t>(std::min<uint64_t>(size, conn->UnreadCount()));
    if (intake != nullptr) intake->Feed(conn->Unread().substr(0, take));
    conn->Skip(take);
    size -= take;
  }
}

void TConduitSMTPServer::DoCommandBDAT(TConduitServerThread* thread, const std::string& arg,
                                       TSMTPMsg& msg) {
  uint64_t size = 0;
  bool last = false;
  const TBdatArgument parsed = ParseBdatArgument(arg, size, last);
  if (parsed == TBdatArgument::BadSize) {
    // Where the chunk ends cannot be known: whatever follows could be taken for commands.
    msg.Reset(false);
    Reply(thread, "501 Syntax: BDAT size [LAST]");
    if (logDebug_) DebugLog("BDAT says 501 Syntax: BDAT size [LAST]");
    thread->Connection()->Flush();
    thread->Connection()->Disconnect();
    return;
  }
  const bool inSequence = parsed == TBdatArgument::Valid && !msg.AccessDenied && msg.MailAccepted &&
                          msg.Recipients.Count() > 0;
  if (!inSequence) {
    // The octets are read all the same, so that none of them is taken for a command.
    ReadChunk(thread, size, nullptr);
    std::string reply;
    if (parsed != TBdatArgument::Valid) {
      reply = "501 Syntax: BDAT size [LAST]";
    } else if (msg.AccessDenied) {
      reply = "554 access denied, " + msg.DenyReason;
    } else {
      reply = "503 No valid recipients specified";
    }
    msg.Reset(false);
    Reply(thread, reply);
    if (logDebug_) DebugLog("BDAT says " + reply);
    return;
  }
  if (!msg.Chunks.Active()) {
    if (!QueueHasSpace()) {
      // As DATA is refused before its 354: the transaction is over, and what it held goes
      // back at once.
      ReadChunk(thread, size, nullptr);
      msg.Reset(false);
      Count(metrics_.StorageRefusals);
      Reply(thread, "452 4.3.1 Insufficient system storage");
      if (logDebug_) DebugLog("BDAT says 452 4.3.1 Insufficient system storage");
      return;
    }
    msg.Data.Start(QueueDirPrefix(mailWriteDir_));
    msg.Chunks.Begin(msg.Data, P().MaxMessageSize, MaxLineLength());
  }
  if (!last) {
    ReadChunk(thread, size, &msg.Chunks);
    HoldRoomForChunks(msg);
    const std::string reply = "250 " + std::to_string(size) + " octets received";
    Reply(thread, reply);
    if (logDebug_) DebugLog("BDAT says " + reply);
    return;
  }
  {
    // While the last chunk comes in, a flush of the queue about to begin may wait for it.
    const TDirectorySync::TExpected coming =
        TQueueWriter(mailWriteDir_, syncQueueFiles_).ExpectPair();
    ReadChunk(thread, size, &msg.Chunks);
    HoldRoomForChunks(msg);
  }
  EndChunkedMessage(thread, msg);
}

void TConduitSMTPServer::HoldRoomForChunks(TSMTPMsg& msg) {
  // The room the transaction holds grows with the body, as for DATA.
  if (msg.Chunks.Current() == TBdatIntake::State::Kept &&
      !msg.Room.GrowTo(BodyFootprint(msg.Data.Size(), TMessageBody::kMemoryPart) +
                       TSpaceReservation::kMinimum))
    msg.Chunks.OutOfRoom();
}

void TConduitSMTPServer::EndChunkedMessage(TConduitServerThread* thread, TSMTPMsg& msg) {
  const TBdatIntake::State state = msg.Chunks.Finish();
  std::string reply;
  if (state == TBdatIntake::State::LineTooLong) {
    msg.Reset(false);
    reply = "500 Line too long";
  } else if (state == TBdatIntake::State::TooBig) {
    msg.Reset(false);
    reply = "552 Message exceeds the size limit";
  } else if (state == TBdatIntake::State::NoRoom) {
    msg.Reset(false);
    Count(metrics_.StorageRefusals);
    reply = "452 4.3.1 Insufficient system storage";
  } else if (state == TBdatIntake::State::Kept && RefuseLoop(thread, msg, "BDAT")) {
    return;
  } else {
    // A body that could not be kept is not numbered: the client may send it again.
    const bool stored = state == TBdatIntake::State::Kept && StoreMessage(thread, msg);
    CountIntake(thread, msg, stored);
    msg.Reset(false);
    reply = stored ? "250 Message received OK" : "451 ERR Requested Action Aborted";
  }
  Reply(thread, reply);
  if (logDebug_) DebugLog("BDAT says " + reply);
}

}  // namespace kestran
