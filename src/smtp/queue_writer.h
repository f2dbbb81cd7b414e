#pragma once
// The queue pair handed to the host mail server: "B" + ten digits + ".MSG" holds the
// message with its trace headers, the ".RCP" file with the same stem the envelope.
//
// A pair is never written over another: the message file is created only when its name
// is free, and the recipient file is written under a temporary name and renamed once it
// is complete, after the message file is complete. A pair that fails part-way is removed.
// No name is followed as a link: a link under the name of either file of the pair makes
// the name count as taken, one under the temporary name fails the write.
//
// The temporary name carries a digest of both files: stem + "." + 16 hex digits +
// ".RC~". When syncing, both files and that name are flushed to disk before the rename,
// and the message is acknowledged after the rename without waiting for the rename itself
// to reach the disk: after a crash that lost the rename, the next start finds the pair
// whole by its digest and renames it then (see queue_leftovers.h).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "smtp/directory_sync.h"
#include "smtp/smtp_msg.h"

namespace kestran {

class TContentDigest;
class TFile;

// "B" + number in decimal, left-padded with "0" to ten characters (42 -> B0000000042).
std::string FormatMsgId(int32_t number);

// dir with a "\" appended when it is not empty and does not end in one.
std::string QueueDirPrefix(const std::string& dir);

// What the header block of a message (the lines before the first empty line) holds;
// data is the message as CR LF lines.
THeaderScan ScanHeaders(const std::string& data);

// A header line of our own put between the added lines and a message whose first line
// starts with a blank or a tab, so that such a line continues it and never the trace
// header.
inline constexpr const char* kUnattachedTextHeader = "X-Kestran-Unattached-Text:";

// The lines put in front of the message: the folded Received header, then Date: and
// Message-ID: when the message has none of its own, then kUnattachedTextHeader when
// the message's first line is a continuation. Each line ends in CR LF.
std::string BuildTraceHeader(const TSMTPMsg& msg, const std::string& hostName,
                             const std::string& date, const THeaderScan& scan);

// The recipient file: Message-ID, Return-path, one Recipient line per accepted recipient.
std::string BuildRecipientFile(const TSMTPMsg& msg, const std::string& hostName);

// The digest a temporary recipient file's name carries: of the message file's bytes,
// their count, and the recipient file's bytes.
uint64_t QueuePairDigest(std::string_view msgText, std::string_view rcpText);
// The same, from the digest of the message file's bytes.
uint64_t QueuePairDigest(TContentDigest msgDigest, std::string_view rcpText);

// The stem ("B" + ten digits) and the digest of a temporary recipient file's name; false
// for any other name.
bool ParseTemporaryName(std::string_view name, std::string& stem, uint64_t& digest);

// Where a queue write that failed met its failure: the file and the error code.
struct TQueueFault {
  std::string file;
  uint32_t error = 0;
};

class TQueueWriter {
 public:
  enum class Outcome {
    Written,    // both files are in place (and, when syncing, on disk or found again
                // by the next start)
    NameTaken,  // something has a name of the pair; nothing of it was touched
    Failed,     // nothing of the pair is left behind
  };

  // dir: the queue directory as configured (Windows path, may be empty).
  TQueueWriter(const std::string& dir, bool sync);

  // Announces, from the thread that will write it, a pair on its way (a body being
  // received), so that a flush about to begin may wait for it; nothing when not syncing.
  TDirectorySync::TExpected ExpectPair() const;

  std::string MessagePath(const std::string& msgId) const;
  std::string RecipientPath(const std::string& msgId) const;
  std::string TemporaryPath(const std::string& msgId, uint64_t digest) const;

  Outcome WritePair(const std::string& msgId, const std::string& msgText,
                    const std::string& rcpText) const;
  // The same, with the message file's contents written by writeMessage (false: failed).
  // On Failed, fault (when given) receives the file and the error.
  Outcome WritePair(const std::string& msgId, const std::function<bool(TFile&)>& writeMessage,
                    const std::string& rcpText, TQueueFault* fault = nullptr) const;

 private:
  std::string dir_;
  std::string prefix_;
  bool sync_;
};

}  // namespace kestran
