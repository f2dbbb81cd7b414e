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
#include <filesystem>

#include "platform/error_text.h"
#include "platform/paths.h"
#include "platform/service_account.h"

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

std::string AbsolutePath(const std::string& p) {
  if (!p.empty() && p[0] == '/') return p;
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return p;
  std::string cwd = buf;
  if (p.empty() || p == ".") return cwd;
  return cwd + "/" + p;
}

// Whether a path lies in a directory or is that directory (both normalised).
bool Within(const std::filesystem::path& path, const std::filesystem::path& dir) {
  auto p = path.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++p) {
    if (d->empty()) continue;  // the empty last element of "a/b/"
    if (p == path.end() || *p != *d) return false;
  }
  return true;
}

std::filesystem::path Normal(const std::string& p) {
  std::filesystem::path n = std::filesystem::path(p).lexically_normal();
  if (n.has_relative_path() && n.filename().empty()) n = n.parent_path();
  return n;
}

// The [Service] lines that run the receiver as its account with nothing more than it
// needs: binding a port below 1024, writing its data root and the directories it was
// given, reading the rest of the system (libraries, /etc for names and resolver
// configuration), Internet sockets and local sockets (syslog, service notifications).
std::string Confinement(const TServiceConfig& c, const TServiceAccount& account,
                        const std::string& root) {
  std::filesystem::path rootPath = Normal(root);
  std::vector<std::filesystem::path> writable = {rootPath};
  for (const auto& p : c.WritablePaths) {
    std::filesystem::path n = Normal(AbsolutePath(p));
    bool known = false;
    for (const auto& w : writable)
      if (Within(n, w)) known = true;
    if (!known) writable.push_back(n);
  }
  // Directories under /home, /root or /tmp stay reachable: those trees are then
  // read-only, or shared, instead of hidden.
  bool inHome = false;
  bool inTmp = false;
  for (const auto& w : writable) {
    for (const char* d : {"/home", "/root", "/run/user"})
      if (Within(w, d)) inHome = true;
    for (const char* d : {"/tmp", "/var/tmp"})
      if (Within(w, d)) inTmp = true;
  }

  std::string t;
  t += "User=" + account.User + "\n";
  if (!account.Group.empty()) t += "Group=" + account.Group + "\n";
  t += "UMask=0027\n";
  t += "LimitNOFILE=" + std::to_string(c.OpenFiles) + "\n";
  if (c.Tasks == TServiceConfig::kNoTaskLimit)
    t += "TasksMax=infinity\n";
  else if (c.Tasks != 0)
    t += "TasksMax=" + std::to_string(c.Tasks) + "\n";
  t += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  t += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
  t += "NoNewPrivileges=yes\n";
  t += "ProtectSystem=strict\n";
  // The data root must exist; another directory that is missing at start is skipped.
  t += "ReadWritePaths=" + UnitValue(writable[0].string(), true, false) + "\n";
  for (size_t i = 1; i < writable.size(); ++i)
    t += "ReadWritePaths=" + UnitValue("-" + writable[i].string(), true, false) + "\n";
  t += inHome ? "ProtectHome=read-only\n" : "ProtectHome=yes\n";
  if (!inTmp) t += "PrivateTmp=yes\n";
  t += "PrivateDevices=yes\n";
  t += "DevicePolicy=closed\n";
  t += "PrivateMounts=yes\n";
  t += "ProtectKernelTunables=yes\n";
  t += "ProtectKernelModules=yes\n";
  t += "ProtectKernelLogs=yes\n";
  t += "ProtectControlGroups=yes\n";
  t += "ProtectClock=yes\n";
  t += "ProtectHostname=yes\n";
  t += "ProtectProc=invisible\n";
  t += "ProcSubset=pid\n";
  t += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
  t += "RestrictNamespaces=yes\n";
  t += "LockPersonality=yes\n";
  t += "MemoryDenyWriteExecute=yes\n";
  t += "RestrictRealtime=yes\n";
  t += "RestrictSUIDSGID=yes\n";
  t += "RemoveIPC=yes\n";
  t += "SystemCallArchitectures=native\n";
  t += "SystemCallFilter=@system-service\n";
  t += "SystemCallFilter=~@privileged @resources\n";
  t += "SystemCallErrorNumber=EPERM\n";
  return t;
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

// The unit the system's package installed for the service, or "" when there is none
// (or the package's unit directory is the one this manager writes).
std::string PackageUnit(const std::string& name) {
  std::string dir = TServiceManager::PackageUnitDirectory();
  if (Normal(dir) == Normal(TServiceManager::UnitDirectory())) return "";
  std::string unit = dir + "/" + name + ".service";
  return ::access(unit.c_str(), F_OK) == 0 ? unit : "";
}

// Whether the link enables the package's unit (made by the package, not by us).
bool LinksToPackage(const std::string& link) {
  char buf[4096];
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return false;
  std::filesystem::path target = Normal(std::string(buf, static_cast<size_t>(n)));
  std::filesystem::path dir = Normal(TServiceManager::PackageUnitDirectory());
  return Within(target, dir) || Within(target, "/usr" / dir.relative_path());
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

std::string TServiceManager::PackageUnitDirectory() {
  const char* env = std::getenv("KESTRAN_PACKAGE_UNIT_DIR");
  std::string dir = env && *env ? env : "/lib/systemd/system";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool TServiceManager::HandOverDataRoot(const TServiceConfig& config) {
  Notes.clear();
  return kestran::HandOverDataRoot(ServiceAccount(config.Account), AbsolutePath(DataRoot()), Notes);
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

  TServiceAccount account = ServiceAccount(c.Account);
  for (char ch : account.User)
    if (ch == ' ' || ch == '"' || ch == '%' || ch == '\\') return Fail(kErrorInvalidParameter);
  for (const auto& p : c.WritablePaths)
    if (HasControl(p)) return Fail(kErrorInvalidParameter);

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
  if (c.Reloadable) text += "ExecReload=/bin/kill -HUP $MAINPID\n";
  text += "Environment=" + UnitValue("KESTRAN_ROOT=" + AbsolutePath(dataRoot), true, false) + "\n";
  text += Confinement(c, account, AbsolutePath(dataRoot));
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return true;
}

std::unique_ptr<TServiceHandle> TServiceManager::CreateService(const TServiceConfig& config) {
  Notes.clear();
  std::string text;
  if (!UnitText(config, DataRoot(), text)) return nullptr;
  std::string unit = UnitPath(config.Name);
  struct stat st {};
  if (::lstat(unit.c_str(), &st) == 0) {
    Fail(kErrorServiceExists);
    return nullptr;
  }
  TServiceAccount account = ServiceAccount(config.Account);
  std::string root = AbsolutePath(DataRoot());
  if (!EnsureServiceAccount(account, root, Notes)) return nullptr;
  for (const auto& p : config.WritablePaths) {
    if (!Within(Normal(AbsolutePath(p)), Normal(root)))
      Notes.push_back("The service may write " + p + " too; " + account.User +
                      " needs the right to write there.");
  }
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
    // The package's link enables the service by name, so it starts this unit as well;
    // it stays, for when this unit is removed again.
    std::string target = AbsolutePath(unit);
    if (!LinksToPackage(link) && ::symlink(target.c_str(), link.c_str()) != 0) {
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
  std::string package = PackageUnit(config.Name);
  if (!package.empty())
    Notes.push_back("The package's unit " + package + " stays; " + unit +
                    " takes its place until -REMOVE.");
  DaemonReload();
  return std::make_unique<TServiceHandle>(config.Name);
}

std::unique_ptr<TServiceHandle> TServiceManager::OpenService(const std::string& name,
                                                             uint32_t /*access*/) {
  if (!ValidServiceName(name)) {
    Fail(kErrorInvalidName);
    return nullptr;
  }
  Notes.clear();
  struct stat st {};
  if (::lstat(UnitPath(name).c_str(), &st) != 0) {
    Fail(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
    std::string package = PackageUnit(name);
    if (GetLastError() == kErrorServiceDoesNotExist && !package.empty())
      Notes.push_back(name + " is installed by the system's package (" + package +
                      "), which -REMOVE leaves alone: remove the package to remove it.");
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
  Notes.clear();
  std::string link = LinkPath(name_);
  if (!LinksToPackage(link) && ::unlink(link.c_str()) != 0 && errno != ENOENT) return FailErrno();
  if (::unlink(UnitPath(name_).c_str()) != 0)
    return Fail(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
  DaemonReload();
  std::string package = PackageUnit(name_);
  if (!package.empty())
    Notes.push_back("The package's unit " + package + " is in force again; systemctl start " +
                    name_ + " starts it.");
  return true;
}

}  // namespace kestran
