#include "smtp/queue_leftovers.h"

#include <set>
#include <string_view>

#include "platform/content_digest.h"
#include "platform/files.h"
#include "smtp/queue_writer.h"

namespace kestran {
namespace {

constexpr int kMaxDamagedNames = 100;

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The names under which the receiver keeps files only while it writes them.
bool IsOwnTemporary(const std::string& name) {
  std::string stem;
  uint64_t digest = 0;
  if (ParseTemporaryName(name, stem, digest)) return true;
  // The form of earlier versions, without a digest.
  if (name.size() == 15 && name[0] == 'B' && EndsWith(name, ".RC~")) {
    for (size_t i = 1; i <= 10; ++i)
      if (name[i] < '0' || name[i] > '9') return false;
    return true;
  }
  if (StartsWith(name, "kestran-body-") && EndsWith(name, ".tmp")) return true;
  return name == "kestrant.tmp" || (StartsWith(name, "kestrant-") && EndsWith(name, ".tmp"));
}

std::string ErrorSuffix() {
  return " (error " + std::to_string(LastFileError()) + ")";
}

// Moves one message file into the damaged directory under its own name, or, when an
// earlier one took that name, under the name with "-1", "-2", ... before its extension.
bool MoveToDamaged(const std::string& prefix, const std::string& damaged, const std::string& name,
                   std::string& target) {
  return MoveIntoDirectory(prefix + name, damaged, target, kMaxDamagedNames);
}

// Adds a file's bytes to digest, read in pieces; false when it cannot be read.
bool DigestFile(const std::string& path, TContentDigest& digest) {
  TFile f;
  if (!f.Open(path, TFile::Mode::Read)) return false;
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    long n = f.Read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) return true;
    digest.Add(buffer.data(), static_cast<size_t>(n));
  }
}

enum class TPairState { Whole, Cut, Unreadable };

// Whether the temporary recipient file tmpName and the message file msgName hold exactly
// what was written to them, by the digest in tmpName.
TPairState CheckPair(const std::string& prefix, const std::string& msgName,
                     const std::string& tmpName, uint64_t expected) {
  TContentDigest msg;
  std::string rcp;
  if (!DigestFile(prefix + msgName, msg) || !ReadWholeFile(prefix + tmpName, rcp))
    return TPairState::Unreadable;
  return QueuePairDigest(msg, rcp) == expected ? TPairState::Whole : TPairState::Cut;
}

}  // namespace

std::vector<TLeftoverNote> CleanQueueLeftovers(const std::string& dir, int64_t now) {
  std::vector<TLeftoverNote> notes;
  try {
    const std::string prefix = QueueDirPrefix(dir);
    std::vector<TDirEntry> entries;
    if (!ListDirectory(dir, entries)) {
      notes.push_back({TLeftoverNote::Kind::Error,
                       "The queue directory " + dir + " could not be read" + ErrorSuffix()});
      return notes;
    }

    std::set<std::string> names;  // upper-cased, to find a message file's partner
    for (const auto& e : entries) names.insert(Upper(e.name));

    // A temporary recipient file whose pair is whole by its digest was flushed before
    // its message could be acknowledged, and may have been: it takes its name now. One
    // whose pair is not whole was never acknowledged and goes with the temporary files.
    int completed = 0;
    std::set<std::string> kept;  // upper-cased stems of pairs left as they are
    for (const auto& e : entries) {
      std::string stem;
      uint64_t digest = 0;
      if (e.kind != TEntryKind::File || e.modified >= now ||
          !ParseTemporaryName(e.name, stem, digest))
        continue;
      if (names.count(Upper(stem) + ".RCP") != 0 || names.count(Upper(stem) + ".MSG") == 0 ||
          EntryKindOf(prefix + stem + ".MSG") != TEntryKind::File)
        continue;
      const TPairState state = CheckPair(prefix, stem + ".MSG", e.name, digest);
      if (state == TPairState::Cut) continue;
      // From here on the file is never removed: a pair that could not be read or renamed
      // may be whole, and stays for the next start (or the administrator).
      names.erase(Upper(e.name));
      kept.insert(Upper(stem));
      if (state == TPairState::Unreadable) {
        notes.push_back({TLeftoverNote::Kind::Error, "The queue pair " + prefix + stem +
                                                         " left under " + e.name +
                                                         " could not be read" + ErrorSuffix()});
      } else if (RenameNoReplace(prefix + e.name, prefix + stem + ".RCP")) {
        names.insert(Upper(stem) + ".RCP");
        ++completed;
        notes.push_back({TLeftoverNote::Kind::Warning,
                         "Completed the queue pair " + prefix + stem +
                             ": its recipient file had not taken its name when the receiver "
                             "ended"});
      } else {
        notes.push_back({TLeftoverNote::Kind::Error, "The recipient file " + prefix + e.name +
                                                         " could not be renamed to " + stem +
                                                         ".RCP" + ErrorSuffix()});
      }
    }
    if (completed > 0) {
      TFileSystemFlush flush(dir);
      if (!flush.Flush({}))
        notes.push_back({TLeftoverNote::Kind::Error, "The queue directory " + prefix +
                                                         " could not be flushed" + ErrorSuffix()});
    }

    int removed = 0;
    std::vector<std::string> orphans;
    for (const auto& e : entries) {
      if (e.kind != TEntryKind::File) continue;
      if (IsOwnTemporary(e.name)) {
        // Completed above, or kept for a pair that may be whole.
        if (names.count(Upper(e.name)) == 0) continue;
        // One changed since this start may belong to another receiver at work.
        if (e.modified >= now) continue;
        if (DeleteFilePath(prefix + e.name))
          ++removed;
        else
          notes.push_back(
              {TLeftoverNote::Kind::Error,
               "The temporary file " + prefix + e.name + " could not be removed" + ErrorSuffix()});
        continue;
      }
      if (e.name.size() <= 4 || Upper(e.name.substr(e.name.size() - 4)) != ".MSG") continue;
      const std::string stem = e.name.substr(0, e.name.size() - 4);
      if (names.count(Upper(stem) + ".RCP") != 0 || kept.count(Upper(stem)) != 0) continue;
      if (now - e.modified < kDamagedAfterSeconds) continue;
      orphans.push_back(e.name);
    }
    if (removed > 0)
      notes.push_back({TLeftoverNote::Kind::Information,
                       "Removed " + std::to_string(removed) +
                           " temporary file(s) left in the queue directory " + prefix});
    if (orphans.empty()) return notes;

    const std::string damaged = prefix + "damaged";
    if (EntryKindOf(damaged) == TEntryKind::None) CreateDir(damaged);
    if (EntryKindOf(damaged) != TEntryKind::Directory) {
      notes.push_back({TLeftoverNote::Kind::Error,
                       "The directory " + damaged + " is missing or not a plain directory: " +
                           std::to_string(orphans.size()) +
                           " message file(s) without a recipient file stay in the queue"});
      return notes;
    }
    for (const auto& name : orphans) {
      // The recipient file may have come since the directory was read.
      const std::string stem = name.substr(0, name.size() - 4);
      if (NameExists(prefix + stem + ".RCP")) continue;
      std::string target;
      if (MoveToDamaged(prefix, damaged + "\\", name, target))
        notes.push_back(
            {TLeftoverNote::Kind::Warning, "Moved the message file " + prefix + name +
                                               ", left without its recipient file, to " + target});
      else
        notes.push_back({TLeftoverNote::Kind::Error, "The message file " + prefix + name +
                                                         ", left without its recipient file, "
                                                         "could not be moved to " +
                                                         damaged + ErrorSuffix()});
    }
  } catch (const std::exception& e) {
    notes.push_back({TLeftoverNote::Kind::Error,
                     "The queue directory " + dir + " could not be cleaned up: " + e.what()});
  }
  return notes;
}

}  // namespace kestran
