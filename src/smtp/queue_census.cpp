#include "smtp/queue_census.h"

#include <vector>

#include "platform/files.h"

namespace kestran {
namespace {

bool IsRecipientFile(const std::string& name) {
  if (name.size() <= 4) return false;
  const char* ext = name.c_str() + name.size() - 4;
  return ext[0] == '.' && (ext[1] == 'R' || ext[1] == 'r') && (ext[2] == 'C' || ext[2] == 'c') &&
         (ext[3] == 'P' || ext[3] == 'p');
}

}  // namespace

TQueueCensus TakeQueueCensus(const std::string& dir, bool withAge) {
  TQueueCensus census;
  std::vector<TDirEntry> entries;
  if (!ListDirectory(dir, entries, withAge)) return census;
  census.Read = true;
  for (const auto& e : entries) {
    if (e.kind != TEntryKind::File || !IsRecipientFile(e.name)) continue;
    ++census.Pairs;
    if (census.OldestModified == 0 || e.modified < census.OldestModified)
      census.OldestModified = e.modified;
  }
  return census;
}

}  // namespace kestran
