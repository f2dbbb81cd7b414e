// kestran -INSTALL and -REMOVE as a user runs them, against a temporary unit directory:
// the confined unit with the directories the registry names, and a unit of the
// system's package that must survive both. Run by root, the program runs as nobody, so
// that no account of this machine is made or changed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/temp_root.h"

namespace {

namespace fs = std::filesystem;
using kestran::test::TTempRoot;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class InstallUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.Path("root");
    units_ = tmp_.Path("units");
    fs::create_directories(root_);
    fs::create_directories(units_);
    if (::geteuid() == 0) {
      fs::permissions(tmp_.Dir(),
                      fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
      for (const auto& d : {root_, units_}) ASSERT_EQ(0, ::chown(d.c_str(), 65534, 65534));
    }
  }
  // Runs the built kestran with a switch; its exit status, output in out_.
  int Run(const std::string& sw, const std::string& packageUnits = "") {
    const char* build = std::getenv("KESTRAN_BUILD_DIR");
    std::string cmd = "env KESTRAN_ROOT=" + Quote(root_) + " KESTRAN_UNIT_DIR=" + Quote(units_) +
                      " KESTRAN_SYSLOG_SOCKET=" + Quote(tmp_.Path("no-syslog")) +
                      " KESTRAN_PACKAGE_UNIT_DIR=" +
                      Quote(packageUnits.empty() ? tmp_.Path("no-package") : packageUnits) + " ";
    if (::geteuid() == 0) cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " + cmd;
    cmd += Quote(std::string(build ? build : ".") + "/kestran") + " " + sw + " >" +
           Quote(tmp_.Path("out.txt")) + " 2>&1 </dev/null";
    int raw = std::system(cmd.c_str());
    out_ = tmp_.ReadFile("out.txt");
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  bool Said(const std::string& line) const { return out_.find(line + "\r\n") != std::string::npos; }
  std::string Unit() const { return tmp_.ReadFile("units/KESTRAN.service"); }
  std::string Link() const { return units_ + "/multi-user.target.wants/KESTRAN.service"; }

  TTempRoot tmp_;
  std::string root_, units_, out_;
};

TEST_F(InstallUnitTest, TheUnitRunsConfinedAsTheAccountAndMayWriteTheNamedDirectories) {
  const std::string spool = tmp_.Path("spool");
  {
    // Written by the test as the owner of the data root would.
    tmp_.WriteRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
        "\"MailQueueDir\"=\"" +
        spool +
        "/prein\\\\\"\r\n"
        "\"InlogDir\"=\"C:\\\\kestran\\\\inlog\\\\\"\r\n"
        "\"Pop3logDir\"=\"" +
        spool +
        "/../spool/pop3log\"\r\n"
        "\"MaxConnections\"=dword:00009c40\r\n");
    const std::string file = root_ + "/registry.reg";
    fs::rename(tmp_.RegistryFile(), file);
    if (::geteuid() == 0) {
      ASSERT_EQ(0, ::chown(file.c_str(), 65534, 65534));
    }
  }
  ASSERT_EQ(0, Run("-INSTALL"));
  EXPECT_TRUE(Said("DRX KESTRAN Service installed.")) << out_;
  EXPECT_TRUE(Said("Not run as root: no account was made and " + root_ +
                   " keeps its owner; the service runs as kestran, which must exist and be "
                   "able to write there."))
      << out_;
  EXPECT_TRUE(Said("The service may write " + spool +
                   "/prein/ too; kestran needs the right to "
                   "write there."))
      << out_;
  EXPECT_EQ(std::string::npos, out_.find("inlog")) << out_;

  std::string unit = Unit();
  const char* build = std::getenv("KESTRAN_BUILD_DIR");
  std::vector<std::string> lines = {
      "After=network.target", "Type=notify",
      "ExecStart=" + std::string(build ? build : ".") + "/kestran",
      "ExecReload=/bin/kill -HUP $MAINPID", "Environment=KESTRAN_ROOT=" + root_, "User=kestran",
      "Group=kestran", "UMask=0027",
      // 40000 connections, three files each, and some to spare.
      "LimitNOFILE=121024",
      // A thread each, and the service's own.
      "TasksMax=40256", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
      "CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "NoNewPrivileges=yes", "ProtectSystem=strict",
      "ReadWritePaths=" + root_, "ReadWritePaths=-" + spool + "/prein",
      "ReadWritePaths=-" + spool + "/pop3log", "ProtectHome=yes", "PrivateDevices=yes",
      "DevicePolicy=closed", "PrivateMounts=yes", "ProtectKernelTunables=yes",
      "ProtectKernelModules=yes", "ProtectKernelLogs=yes", "ProtectControlGroups=yes",
      "ProtectClock=yes", "ProtectHostname=yes", "ProtectProc=invisible", "ProcSubset=pid",
      "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "RestrictNamespaces=yes",
      "LockPersonality=yes", "MemoryDenyWriteExecute=yes", "RestrictRealtime=yes",
      "RestrictSUIDSGID=yes", "SystemCallArchitectures=native", "SystemCallFilter=@system-service",
      "SystemCallFilter=~@privileged @resources", "WantedBy=multi-user.target"};
  for (const auto& line : lines)
    EXPECT_NE(std::string::npos, unit.find("\n" + line + "\n")) << line << "\n" << unit;
  // The inbound log lies in the data root; a private /tmp would hide a data root there.
  EXPECT_EQ(std::string::npos, unit.find("inlog")) << unit;
  bool inTmp = root_.rfind("/tmp/", 0) == 0;
  EXPECT_EQ(!inTmp, unit.find("\nPrivateTmp=yes\n") != std::string::npos) << unit;

  ASSERT_EQ(0, Run("-INSTALL"));
  EXPECT_TRUE(Said("CreateService failed - A service of that name is already installed. (0x431)"))
      << out_;
}

TEST_F(InstallUnitTest, ThePackagesUnitAndItsLinkStayThroughInstallAndRemove) {
  const std::string package = tmp_.Path("package");
  fs::create_directories(package);
  tmp_.WriteFile("package/KESTRAN.service", "[Service]\nExecStart=/usr/sbin/kestran\n");
  fs::create_directories(units_ + "/multi-user.target.wants");
  fs::create_symlink(package + "/KESTRAN.service", Link());
  if (::geteuid() == 0) {
    const std::string wants = units_ + "/multi-user.target.wants";
    ASSERT_EQ(0, ::chown(wants.c_str(), 65534, 65534));
  }

  ASSERT_EQ(0, Run("-REMOVE", package));
  EXPECT_TRUE(Said("KESTRAN is installed by the system's package (" + package +
                   "/KESTRAN.service), which -REMOVE leaves alone: remove the package to "
                   "remove it."))
      << out_;

  ASSERT_EQ(0, Run("-INSTALL", package));
  EXPECT_TRUE(Said("DRX KESTRAN Service installed.")) << out_;
  EXPECT_TRUE(Said("The package's unit " + package + "/KESTRAN.service stays; " + units_ +
                   "/KESTRAN.service takes its place until -REMOVE."))
      << out_;
  EXPECT_EQ(fs::path(package + "/KESTRAN.service"), fs::read_symlink(Link()));
  EXPECT_NE(std::string::npos, Unit().find("\nUser=kestran\n"));

  ASSERT_EQ(0, Run("-REMOVE", package));
  EXPECT_TRUE(Said("DRX KESTRAN Service removed.")) << out_;
  EXPECT_TRUE(Said("The package's unit " + package +
                   "/KESTRAN.service is in force again; systemctl start KESTRAN starts it."))
      << out_;
  EXPECT_FALSE(fs::exists(units_ + "/KESTRAN.service"));
  // The package's service is still enabled.
  EXPECT_EQ(fs::path(package + "/KESTRAN.service"), fs::read_symlink(Link()));
}

}  // namespace

// The package's units: the receiver's reload sends SIGHUP, kestran-deliver's task limit
// leaves room for the largest DeliverConcurrency, and neither is less confined than it
// was (systemd-analyze's exposure: KESTRAN 1.4, kestran-deliver 1.2).
TEST(PackageUnits, ReloadTaskLimitAndConfinement) {
  const char* source = std::getenv("KESTRAN_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  TTempRoot tmp;
  const std::string receiver = tmp.Path("KESTRAN.service");
  const std::string deliver = tmp.Path("kestran-deliver.service");
  fs::copy_file(std::string(source) + "/debian/kestran.KESTRAN.service", receiver);
  fs::copy_file(std::string(source) + "/debian/kestran.kestran-deliver.service", deliver);
  EXPECT_NE(tmp.ReadFile("KESTRAN.service").find("\nExecReload=/bin/kill -HUP $MAINPID\n"),
            std::string::npos);
  // A worker thread and up to three processes per delivery, and the program's own threads.
  const int kMaxDeliverConcurrency = 256;
  EXPECT_NE(tmp.ReadFile("kestran-deliver.service")
                .find("\nTasksMax=" + std::to_string(4 * kMaxDeliverConcurrency + 32) + "\n"),
            std::string::npos);

  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  for (const auto& [unit, score] : {std::pair{receiver, 1.4}, std::pair{deliver, 1.2}}) {
    const std::string out = tmp.Path("security.txt");
    std::system(
        ("systemd-analyze security --offline=true " + Quote(unit) + " >" + Quote(out) + " 2>&1")
            .c_str());
    const std::string text = tmp.ReadFile("security.txt");
    const size_t at = text.find("Overall exposure level for ");
    ASSERT_NE(at, std::string::npos) << text;
    const size_t colon = text.find(": ", at);
    ASSERT_NE(colon, std::string::npos) << text;
    EXPECT_LE(std::stod(text.substr(colon + 2)), score) << unit << "\n" << text;
  }
}
