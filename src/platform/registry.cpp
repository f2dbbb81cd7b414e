#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/paths.h"
#include "platform/registry_file.h"

namespace kestran {

using regfile::TRegNode;

namespace {

// The last parsed version of the registry file, shared by the threads of the process.
// A version is recognised by its whole text: file times are too coarse, and inode
// numbers are reused, to tell two quick replacements apart.
struct TCache {
  std::mutex m;
  std::string path;
  bool exists = false;
  std::string text;
  std::shared_ptr<const TRegNode> root;
};

TCache& Cache() {
  static TCache* cache = new TCache;  // lives until the process ends
  return *cache;
}

// One writer of this process at a time (the file lock serialises the processes).
std::mutex& WriterMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string LockFilePath() {
  return DataRoot() + "/registry.lock";
}

// The current contents of the registry file, parsed at most once per version.
std::shared_ptr<const TRegNode> LoadCurrent() {
  std::string path = RegistryFilePath();
  std::string text;
  bool exists = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR)
      throw ERegistryFile(path + ": " + std::strerror(errno));
  } else {
    exists = true;
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        int e = errno;
        ::close(fd);
        throw ERegistryFile(path + ": " + std::strerror(e));
      }
      if (n == 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
  }
  TCache& c = Cache();
  {
    std::lock_guard<std::mutex> g(c.m);
    if (c.root && c.path == path && c.exists == exists && c.text == text) return c.root;
  }
  auto root = std::make_shared<TRegNode>();
  if (exists) regfile::ApplyRegText(text, path, *root);
  std::lock_guard<std::mutex> g(c.m);
  c.path = path;
  c.exists = exists;
  c.text = std::move(text);
  c.root = root;
  return root;
}

void Publish(const std::string& path, std::string text, std::shared_ptr<const TRegNode> root) {
  TCache& c = Cache();
  std::lock_guard<std::mutex> g(c.m);
  c.path = path;
  c.exists = true;
  c.text = std::move(text);
  c.root = std::move(root);
}

void ForgetCache() {
  TCache& c = Cache();
  std::lock_guard<std::mutex> g(c.m);
  c.root.reset();
}

bool WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the registry file by the text of root: temporary file, flush, rename, and
// with flushName a flush of the directory.
uint32_t WriteRegistryFile(const std::shared_ptr<const TRegNode>& root, bool flushName) {
  std::string path = RegistryFilePath();
  std::string text = regfile::FormatRegText(*root, "");
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0)
    return errno == EACCES || errno == EPERM || errno == EROFS ? kRegAccessDenied : kRegCantWrite;
  // The new file takes the place of the old one with its owner, group and mode, so that
  // root editing the file of a service account leaves it to that account. Who may not give
  // a file away keeps the mode alone.
  struct stat old;
  bool replacing = ::stat(path.c_str(), &old) == 0;
  mode_t mode = replacing ? (old.st_mode & 07777) : 0640;
  if (replacing) {
    struct stat now;
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0) {
      if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // Neither owner nor group can be kept: the mode still is.
      }
    }
  }
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    ForgetCache();
    return kRegCantWrite;
  }
  int dfd = flushName ? ::open(DataRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  Publish(path, std::move(text), root);
  return kRegSuccess;
}

// Why this process may not change the registry file; "" when it may.
std::string WriteProblem() {
  auto problem = [](const std::string& p) { return p + ": " + std::strerror(errno); };
  std::string root = DataRoot();
  struct stat st;
  if (::stat(root.c_str(), &st) != 0) {
    // The data root is created on first use: its nearest existing parent must be writable.
    std::string p = root;
    for (;;) {
      size_t slash = p.find_last_of('/');
      if (slash == std::string::npos) return ::access(".", W_OK) == 0 ? "" : problem(".");
      p = slash == 0 ? "/" : p.substr(0, slash);
      if (::stat(p.c_str(), &st) == 0) return ::access(p.c_str(), W_OK) == 0 ? "" : problem(p);
      if (p == "/") return p + ": no such directory";
    }
  }
  if (::access(root.c_str(), W_OK) != 0) return problem(root);
  std::string file = RegistryFilePath();
  if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), W_OK) != 0) return problem(file);
  return "";
}

constexpr uint32_t kWriteRights = kKeySetValue | kKeyCreateSubKey | 0x00010000 /*DELETE*/ |
                                  0x00040000 /*WRITE_DAC*/ | 0x00080000 /*WRITE_OWNER*/;

}  // namespace

// ---------------------------------------------------------------------------------
// Transactions

struct TRegTransaction::State {
  TRegTransaction::State* outer = nullptr;  // an enclosing transaction of this thread
  std::unique_lock<std::mutex> writer;
  int lock_fd = -1;
  bool locked = false;
  std::shared_ptr<TRegNode> working;
  bool dirty = false;
};

struct TRegSnapshot::State {
  TRegSnapshot::State* outer = nullptr;
  std::shared_ptr<const TRegNode> view;
  std::optional<bool> writable;  // asked once per snapshot
};

namespace {
thread_local TRegTransaction::State* tCurrent = nullptr;
thread_local TRegSnapshot::State* tSnapshot = nullptr;

// The outermost transaction of this thread, which holds the view.
TRegTransaction::State* Outermost(TRegTransaction::State* s) {
  while (s->outer != nullptr) s = s->outer;
  return s;
}

// The view that reads of this thread see.
std::shared_ptr<const TRegNode> ReadView() {
  if (tCurrent != nullptr) return Outermost(tCurrent)->working;
  if (tSnapshot != nullptr) return tSnapshot->view;
  return LoadCurrent();
}

// Whether this process may change the registry file.
bool Writable() {
  if (tSnapshot == nullptr) return WriteProblem().empty();
  if (!tSnapshot->writable) tSnapshot->writable = WriteProblem().empty();
  return *tSnapshot->writable;
}

// Whether a name is one of the temporary files of WriteRegistryFile.
bool IsTemporaryName(const char* name) {
  static const char kStem[] = "registry.reg.";
  const size_t stem = sizeof kStem - 1;
  if (std::strncmp(name, kStem, stem) != 0 || std::strlen(name) != stem + 6) return false;
  for (size_t i = stem; i < stem + 6; ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// Removes (or with remove false only counts) the temporary files of writers that ended
// before renaming theirs. Removing only under the writers' lock: then no writer anywhere
// has one in use.
size_t RemoveLeftoversLocked(bool remove = true) {
  size_t removed = 0;
  DIR* dir = ::opendir(DataRoot().c_str());
  if (dir == nullptr) return 0;
  int dfd = ::dirfd(dir);
  while (dirent* e = ::readdir(dir)) {
    if (!IsTemporaryName(e->d_name)) continue;
    struct stat st;
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!remove || ::unlinkat(dfd, e->d_name, 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

std::atomic<bool> gLeftoversChecked{false};

// Runs a change: inside the thread's transaction, or as a transaction of its own.
template <class F>
uint32_t Change(F&& change) {
  if (tCurrent != nullptr) {
    bool changed = false;
    uint32_t r = change(*Outermost(tCurrent)->working, changed);
    if (changed) tCurrent->dirty = true;
    return r;
  }
  TRegTransaction tx;
  bool changed = false;
  uint32_t r = change(*tCurrent->working, changed);
  if (r != kRegSuccess && !changed) return r;
  if (changed) tCurrent->dirty = true;
  uint32_t w = tx.Commit();
  return r != kRegSuccess ? r : w;
}
}  // namespace

TRegTransaction::TRegTransaction() : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (tCurrent != nullptr) {
    // Nested: works on the enclosing transaction's view, which commits it.
    s.outer = tCurrent;
    tCurrent = &s;
    return;
  }
  s.writer = std::unique_lock<std::mutex>(WriterMutex());
  if (EnsureDataRoot()) {
    s.lock_fd = ::open(LockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A lock file that another account made (root running the registry tool) still locks
    // when this account may only read it.
    if (s.lock_fd < 0 && errno == EACCES)
      s.lock_fd = ::open(LockFilePath().c_str(), O_RDONLY | O_CLOEXEC);
    if (s.lock_fd >= 0) {
      int r;
      do {
        r = ::flock(s.lock_fd, LOCK_EX);
      } while (r != 0 && errno == EINTR);
      s.locked = r == 0;
    }
  }
  if (s.locked && !gLeftoversChecked.exchange(true)) RemoveLeftoversLocked();
  try {
    // A copy of the root alone: the keys below are shared until a change needs them.
    s.working = std::make_shared<TRegNode>(*LoadCurrent());
  } catch (...) {
    if (s.lock_fd >= 0) ::close(s.lock_fd);  // closing releases the lock
    throw;
  }
  tCurrent = &s;
}

TRegTransaction::~TRegTransaction() {
  State& s = *state_;
  if (s.outer != nullptr) {
    if (s.dirty) s.outer->dirty = true;
    tCurrent = s.outer;
    return;
  }
  tCurrent = nullptr;
  if (s.lock_fd >= 0) ::close(s.lock_fd);
}

uint32_t TRegTransaction::Commit(bool flushName) {
  State& s = *state_;
  if (s.outer != nullptr) {
    if (s.dirty) s.outer->dirty = true;
    s.dirty = false;
    return kRegSuccess;
  }
  if (!s.dirty) return kRegSuccess;
  if (!s.locked) return kRegCantWrite;
  uint32_t r = WriteRegistryFile(s.working, flushName);
  if (r == kRegSuccess) {
    s.dirty = false;
    // A snapshot of this thread sees its own changes.
    for (TRegSnapshot::State* snap = tSnapshot; snap != nullptr; snap = snap->outer)
      snap->view = s.working;
    // Later changes in this transaction work on a copy of what was published.
    s.working = std::make_shared<TRegNode>(*s.working);
  }
  return r;
}

TRegSnapshot::TRegSnapshot() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.view = tSnapshot != nullptr ? tSnapshot->view : LoadCurrent();
  if (tSnapshot != nullptr) s.writable = tSnapshot->writable;
  s.outer = tSnapshot;
  tSnapshot = &s;
}

TRegSnapshot::~TRegSnapshot() {
  tSnapshot = state_->outer;
}

std::string RegistryWriteProblem() {
  return WriteProblem();
}

size_t RemoveRegistryLeftovers() {
  if (RemoveLeftoversLocked(false) == 0) return 0;  // nothing to do: no lock, no data root made
  gLeftoversChecked = true;                         // counted here, not by the transaction
  TRegTransaction tx;                               // the writers' lock
  if (!Outermost(tCurrent)->locked) return 0;
  return RemoveLeftoversLocked();
}

// ---------------------------------------------------------------------------------
// Keys

std::string RegistryFilePath() {
  return DataRoot() + "/registry.reg";
}

namespace {

// Resolves an open key's node in a view; the error when it cannot be used.
uint32_t Resolve(const TRegNode& root, const TRegKey& key, uint32_t right, const TRegNode*& node) {
  node = nullptr;
  if (!key.IsOpen()) return kRegInvalidHandle;
  if ((key.Access() & right) != right) return kRegAccessDenied;
  node = root.Find(regfile::SplitKeyPath(key.Path()));
  return node == nullptr ? kRegKeyDeleted : kRegSuccess;
}

// The same for a change: the key is made the working view's own.
uint32_t ResolveForChange(TRegNode& root, const TRegKey& key, uint32_t right, TRegNode*& node) {
  node = nullptr;
  if (!key.IsOpen()) return kRegInvalidHandle;
  if ((key.Access() & right) != right) return kRegAccessDenied;
  node = root.Edit(regfile::SplitKeyPath(key.Path()));
  return node == nullptr ? kRegKeyDeleted : kRegSuccess;
}

}  // namespace

bool TRegKey::ValueExists(const std::string& name) const {
  uint32_t type;
  std::string data;
  return QueryValue(name, type, data) == kRegSuccess;
}

uint32_t TRegKey::QueryValue(const std::string& name, uint32_t& type, std::string& data) const {
  auto view = ReadView();
  const TRegNode* n;
  if (uint32_t r = Resolve(*view, *this, kKeyQueryValue, n)) return r;
  const TRegValue* v = n->FindValue(name);
  if (v == nullptr) return kRegNotFound;
  type = v->type;
  data = v->data;
  return kRegSuccess;
}

uint32_t TRegKey::SetValue(const std::string& name, uint32_t type, const std::string& data) {
  if (!open_) return kRegInvalidHandle;
  if ((access_ & kKeySetValue) != kKeySetValue) return kRegAccessDenied;
  if (name.find('\0') != std::string::npos) return kRegInvalidParameter;
  return Change([&](TRegNode& root, bool& changed) -> uint32_t {
    TRegNode* n;
    if (uint32_t r = ResolveForChange(root, *this, kKeySetValue, n)) return r;
    n->SetValue(name, type, data);
    changed = true;
    return kRegSuccess;
  });
}

uint32_t TRegKey::SetDword(const std::string& name, uint32_t value) {
  std::string data(4, '\0');
  for (int b = 0; b < 4; ++b) data[b] = static_cast<char>((value >> (8 * b)) & 0xFF);
  return SetValue(name, kRegDword, data);
}

uint32_t TRegKey::SetString(const std::string& name, const std::string& text, uint32_t type) {
  return SetValue(name, type, text + '\0');
}

uint32_t TRegKey::DeleteValue(const std::string& name) {
  if (!open_) return kRegInvalidHandle;
  if ((access_ & kKeySetValue) != kKeySetValue) return kRegAccessDenied;
  return Change([&](TRegNode& root, bool& changed) -> uint32_t {
    TRegNode* n;
    if (uint32_t r = ResolveForChange(root, *this, kKeySetValue, n)) return r;
    if (!n->RemoveValue(name)) return kRegNotFound;
    changed = true;
    return kRegSuccess;
  });
}

uint32_t TRegKey::EnumSubKeys(std::vector<std::string>& names) const {
  names.clear();
  auto view = ReadView();
  const TRegNode* n;
  if (uint32_t r = Resolve(*view, *this, kKeyEnumerateSubKeys, n)) return r;
  for (const auto& sub : n->SubKeys()) names.push_back(sub.node->name);
  return kRegSuccess;
}

uint32_t TRegKey::EnumValues(std::vector<std::string>& names) const {
  names.clear();
  auto view = ReadView();
  const TRegNode* n;
  if (uint32_t r = Resolve(*view, *this, kKeyQueryValue, n)) return r;
  for (const auto& v : n->Values()) names.push_back(v.name);
  return kRegSuccess;
}

uint32_t TRegKey::ReadValues(std::vector<TRegValue>& values) const {
  values.clear();
  auto view = ReadView();
  const TRegNode* n;
  if (uint32_t r = Resolve(*view, *this, kKeyQueryValue, n)) return r;
  values = n->Values();
  return kRegSuccess;
}

namespace {

// The names of the keys along a path as they are stored.
std::string StoredPath(const TRegNode& root, const std::vector<std::string>& names) {
  std::vector<std::string> stored;
  const TRegNode* n = &root;
  for (const auto& p : names) {
    n = n->FindSubKey(p);
    stored.push_back(n != nullptr ? n->name : p);
    if (n == nullptr) break;
  }
  return regfile::JoinKeyPath(stored);
}

}  // namespace

uint32_t OpenRegKey(const std::string& path, uint32_t access, TRegKey& key) {
  key.Close();
  if ((access & kWriteRights) != 0 && !Writable()) return kRegAccessDenied;
  auto names = regfile::SplitKeyPath(path);
  auto view = ReadView();
  if (view->Find(names) == nullptr) return kRegNotFound;
  key.open_ = true;
  key.path_ = StoredPath(*view, names);
  key.access_ = access;
  return kRegSuccess;
}

uint32_t CreateRegKey(const std::string& path, uint32_t access, TRegKey& key, bool* created) {
  key.Close();
  if (created != nullptr) *created = false;
  auto names = regfile::SplitKeyPath(path);
  if (names.size() > kRegMaxKeyDepth || path.find('\0') != std::string::npos)
    return kRegInvalidParameter;
  bool writable = Writable();
  if ((access & kWriteRights) != 0 && !writable) return kRegAccessDenied;
  bool made = false;
  {
    auto view = ReadView();
    if (view->Find(names) == nullptr) {
      if (!writable) return kRegAccessDenied;
      uint32_t r = Change([&](TRegNode& root, bool& changed) -> uint32_t {
        if (root.Find(names) == nullptr) {
          root.Create(names);
          changed = made = true;
        }
        return kRegSuccess;
      });
      if (r != kRegSuccess) return r;
    }
  }
  auto view = ReadView();
  key.open_ = true;
  key.path_ = StoredPath(*view, names);
  key.access_ = access;
  if (created != nullptr) *created = made;
  return kRegSuccess;
}

namespace {

uint32_t DeleteKeyAt(const std::string& path, bool tree) {
  auto names = regfile::SplitKeyPath(path);
  if (names.empty()) return kRegAccessDenied;  // the root stays
  if (!Writable()) return kRegAccessDenied;
  return Change([&](TRegNode& root, bool& changed) -> uint32_t {
    std::vector<std::string> parent_names(names.begin(), names.end() - 1);
    const TRegNode* n = root.Find(names);
    if (n == nullptr) return kRegNotFound;
    if (!tree && !n->SubKeys().empty()) return kRegAccessDenied;
    TRegNode* parent = root.Edit(parent_names);
    parent->RemoveSubKey(names.back());
    changed = true;
    return kRegSuccess;
  });
}

}  // namespace

uint32_t DeleteRegKey(const std::string& path) {
  return DeleteKeyAt(path, false);
}
uint32_t DeleteRegTree(const std::string& path) {
  return DeleteKeyAt(path, true);
}

bool RegKeyExists(const std::string& path) {
  return ReadView()->Find(regfile::SplitKeyPath(path)) != nullptr;
}

uint32_t ImportRegText(const std::string& text, const std::string& file_name) {
  // Parsed on its own first, so that a malformed file changes nothing.
  TRegNode check;
  regfile::ApplyRegText(text, file_name, check);
  if (!Writable()) return kRegAccessDenied;
  return Change([&](TRegNode& root, bool& changed) -> uint32_t {
    TRegNode copy = root;
    regfile::ApplyRegText(text, file_name, copy);
    root = std::move(copy);
    changed = true;
    return kRegSuccess;
  });
}

uint32_t ExportRegKey(const std::string& path, std::string& text) {
  text.clear();
  auto names = regfile::SplitKeyPath(path);
  auto view = ReadView();
  const TRegNode* n = view->Find(names);
  if (n == nullptr) return kRegNotFound;
  text = regfile::FormatRegText(*n, StoredPath(*view, names));
  return kRegSuccess;
}

}  // namespace kestran
