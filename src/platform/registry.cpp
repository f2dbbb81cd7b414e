#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
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

// The lock file, made when missing. Root editing the registry of a service account works
// in a directory that account owns: a link it put under the name is never opened through
// (no file is made at its target), and the change fails for want of the lock.
int OpenLockFile() {
  int fd = ::open(LockFilePath().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  // A lock file that another account made (root running the registry tool) still locks
  // when this account may only read it.
  if (fd < 0 && errno == EACCES)
    fd = ::open(LockFilePath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  return fd;
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
    s.lock_fd = OpenLockFile();
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

namespace {

// Where the digits of one dword value stand in the registry file: found once per
// version of the file, then used while the same file (held open, so that its inode
// number cannot pass to another file) is still the one at the registry's path.
// Guarded by WriterMutex.
struct TDwordSpot {
  int fd = -1;
  off_t offset = -1;
  off_t size = -1;     // of the file when the digits were found
  std::string before;  // the line up to the digits, as found
  std::string key;
  std::string name;
  void Forget() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    offset = -1;
  }
};

TDwordSpot& Spot() {
  static TDwordSpot* spot = new TDwordSpot;  // lives until the process ends
  return *spot;
}

bool HexDigits(const char* p, uint32_t& value) {
  value = 0;
  for (int i = 0; i < 8; ++i) {
    char c = p[i];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = (value << 4) | d;
  }
  return true;
}

// The offset of the eight digits of "name"=dword:xxxxxxxx in text for the key at
// keyPath, or -1 unless that line is the value's only line in the key's only section,
// the text parses, and the parsed value is those digits.
off_t LocateDword(const std::string& text, const std::string& file, const std::string& keyPath,
                  const std::string& name) {
  if (name.empty() || name.find_first_of("\\\"") != std::string::npos) return -1;
  const std::vector<std::string> names = regfile::SplitKeyPath(keyPath);
  TRegNode root;
  regfile::ApplyRegText(text, file, root);  // raises for a malformed file
  const TRegNode* key = root.Find(names);
  const TRegValue* value = key != nullptr ? key->FindValue(name) : nullptr;
  if (value == nullptr || value->type != kRegDword || value->data.size() != 4) return -1;
  uint32_t want = 0;
  for (int b = 3; b >= 0; --b) want = (want << 8) | static_cast<unsigned char>(value->data[b]);

  const std::string dword = "\"=dword:";
  int sections = 0, lines = 0;
  off_t found = -1;
  bool inKey = false;
  for (size_t pos = 0; pos < text.size();) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    size_t end = eol > pos && text[eol - 1] == '\r' ? eol - 1 : eol;
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line[0] == '[') {
      // A deletion anywhere could concern the key: not a file for this.
      if (line.size() > 1 && line[1] == '-') return -1;
      inKey = false;
      if (line.back() == ']') {
        std::string body = line.substr(1, line.size() - 2);
        size_t slash = body.find('\\');
        std::vector<std::string> path = slash == std::string::npos
                                            ? std::vector<std::string>()
                                            : regfile::SplitKeyPath(body.substr(slash));
        if (path.size() == names.size()) {
          inKey = true;
          for (size_t i = 0; i < path.size() && inKey; ++i)
            inKey = regfile::NamesEqual(path[i], names[i]);
          if (inKey) ++sections;
        }
      }
    } else if (inKey && line.size() > name.size() + 1 && line[0] == '"' &&
               line[name.size() + 1] == '"' &&
               regfile::NamesEqual(line.substr(1, name.size()), name)) {
      ++lines;
      const size_t digits = 1 + name.size() + dword.size();
      uint32_t seen = 0;
      if (line.size() == digits + 8 &&
          regfile::NamesEqual(line.substr(name.size() + 1, dword.size()), dword) &&
          HexDigits(line.data() + digits, seen) && seen == want)
        found = static_cast<off_t>(pos + digits);
    }
    pos = eol + 1;
  }
  if (sections != 1 || lines != 1 || found < 0) return -1;
  if (found / 512 != (found + 7) / 512) return -1;
  return found;
}

}  // namespace

bool AddToDwordInPlace(const std::string& path, const std::string& name, uint32_t count, bool flush,
                       uint32_t& old, std::optional<uint32_t> limit) {
  if (tCurrent != nullptr) return false;
  try {
    std::unique_lock<std::mutex> writer(WriterMutex());
    if (!EnsureDataRoot()) return false;
    int lockFd = OpenLockFile();
    if (lockFd < 0) return false;
    struct TCloser {
      int fd;
      ~TCloser() { ::close(fd); }  // closing releases the lock
    } closer{lockFd};
    int r;
    do {
      r = ::flock(lockFd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    if (r != 0) return false;

    // Only where the ordinary way could change the registry too, so that a registry
    // that cannot be changed (a data root that cannot be written) refuses alike.
    if (!WriteProblem().empty()) return false;
    const std::string file = RegistryFilePath();
    TDwordSpot& spot = Spot();
    struct stat atPath, held;
    bool same = spot.fd >= 0 && spot.key == path && spot.name == name &&
                ::stat(file.c_str(), &atPath) == 0 && ::fstat(spot.fd, &held) == 0 &&
                held.st_nlink > 0 && atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino &&
                held.st_size == spot.size;
    if (!same) {
      // Another version of the file (or the first draw): find the digits in it.
      spot.Forget();
      int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) return false;
      struct stat st;
      std::string text;
      bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
      char buf[65536];
      while (ok) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          ok = n == 0;
          break;
        }
        text.append(buf, static_cast<size_t>(n));
      }
      off_t at = -1;
      if (ok) {
        try {
          at = LocateDword(text, file, path, name);
        } catch (...) {
          at = -1;  // a malformed file: the ordinary way reports it
        }
      }
      if (at < 0) {
        ::close(fd);
        return false;
      }
      size_t lineStart = text.rfind('\n', static_cast<size_t>(at));
      lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
      spot.fd = fd;
      spot.offset = at;
      spot.size = st.st_size;
      spot.before = text.substr(lineStart, static_cast<size_t>(at) - lineStart);
      spot.key = path;
      spot.name = name;
    }
    // The line as found, digits and line end included: a file changed in place by
    // anything else than this is not written to.
    const size_t n = spot.before.size();
    std::string line(n + 9, '\0');
    const off_t from = spot.offset - static_cast<off_t>(n);
    ssize_t got = ::pread(spot.fd, line.data(), line.size(), from);
    const char* digits = line.data() + n;
    if (got < static_cast<ssize_t>(n + 8) || line.compare(0, n, spot.before) != 0 ||
        !HexDigits(digits, old) ||
        (got == static_cast<ssize_t>(n + 9) && line[n + 8] != '\r' && line[n + 8] != '\n')) {
      spot.Forget();
      return false;
    }
    if (limit && (old > *limit || count > *limit - old)) return false;
    char next[9];
    std::snprintf(next, sizeof next, "%08x", old + count);
    ssize_t w = ::pwrite(spot.fd, next, 8, spot.offset);
    if (w != 8) {
      // Nothing or part written (a failing disk): put back what was there.
      if (w > 0 && ::pwrite(spot.fd, digits, 8, spot.offset) != 8) {
        // The text is still parseable: both are hex digits. The ordinary way reads it.
      }
      spot.Forget();
      ForgetCache();
      return false;
    }
    // The parsed copy of this process no longer matches the file.
    ForgetCache();
    if (flush && ::fdatasync(spot.fd) != 0) {
      spot.Forget();
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
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
