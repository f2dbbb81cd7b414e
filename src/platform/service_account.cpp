#include "platform/service_account.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/error_text.h"
#include "platform/owner_handover.h"

extern char** environ;

namespace kestran {
namespace {

constexpr uint32_t kErrorInvalidServiceAccount = 1057;

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

// The exit status of a program run with its output discarded; -1 when it could not run.
int RunQuietly(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool LookUpUser(const std::string& name, uid_t& uid, gid_t& gid) {
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
  uid = pw.pw_uid;
  gid = pw.pw_gid;
  return true;
}

bool LookUpGroup(const std::string& name, gid_t& gid) {
  std::vector<char> buf(65536);
  struct group gr {};
  struct group* found = nullptr;
  if (::getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &found) != 0 || !found) return false;
  gid = gr.gr_gid;
  return true;
}

}  // namespace

TServiceAccount ServiceAccount(const std::string& configured) {
  TServiceAccount a;
  a.User = configured;
  size_t slash = a.User.rfind('\\');
  if (slash != std::string::npos) a.User = a.User.substr(slash + 1);
  if (a.User.empty() || a.User == "LocalSystem") {
    a.User = kDefaultServiceAccount;
    a.Group = kDefaultServiceAccount;
    a.Default = true;
  }
  return a;
}

bool EnsureServiceAccount(const TServiceAccount& account, const std::string& dataRoot,
                          std::vector<std::string>& notes) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::geteuid() != 0) {
    if (!account.Default && !LookUpUser(account.User, uid, gid))
      return Fail(kErrorInvalidServiceAccount);
    notes.push_back("Not run as root: no account was made and " + dataRoot +
                    " keeps its owner; the service runs as " + account.User +
                    ", which must exist and be able to write there.");
    return true;
  }
  if (!LookUpUser(account.User, uid, gid)) {
    if (!account.Default) return Fail(kErrorInvalidServiceAccount);
    int rc = RunQuietly({"useradd", "--system", "--user-group", "--home-dir", dataRoot, "--shell",
                         "/usr/sbin/nologin", account.User});
    if (rc != 0 || !LookUpUser(account.User, uid, gid)) {
      notes.push_back(
          "Could not make the account " + account.User + " (useradd " +
          (rc < 0 ? std::string("could not be run") : "ended with status " + std::to_string(rc)) +
          ").");
      return Fail(kErrorInvalidServiceAccount);
    }
    notes.push_back("Made the system account " + account.User + ".");
  }
  if (!account.Group.empty() && !LookUpGroup(account.Group, gid)) {
    notes.push_back("The group " + account.Group + " does not exist.");
    return Fail(kErrorInvalidServiceAccount);
  }
  return true;
}

bool HandOverDataRoot(const TServiceAccount& account, const std::string& dataRoot,
                      std::vector<std::string>& notes) {
  if (::geteuid() != 0) return true;
  uid_t uid = 0;
  gid_t gid = 0;
  if (!LookUpUser(account.User, uid, gid) ||
      (!account.Group.empty() && !LookUpGroup(account.Group, gid)))
    return Fail(kErrorInvalidServiceAccount);
  // Handing "/" or a directory just below it (/var, /home) to one account would take
  // the system apart.
  std::filesystem::path root = std::filesystem::path(dataRoot).lexically_normal();
  int depth = 0;
  for (const auto& part : root.relative_path())
    if (!part.empty()) ++depth;
  if (!root.is_absolute() || depth < 2) {
    notes.push_back("The data root " + dataRoot +
                    " is not handed to the account: it must be a directory of its own.");
    return Fail(87);
  }
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  if (ec) return Fail(ErrorFromErrno(ec.value()));
  // The account may already own the tree and change it while it is walked: the walk
  // never follows a link it finds there.
  const THandOverResult handed = HandOverTree(root.string(), uid, gid);
  if (handed.skippedLinks > 0)
    notes.push_back(std::to_string(handed.skippedLinks) + " file(s) in " + dataRoot +
                    " with more than one name (hard links) were left as they are.");
  if (handed.error != 0) {
    notes.push_back("Could not hand " + dataRoot + " over to " + account.User + ".");
    return Fail(ErrorFromErrno(handed.error));
  }
  std::string group = account.Group;
  if (group.empty()) {
    struct group* g = ::getgrgid(gid);
    group = g ? g->gr_name : std::to_string(gid);
  }
  notes.push_back(dataRoot + " and everything in it belong to " + account.User + ":" + group +
                  " now (directories 0750, files 0640).");
  return true;
}

}  // namespace kestran
