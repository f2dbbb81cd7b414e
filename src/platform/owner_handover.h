#pragma once
// Giving a directory tree to an account, safely against that account. The tree belongs
// to the account, which may rename, replace or link anything in it while the hand-over
// runs: the walk therefore goes from directory descriptor to directory descriptor and
// acts on each entry through a descriptor of the entry itself, so that no link planted
// at any point of the tree, before or during the walk, leads it outside.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace kestran {

struct THandOverResult {
  int error = 0;            // 0, or the errno of the first failure (the walk stops there)
  size_t skippedLinks = 0;  // plain files left alone because they have other names too
};

// Hands the directory root (a link as root itself is followed, as the name given) and
// everything below it on the same file system to uid:gid: directories 0750, other
// entries 0640, symbolic links their owner only (never their target). A plain file with
// more than one name (a hard link, perhaps to a file outside the tree) is left as it is.
// Entries that vanish while the walk runs are passed over.
THandOverResult HandOverTree(const std::string& root, uid_t uid, gid_t gid);

}  // namespace kestran
