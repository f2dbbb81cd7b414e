#include "smtp/queue_writer.h"

#include <string_view>

#include "platform/content_digest.h"
#include "platform/files.h"
#include "platform/ip_address.h"
#include "smtp/directory_sync.h"
#include "smtp/smtp_esmtp.h"

namespace kestran {
namespace {

constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorAlreadyExists = 183;

bool NameWasTaken(uint32_t error) {
  return error == kErrorFileExists || error == kErrorAlreadyExists;
}

std::string DigestText(uint64_t digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, digest >>= 4) text[static_cast<size_t>(i)] = kHex[digest & 15];
  return text;
}

// Creates the temporary recipient file of a stem whose message file this writer has just
// created, so nobody else writes under that stem: a plain file already under the
// temporary name is what a write cut short left behind and is replaced. Anything else
// there (a link, a directory) is neither followed nor touched, and the write fails.
bool CreateTemporary(TFile& file, const std::string& path) {
  if (file.Open(path, TFile::Mode::CreateExclusive)) return true;
  if (!NameWasTaken(LastFileError()) || EntryKindOf(path) != TEntryKind::File) return false;
  return DeleteFilePath(path) && file.Open(path, TFile::Mode::CreateExclusive);
}

}  // namespace

std::string FormatMsgId(int32_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 10) digits.insert(0, 10 - digits.size(), '0');
  return "B" + digits;
}

std::string QueueDirPrefix(const std::string& dir) {
  if (dir.empty() || dir.back() == '\\') return dir;
  return dir + "\\";
}

THeaderScan ScanHeaders(const std::string& data) {
  THeaderScan scan;
  size_t pos = 0;
  while (pos < data.size()) {
    // A line ends at LF, with or without CR before it (the CR goes with the trimming):
    // clients that send bare LF line ends hold one header per bare-LF line.
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) end = data.size();
    if (!ScanHeaderLine(std::string_view(data).substr(pos, end - pos), pos == 0, scan)) break;
    pos = end + 1;
  }
  return scan;
}

std::string BuildTraceHeader(const TSMTPMsg& msg, const std::string& hostName,
                             const std::string& date, const THeaderScan& scan) {
  std::string h;
  h.reserve(256);
  h += "Received: from " + msg.SendingDomain + " (" + msg.VerifiedSendingDomain + " " +
       AddressLiteral(msg.SendingIP) + ") by " + hostName + "\r\n";
  h += " (KESTRAN 0.45) with " + ReceivedProtocol(msg) + " id <" + msg.MsgId + "@" + hostName +
       ">;\r\n";
  h += " " + date + "\r\n";
  if (!scan.hasDate) h += "Date: " + date + "\r\n";
  if (!scan.hasMessageId) h += "Message-ID: <" + msg.MsgId + "@" + hostName + ">\r\n";
  if (scan.firstLineFolded) h += std::string(kUnattachedTextHeader) + "\r\n";
  return h;
}

std::string BuildRecipientFile(const TSMTPMsg& msg, const std::string& hostName) {
  std::string r = "Message-ID: <" + msg.MsgId + "@" + hostName + ">\r\n";
  r += "Return-path: " + msg.FromStr + "\r\n";
  for (const auto& rec : msg.Recipients.Items()) r += "Recipient: " + rec.Address + "\r\n";
  return r;
}

TQueueWriter::TQueueWriter(const std::string& dir, bool sync)
    : dir_(dir), prefix_(QueueDirPrefix(dir)), sync_(sync) {}

TDirectorySync::TExpected TQueueWriter::ExpectPair() const {
  return sync_ ? TDirectorySync::For(dir_).Expect() : TDirectorySync::TExpected{};
}

std::string TQueueWriter::MessagePath(const std::string& msgId) const {
  return prefix_ + msgId + ".MSG";
}
std::string TQueueWriter::RecipientPath(const std::string& msgId) const {
  return prefix_ + msgId + ".RCP";
}
std::string TQueueWriter::TemporaryPath(const std::string& msgId, uint64_t digest) const {
  return prefix_ + msgId + "." + DigestText(digest) + ".RC~";
}

uint64_t QueuePairDigest(std::string_view msgText, std::string_view rcpText) {
  TContentDigest digest;
  digest.Add(msgText);
  return QueuePairDigest(digest, rcpText);
}

uint64_t QueuePairDigest(TContentDigest digest, std::string_view rcpText) {
  // After the message file's bytes: their count, then the recipient file's bytes.
  uint64_t size = digest.Size();
  char count[8];
  for (char& c : count) {
    c = static_cast<char>(size & 0xff);
    size >>= 8;
  }
  digest.Add(count, sizeof count);
  digest.Add(rcpText);
  return digest.Value();
}

bool ParseTemporaryName(std::string_view name, std::string& stem, uint64_t& digest) {
  // B + 10 digits, ".", 16 hex digits, ".RC~"
  if (name.size() != 11 + 1 + 16 + 4 || name[0] != 'B' || name[11] != '.' ||
      name.substr(28) != ".RC~")
    return false;
  for (size_t i = 1; i < 11; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  uint64_t value = 0;
  for (size_t i = 12; i < 28; ++i) {
    const char c = name[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  stem = std::string(name.substr(0, 11));
  digest = value;
  return true;
}

TQueueWriter::Outcome TQueueWriter::WritePair(const std::string& msgId, const std::string& msgText,
                                              const std::string& rcpText) const {
  return WritePair(
      msgId, [&msgText](TFile& f) { return f.Write(msgText); }, rcpText);
}

TQueueWriter::Outcome TQueueWriter::WritePair(const std::string& msgId,
                                              const std::function<bool(TFile&)>& writeMessage,
                                              const std::string& rcpText,
                                              TQueueFault* fault) const {
  const std::string msgPath = MessagePath(msgId);
  const std::string rcpPath = RecipientPath(msgId);
  // Taken before the clean-up, whose own calls set the last error again.
  auto failedAt = [fault](const std::string& file) {
    if (fault) *fault = TQueueFault{file, LastFileError()};
  };

  // A recipient file without its message file still belongs to someone else's pair; so
  // does anything else under either name (a link is never followed).
  if (NameExists(rcpPath)) return Outcome::NameTaken;

  // With syncing, the files are not flushed one by one: sessions that finish at about
  // the same time share one flush of the queue's file system, which takes the data of
  // both files and the temporary name to disk before the recipient file takes its name
  // (so that a name on disk never stands for a file whose contents could still be
  // lost). The rename is not waited for: a crash that loses it leaves the pair whole
  // under the temporary name, whose digest lets the next start tell it from a pair cut
  // short, and rename it.
  TDirectorySync* group = sync_ ? &TDirectorySync::For(dir_) : nullptr;
  const TDirectorySync::TToken token = group ? group->Begin() : TDirectorySync::TToken{};

  TContentDigest digest;
  TFile msgFile;
  if (!msgFile.Open(msgPath, TFile::Mode::CreateExclusive)) {
    if (NameWasTaken(LastFileError())) return Outcome::NameTaken;
    failedAt(msgPath);
    return Outcome::Failed;
  }
  msgFile.DigestWrites(&digest);
  bool ok = writeMessage(msgFile);
  ok = msgFile.Close() && ok;
  if (!ok) {
    failedAt(msgPath);
    DeleteFilePath(msgPath);
    return Outcome::Failed;
  }
  const std::string tmpPath = TemporaryPath(msgId, QueuePairDigest(digest, rcpText));

  TFile rcpFile;
  if (!CreateTemporary(rcpFile, tmpPath)) {
    failedAt(tmpPath);
    DeleteFilePath(msgPath);
    return Outcome::Failed;
  }
  ok = rcpFile.Write(rcpText);
  ok = rcpFile.Close() && ok;
  if (!ok) failedAt(tmpPath);
  if (ok && group) {
    ok = group->Sync(token, {msgPath, tmpPath});
    if (!ok) failedAt(dir_);
  }
  // The recipient file appears under its name complete, and only where nothing was.
  bool taken = false;
  if (ok) {
    ok = RenameNoReplace(tmpPath, rcpPath);
    taken = !ok && NameWasTaken(LastFileError());
    if (!ok && !taken) failedAt(rcpPath);
  }
  if (!ok) {
    DeleteFilePath(tmpPath);
    DeleteFilePath(msgPath);
    return taken ? Outcome::NameTaken : Outcome::Failed;
  }
  return Outcome::Written;
}

}  // namespace kestran
