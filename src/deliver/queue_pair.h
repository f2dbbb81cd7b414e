#pragma once
// One queue pair as the receiver leaves it: "B" + ten digits + ".MSG" holds the message
// with its trace headers, dot-stuffed and ended by the line "."; the ".RCP" file with the
// same stem the envelope ("Message-ID: ", "Return-path: ", one "Recipient: " line per
// recipient). A pair is complete once the recipient file has its final name; nothing
// else in the queue directory is ever touched here.
//
// Paths in this program are native paths; a directory ends in "/".

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestran {

class TFd;

struct TQueuedPair {
  std::string stem;  // "B0000000042"
  std::string messageId;
  std::string returnPath;  // as written, "<>" or "" for a null sender
  std::vector<std::string> recipients;
  uint64_t messageSize = 0;
  double queuedAt = 0;  // when the recipient file was completed, seconds since 1970
};

// The stem of a name "B" + ten digits + ext, or "" for any other name.
std::string PairStem(std::string_view name, std::string_view ext);

// The file whose presence beside a pair holds it: "B0000000042.HOLD".
std::string HoldFileName(const std::string& stem);

// A file in the queue directory that asks the running program to try one pair now:
// this prefix + the pair's stem.
inline constexpr const char* kDueRequestPrefix = "kestran-deliver.due.";

// The stems of the complete pairs in dir, in order; false when dir cannot be read.
bool ListPairStems(const std::string& dir, std::vector<std::string>& stems);

// The envelope of a recipient file's text; false with the reason when it is not one.
bool ParseRecipientFile(const std::string& text, TQueuedPair& pair, std::string& why);

// The sender's address for MAIL FROM:<...>: "" for a null sender.
std::string SenderAddress(const std::string& returnPath);

// Whether the Return-path is exactly one path as the receiver's address parser reads
// it, or the null sender. A Return-path that is not ("<> AUTH=<>", kept as the client
// sent it) is taken as the null sender: it goes to the next hop as MAIL FROM:<>, and no
// notification is ever sent to it.
bool IsOnePath(const std::string& returnPath);

// An address as it goes to a next hop (MAIL FROM, RCPT TO, a sendmail command line):
// the receiver keeps addresses without their quotes, so a local part that holds a blank
// (which stood between quotes) is quoted again, its '"' and '\' escaped.
std::string NextHopAddress(const std::string& address);

// Reads and checks the pair of stem in dir: both are plain files (never links), the
// envelope parses and the message file ends in the line ".". False with the reason when
// the pair cannot be delivered as it stands.
// The message file is left open in message.
bool ReadQueuedPair(const std::string& dir, const std::string& stem, TQueuedPair& pair,
                    TFd& message, std::string& why);

}  // namespace kestran
