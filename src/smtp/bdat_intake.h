#pragma once
// The body of a message sent with BDAT (RFC 3030). Its chunks carry the message as it
// is, without dot-stuffing and without an end marker; the intake turns them into the
// form a DATA transfer leaves in the queue: lines ended by CR LF, a "." added in front of
// every line that starts with ".", and the final line ".".
//
// Every line end in a chunk ends a line: CR LF, and also a bare LF or a bare CR (a CR
// at the end of one chunk and an LF at the start of the next are one CR LF). So no
// reader of the queue file, and no next hop after it, can find a line, or a "." line
// that ends the message, that this intake did not see and stuff. A last line without a
// line end gets one.

#include <cstdint>
#include <string>
#include <string_view>

#include "smtp/message_body.h"

namespace kestran {

// Parses the argument of BDAT: "<size>" or "<size> LAST" (LAST in any letter case).
enum class TBdatArgument {
  Valid,
  BadSize,   // no size, or not a decimal number of at most 19 digits: the chunk's end
             // cannot be known
  BadOther,  // a valid size followed by something other than LAST
};
TBdatArgument ParseBdatArgument(const std::string& arg, uint64_t& size, bool& last);

class TBdatIntake {
 public:
  enum class State { Kept, LineTooLong, TooBig, NotKept, NoRoom };

  // Starts a message into body (already started by the caller). maxSize: octets the
  // chunks may add up to (0 = no limit); maxLine: octets of one line (0 = no limit).
  void Begin(TMessageBody& body, uint64_t maxSize, uint32_t maxLine);
  bool Active() const { return body_ != nullptr; }

  // Takes the next octets of a chunk. Once a limit is passed or the body could not be
  // kept, the octets are counted and dropped.
  void Feed(std::string_view octets);
  // After the last chunk: ends the last line and adds the "." line. The result says
  // whether the message can be queued.
  State Finish();
  // Forgets the message (the body stays with its owner).
  void Abandon();
  // The queue's file system has no room for more of it: the rest is counted and dropped.
  void OutOfRoom();

  State Current() const { return state_; }
  // Octets of all chunks so far.
  uint64_t Octets() const { return octets_; }

 private:
  void EndLine();
  void Drop();

  TMessageBody* body_ = nullptr;
  uint64_t maxSize_ = 0;
  uint32_t maxLine_ = 0;
  uint64_t octets_ = 0;
  State state_ = State::Kept;
  std::string line_;       // the line being received, its stuffing dot already added
  bool lineOpen_ = false;  // line_ holds octets of a line not ended yet
  bool afterCR_ = false;   // the last octet taken was a CR (an LF now belongs to it)
};

}  // namespace kestran
