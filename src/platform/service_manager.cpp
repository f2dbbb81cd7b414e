#include "platform/service_manager.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/error_text.h"
#include "platform/paths.h"

extern char** environ;

namespace kestran {
namespace {

bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

bool FailErrno() {
  return Fail(ErrorFromErrno(errno));
}

// systemd unit names: letters, digits and ":-_." (no template "@", no path).
bool ValidServiceName(const std::string& name) {
  if (name.empty() || name.size() > 240 || name[0] == '.' || name[0] == '-') return false;
  for (unsigned char c : name)
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.' && c != ':') return false;
  return true;
}

bool HasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 32 || c == 127) return true;
  return false;
}

// A value on a unit line: specifiers (%) doubled; with quote, a value that holds
// blanks, quotes or backslashes is quoted with C escapes; with dollar, "$" is doubled
// where the line expands variables.
std::string UnitValue(const std::string& s, bool quote, bool dollar) {
  bool quoted = false;
  if (quote)
    for (char c : s)
      if (c == ' ' || c == '"' || c == '\\' || c == '\'') quoted = true;
  std::string out;
  if (quoted) out += '"';
  for (char c : s) {
    if (c == '%') {
      out += "%%";
    } else if (dollar && c == '$') {
      out += "$$";
    } else if (quoted && (c == '\\' || c == '"')) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  if (quoted) out += '"';
  return out;
}

std::string UnitPath(const std::string& name) {
  return TServiceManager::UnitDirectory() + "/" + name + ".service";
}

std::string WantsDir() {
  return TServiceManager::UnitDirectory() + "/multi-user.target.wants";
}

std::string LinkPath(const std::string& name) {
  return WantsDir() + "/" + name + ".service";
}

std::string AbsolutePath(const std::string& p) {
  if (!p.empty() && p[0] == '/') return p;
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return p;
  std::string cwd = buf;
  if (p.empty() || p == ".") return cwd;
  return cwd + "/" + p;
}

// Runs systemctl with args; its standard output goes to *out when given. The exit
// status, or -1 when it could not be run.
int RunSystemctl(const std::vector<std::string>& args, std::string* out) {
  std::vector<char*> argv;
  std::string prog = "systemctl";
  argv.push_back(prog.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeFd[2] = {-1, -1};
  if (out && ::pipe2(pipeFd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out)
    posix_spawn_file_actions_adddup2(&fa, pipeFd[1], 1);
  else
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (out) ::close(pipeFd[1]);
  if (rc != 0) {
    if (out) ::close(pipeFd[0]);
    return -1;
  }
  if (out) {
    char buf[512];
    for (;;) {
      ssize_t n = ::read(pipeFd[0], buf, sizeof buf);
      if (n > 0) {
        if (out->size() < 65536) out->append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    ::close(pipeFd[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void DaemonReload() {
  if (TServiceManager::SystemdRunning()) RunSystemctl({"daemon-reload"}, nullptr);
}

bool QueryUnitState(const std::string& name, TServiceStatus& status) {
  status = TServiceStatus{};
  status.ServiceType = kServiceWin32OwnProcess;
  status.CurrentState = kServiceStopped;
  if (!TServiceManager::SystemdRunning()) return true;
  std::string out;
  int rc = RunSystemctl({"show", "-p", "ActiveState", "--value", name + ".service"}, &out);
  if (rc != 0) return Fail(1053);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  if (out == "active" || out == "reloading") {
    status.CurrentState = kServiceRunning;
    status.ControlsAccepted = kServiceAcceptStop | kServiceAcceptPauseContinue;
  } else if (out == "activating") {
    status.CurrentState = kServiceStartPending;
  } else if (out == "deactivating") {
    status.CurrentState = kServiceStopPending;
    status.ControlsAccepted = kServiceAcceptStop | kServiceAcceptPauseContinue;
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string TServiceManager::UnitDirectory() {
  const char* env = std::getenv("KESTRAN_UNIT_DIR");
  std::string dir = env && *env ? env : "/etc/systemd/system";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool TServiceManager::SystemdRunning() {
  return ::access("/run/systemd/system", F_OK) == 0;
}

std::unique_ptr<TServiceManager> TServiceManager::Open(uint32_t access) {
  struct stat st {};
  std::string dir = UnitDirectory();
  if (::stat(dir.c_str(), &st) != 0 && errno == ENOENT) {
    // A unit directory that does not exist yet is made, as the service manager's own
    // would be: installing is then possible, and removing finds no service.
    for (size_t p = dir.find('/', 1);; p = dir.find('/', p + 1)) {
      std::string part = p == std::string::npos ? dir : dir.substr(0, p);
      if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) break;
      if (p == std::string::npos) break;
    }
  }
  if (::stat(dir.c_str(), &st) != 0) {
    FailErrno();
    if (GetLastError() == 2) SetLastError(3);
    return nullptr;
  }
  if (!S_ISDIR(st.st_mode)) {
    Fail(3);
    return nullptr;
  }
  // Rights beyond connecting and enumerating need a unit directory we can change.
  if ((access & ~0x20005u) != 0 && ::access(dir.c_str(), W_OK | X_OK) != 0) {
    Fail(5);
    return nullptr;
  }
  return std::make_unique<TServiceManager>();
}

bool TServiceManager::UnitText(const TServiceConfig& c, const std::string& dataRoot,
                               std::string& text) {
  if (!ValidServiceName(c.Name)) return Fail(kErrorInvalidName);
  if (HasControl(c.DisplayName) || HasControl(c.BinaryPath) || HasControl(c.Account) ||
      HasControl(dataRoot))
    return Fail(kErrorInvalidParameter);
  if (c.BinaryPath.empty() || c.BinaryPath[0] != '/') return Fail(kErrorInvalidParameter);
  // A trailing backslash would continue the line.
  if (!c.DisplayName.empty() && c.DisplayName.back() == '\\') return Fail(kErrorInvalidParameter);
  uint32_t type = c.ServiceType & ~kServiceInteractiveProcess;
  if (type != kServiceWin32OwnProcess && type != kServiceWin32ShareProcess)
    return Fail(kErrorInvalidParameter);
  if (c.StartType > kServiceDisabled) return Fail(kErrorInvalidParameter);
  for (const auto& d : c.Dependencies)
    if (!ValidServiceName(d)) return Fail(kErrorInvalidName);

  std::string account = c.Account;
  size_t slash = account.rfind('\\');
  if (slash != std::string::npos) account = account.substr(slash + 1);
  if (account == "LocalSystem") account.clear();
  for (char ch : account)
    if (ch == ' ' || ch == '"' || ch == '%') return Fail(kErrorInvalidParameter);

  text = "[Unit]\n";
  text += "Description=" + UnitValue(c.DisplayName.empty() ? c.Name : c.DisplayName, false, false) +
          "\n";
  text += "After=network.target\n";
  for (const auto& d : c.Dependencies) {
    text += "After=" + d + ".service\n";
    text += "Requires=" + d + ".service\n";
  }
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + UnitValue(c.BinaryPath, true, true) + "\n";
  text += "Environment=" + UnitValue("KESTRAN_ROOT=" + AbsolutePath(dataRoot), true, false) + "\n";
  if (!account.empty()) text += "User=" + account + "\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return true;
}

std::unique_ptr<TServiceHandle> TServiceManager::CreateService(const TServiceConfig& config) {
  std::string text;
  if (!UnitText(config, DataRoot(), text)) return nullptr;
  std::string unit = UnitPath(config.Name);
  std::string tmp =
      UnitDirectory() + "/." + config.Name + ".service." + std::to_string(::getpid()) + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    FailErrno();
    return nullptr;
  }
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(tmp.c_str());
    Fail(ErrorFromErrno(err));
    return nullptr;
  }
  // link() never replaces: an installed unit stays as it is.
  if (::link(tmp.c_str(), unit.c_str()) != 0) {
    err = errno;
    ::unlink(tmp.c_str());
    Fail(err == EEXIST ? kErrorServiceExists : ErrorFromErrno(err));
    return nullptr;
  }
  ::unlink(tmp.c_str());
  if (config.StartType == kServiceAutoStart) {
    std::string link = LinkPath(config.Name);
    if (::mkdir(WantsDir().c_str(), 0755) != 0 && errno != EEXIST) {
      err = errno;
      ::unlink(unit.c_str());
      Fail(ErrorFromErrno(err));
      return nullptr;
    }
    std::string target = AbsolutePath(unit);
    if (::symlink(target.c_str(), link.c_str()) != 0) {
      err = errno;
      if (err == EEXIST && ::unlink(link.c_str()) == 0 &&
          ::symlink(target.c_str(), link.c_str()) == 0) {
        err = 0;
      }
      if (err != 0) {
        ::unlink(unit.c_str());
        Fail(ErrorFromErrno(err));
        return nullptr;
      }
    }
  }
  DaemonReload();
  return std::make_unique<TServiceHandle>(config.Name);
}

std::unique_ptr<TServiceHandle> TServiceManager::OpenService(const std::string& name,
                                                             uint32_t /*access*/) {
  if (!ValidServiceName(name)) {
    Fail(kErrorInvalidName);
    return nullptr;
  }
  struct stat st {};
  if (::lstat(UnitPath(name).c_str(), &st) != 0) {
    Fail(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
    return nullptr;
  }
  return std::make_unique<TServiceHandle>(name);
}

bool TServiceHandle::Control(uint32_t control, TServiceStatus& status) {
  if (!TServiceManager::SystemdRunning()) return Fail(kErrorServiceNotActive);
  if (!QueryUnitState(name_, status)) return false;
  if (status.CurrentState == kServiceStopped) return Fail(kErrorServiceNotActive);
  std::vector<std::string> args;
  switch (control) {
    case kServiceControlStop:
      args = {"stop", "--no-block", name_ + ".service"};
      break;
    case kServiceControlPause:
      args = {"kill", "-s", "SIGUSR1", name_ + ".service"};
      break;
    case kServiceControlContinue:
      args = {"kill", "-s", "SIGUSR2", name_ + ".service"};
      break;
    case kServiceControlInterrogate:
      return true;
    default:
      return Fail(kErrorInvalidParameter);
  }
  if (RunSystemctl(args, nullptr) != 0) return Fail(kErrorServiceCannotAcceptCtrl);
  return QueryUnitState(name_, status);
}

bool TServiceHandle::QueryStatus(TServiceStatus& status) {
  return QueryUnitState(name_, status);
}

bool TServiceHandle::Delete() {
  if (::unlink(LinkPath(name_).c_str()) != 0 && errno != ENOENT) return FailErrno();
  if (::unlink(UnitPath(name_).c_str()) != 0)
    return Fail(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
  DaemonReload();
  return true;
}

}  // namespace kestran
