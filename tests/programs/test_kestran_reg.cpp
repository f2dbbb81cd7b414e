#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config/temp_root.h"

namespace {

using kestran::test::TTempRoot;

struct TResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the built kestran-reg with KESTRAN_ROOT set to the test's root.
TResult RunTool(const TTempRoot& root, const std::vector<std::string>& args,
                const std::string& input = "") {
  const char* build = std::getenv("KESTRAN_BUILD_DIR");
  std::string cmd = Quote(std::string(build ? build : ".") + "/kestran-reg");
  for (const auto& a : args) cmd += " " + Quote(a);
  root.WriteFile("stdin.txt", input);
  cmd += " <" + Quote(root.Path("stdin.txt")) + " >" + Quote(root.Path("stdout.txt")) + " 2>" +
         Quote(root.Path("stderr.txt"));
  TResult r;
  int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = root.ReadFile("stdout.txt");
  r.err = root.ReadFile("stderr.txt");
  return r;
}

// One line on standard error, starting "ERROR: ".
void ExpectFailure(const TResult& r, const std::string& part = "") {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
}

TEST(KestranReg, AddAndQueryEveryType) {
  TTempRoot root;
  const std::string key = "HKLM\\SOFTWARE\\Brackenwold\\KESTRAN";
  EXPECT_EQ(RunTool(root, {"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "2525"}).status, 0);
  EXPECT_EQ(RunTool(root, {"add", key, "/v", "Dir", "/d", "C:\\mail\\"}).status, 0);
  EXPECT_EQ(RunTool(root, {"ADD", key, "/V", "Exp", "/T", "reg_expand_sz", "/D", "%TEMP%"}).status,
            0);
  EXPECT_EQ(
      RunTool(root, {"add", key, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a.t#b.t", "/s", "#"})
          .status,
      0);
  EXPECT_EQ(RunTool(root, {"add", key, "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}).status, 0);
  EXPECT_EQ(RunTool(root, {"add", key, "/ve", "/d", "default"}).status, 0);
  EXPECT_EQ(RunTool(root, {"add", key + "\\LocalNets"}).status, 0);

  TResult q = RunTool(root, {"query", "HKEY_LOCAL_MACHINE\\software\\brackenwold\\kestran"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\n"
            "    Port    REG_DWORD    0x9dd\n"
            "    Dir    REG_SZ    C:\\mail\\\n"
            "    Exp    REG_EXPAND_SZ    %TEMP%\n"
            "    Multi    REG_MULTI_SZ    a.t\\0b.t\n"
            "    Bin    REG_BINARY    00FF10\n"
            "    (Default)    REG_SZ    default\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets\n");
  q = RunTool(root, {"query", key, "/v", "port"});
  EXPECT_EQ(q.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\n"
            "    Port    REG_DWORD    0x9dd\n\n");
  q = RunTool(root, {"query", key + "\\LocalNets", "/ve"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets\n"
            "    (Default)    REG_SZ    (value not set)\n\n");
  q = RunTool(root, {"query", "HKLM\\SOFTWARE", "/s"});
  EXPECT_NE(q.out.find("KESTRAN\\LocalNets\n"), std::string::npos);
  EXPECT_NE(q.out.find("    Bin    REG_BINARY    00FF10\n"), std::string::npos);

  // An existing value is replaced with /f, or after a "yes".
  EXPECT_EQ(RunTool(root, {"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "0x19", "/f"}).status,
            0);
  EXPECT_NE(RunTool(root, {"query", key, "/v", "Port"}).out.find("0x19"), std::string::npos);
  ExpectFailure(RunTool(root, {"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "1"}, "no\n"));
  EXPECT_EQ(RunTool(root, {"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "7"}, "yes\n").status,
            0);
  EXPECT_NE(RunTool(root, {"query", key, "/v", "Port"}).out.find("0x7\n"), std::string::npos);

  // Deletions.
  EXPECT_EQ(RunTool(root, {"delete", key, "/v", "Bin", "/f"}).status, 0);
  ExpectFailure(RunTool(root, {"query", key, "/v", "Bin"}), "unable to find");
  EXPECT_EQ(RunTool(root, {"delete", key, "/va", "/f"}).status, 0);
  EXPECT_EQ(RunTool(root, {"query", key}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\n\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets\n");
  EXPECT_EQ(RunTool(root, {"delete", "HKLM\\SOFTWARE\\Brackenwold", "/f"}).status, 0);
  ExpectFailure(RunTool(root, {"query", key}), "unable to find");
}

TEST(KestranReg, ImportAndExport) {
  TTempRoot root;
  root.WriteFile("in.reg",
                 "REGEDIT4\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
                 "\"MailSpoolDir\"=\"C:\\\\lms\\\\\"\r\n"
                 "\"LastMsgId\"=dword:0000001e\r\n"
                 "\"DomainNamesAreLocal\"=hex(7):61,00,\\\r\n"
                 "  62,00,00\r\n"
                 "@=\"x\"\r\n\r\n");
  TResult r = RunTool(root, {"import", root.Path("in.reg")});
  EXPECT_EQ(r.status, 0) << r.err;
  TResult q =
      RunTool(root, {"query", "HKLM\\SOFTWARE\\Larchmont\\LMS", "/v", "DomainNamesAreLocal"});
  EXPECT_NE(q.out.find("REG_MULTI_SZ    a\\0b\n"), std::string::npos) << q.out;
  r = RunTool(root, {"export", "HKLM\\SOFTWARE\\Larchmont", root.Path("out.reg")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(root.ReadFile("out.reg"),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
            "\"MailSpoolDir\"=\"C:\\\\lms\\\\\"\r\n"
            "\"LastMsgId\"=dword:0000001e\r\n"
            "\"DomainNamesAreLocal\"=hex(7):61,00,62,00,00\r\n"
            "@=\"x\"\r\n\r\n");
  // An existing export file is replaced only when confirmed (or with /y).
  ExpectFailure(RunTool(root, {"export", "HKLM\\SOFTWARE", root.Path("out.reg")}, "n\n"));
  EXPECT_EQ(RunTool(root, {"export", "HKLM\\SOFTWARE", root.Path("out.reg"), "/y"}).status, 0);
}

TEST(KestranReg, ErrorsEndWithStatusOneAndOneLine) {
  TTempRoot root;
  ExpectFailure(RunTool(root, {}));
  ExpectFailure(RunTool(root, {"frobnicate", "HKLM\\X"}), "frobnicate");
  ExpectFailure(RunTool(root, {"query", "HKCU\\Software"}), "HKCU");
  ExpectFailure(RunTool(root, {"query", "HKLM\\Nothing"}), "unable to find");
  ExpectFailure(RunTool(root, {"query", "HKLM\\X", "/bogus"}));
  ExpectFailure(RunTool(root, {"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "12x"}),
                "12x");
  ExpectFailure(RunTool(root, {"add", "HKLM\\X", "/v", "n", "/t", "REG_QWORD", "/d", "1"}),
                "REG_QWORD");
  ExpectFailure(RunTool(root, {"add", "HKLM\\X", "/v", "n", "/t", "REG_BINARY", "/d", "abc"}));
  ExpectFailure(RunTool(root, {"add", "HKLM\\X", "/v"}));
  ExpectFailure(RunTool(root, {"delete", "HKLM\\Nothing", "/f"}), "unable to find");
  ExpectFailure(RunTool(root, {"delete", "HKLM\\X", "/v", "nothing", "/f"}));
  ExpectFailure(RunTool(root, {"import", root.Path("missing.reg")}), "missing.reg");
  ExpectFailure(RunTool(root, {"export", "HKLM\\Nothing", root.Path("x.reg")}), "unable to find");
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));

  // A malformed import names its file and line and changes nothing.
  EXPECT_EQ(RunTool(root, {"add", "HKLM\\SOFTWARE\\Kept", "/v", "a", "/d", "1"}).status, 0);
  std::string before = root.ReadFile("registry.reg");
  root.WriteFile("bad.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=dword:zz\n");
  ExpectFailure(RunTool(root, {"import", root.Path("bad.reg")}), root.Path("bad.reg") + "(4): ");
  EXPECT_EQ(root.ReadFile("registry.reg"), before);

  // So does a malformed registry file, which stays as it is.
  root.WriteFile("registry.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\n");
  ExpectFailure(RunTool(root, {"add", "HKLM\\X", "/v", "b", "/d", "1", "/f"}),
                root.RegistryFile() + "(3): ");
  EXPECT_EQ(root.ReadFile("registry.reg"), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\n");
}

TEST(KestranReg, DeepKeysRootDeletionsAndNulNamesAreRefused) {
  TTempRoot root;
  std::string key = "HKLM\\SOFTWARE";
  for (int i = 1; i < 512; ++i) key += "\\k";
  EXPECT_EQ(RunTool(root, {"add", key, "/v", "v", "/d", "bottom"}).status, 0);
  const std::string before = root.ReadFile("registry.reg");
  ExpectFailure(RunTool(root, {"add", key + "\\k", "/v", "v", "/d", "x"}), "512");
  // 100,000 levels in a file of 200 KB: refused at once, nothing written.
  std::string deep = "HKEY_LOCAL_MACHINE";
  for (int i = 0; i < 100000; ++i) deep += "\\k";
  root.WriteFile("deep.reg", "REGEDIT4\r\n\r\n[" + deep + "]\r\n\"v\"=\"x\"\r\n");
  ExpectFailure(RunTool(root, {"import", root.Path("deep.reg")}), root.Path("deep.reg") + "(3): ");
  root.WriteFile("root.reg", "REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE]\r\n");
  ExpectFailure(RunTool(root, {"import", root.Path("root.reg")}), root.Path("root.reg") + "(3): ");
  root.WriteFile("nul.reg", std::string("REGEDIT4\r\n[HKLM\\X]\r\n\"a") + '\0' + "b\"=\"1\"\r\n");
  ExpectFailure(RunTool(root, {"import", root.Path("nul.reg")}), root.Path("nul.reg") + "(3): ");
  EXPECT_EQ(root.ReadFile("registry.reg"), before);

  // The deepest key is queried and exported like any other.
  TResult q = RunTool(root, {"query", "HKLM\\SOFTWARE", "/s"});
  EXPECT_EQ(q.status, 0) << q.err;
  EXPECT_NE(q.out.find("    v    REG_SZ    bottom"), std::string::npos);
  EXPECT_EQ(RunTool(root, {"export", "HKLM\\SOFTWARE", root.Path("out.reg"), "/y"}).status, 0);
  EXPECT_EQ(RunTool(root, {"import", root.Path("out.reg")}).status, 0);
  EXPECT_EQ(root.ReadFile("registry.reg"), before);
}

TEST(KestranReg, RootEditingAServiceAccountsFileLeavesItToThatAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TTempRoot root;
  ASSERT_EQ(RunTool(root, {"add", "HKLM\\SOFTWARE\\A", "/v", "n", "/d", "1"}).status, 0);
  ASSERT_EQ(::chown(root.RegistryFile().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(root.RegistryFile().c_str(), 0640), 0);
  ASSERT_EQ(RunTool(root, {"add", "HKLM\\SOFTWARE\\A", "/v", "n", "/d", "2", "/f"}).status, 0);
  struct stat st;
  ASSERT_EQ(::stat(root.RegistryFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
