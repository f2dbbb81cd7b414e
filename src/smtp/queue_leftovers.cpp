#include "smtp/queue_leftovers.h"

#include <set>
#include <string_view>

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
  const std::string stem = name.substr(0, name.size() - 4);
  const std::string ext = name.substr(name.size() - 4);
  for (int n = 0; n < kMaxDamagedNames; ++n) {
    target = damaged + (n == 0 ? name : stem + "-" + std::to_string(n) + ext);
    if (RenameNoReplace(prefix + name, target)) return true;
    uint32_t e = LastFileError();
    if (e != 80 && e != 183) return false;
  }
  return false;
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

    int removed = 0;
    std::vector<std::string> orphans;
    for (const auto& e : entries) {
      if (e.kind != TEntryKind::File) continue;
      if (IsOwnTemporary(e.name)) {
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
      if (names.count(Upper(stem) + ".RCP") != 0) continue;
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
