// The registry under hostile shapes: deep and wide keys, deletions of the root, NUL bytes
// in names, and what a change shares with the tree it was made from.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/temp_root.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/small_stack.h"

namespace kestran {
namespace {

using regfile::TRegNode;
using test::TTempRoot;

// "[HKEY_LOCAL_MACHINE\k\k...]" with depth names, and one value.
std::string DeepKeyText(size_t depth) {
  std::string key = "HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < depth; ++i) key += "\\k";
  return "REGEDIT4\r\n\r\n[" + key + "]\r\n\"v\"=dword:00000001\r\n";
}

std::string ParseError(const std::string& text) {
  TRegNode root;
  try {
    regfile::ApplyRegText(text, "in.reg", root);
  } catch (const ERegistryFile& e) {
    return e.what();
  }
  return "";
}

TEST(RegistryLimits, KeysDeeperThan512LevelsAreRefusedWhereverTheyComeFrom) {
  TTempRoot root;
  EXPECT_EQ(ParseError(DeepKeyText(512)), "");
  EXPECT_EQ(ParseError(DeepKeyText(513)).rfind("in.reg(3): ", 0), 0u)
      << ParseError(DeepKeyText(513));
  EXPECT_NE(ParseError(DeepKeyText(100000)), "");

  std::string deep;
  for (int i = 0; i < 512; ++i) deep += "\\k";
  TRegKey key;
  EXPECT_EQ(CreateRegKey(deep + "\\k", kKeyAllAccess, key), kRegInvalidParameter);
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));
  ASSERT_EQ(CreateRegKey(deep, kKeyAllAccess, key), kRegSuccess);
  EXPECT_EQ(key.SetDword("v", 7), kRegSuccess);
  std::string text;
  ASSERT_EQ(ExportRegKey("k", text), kRegSuccess);
  EXPECT_EQ(ParseError(text), "");
  EXPECT_THROW(ImportRegText(DeepKeyText(513), "deep.reg"), ERegistryFile);
  EXPECT_FALSE(RegKeyExists(deep + "\\k"));
}

TEST(RegistryLimits, TheRootIsNeverDeletedAndNamesHoldNoNul) {
  TTempRoot root;
  ASSERT_EQ(ImportRegText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\r\n\"a\"=\"1\"\r\n",
                          "a.reg"),
            kRegSuccess);
  const std::string before = root.ReadFile("registry.reg");
  for (const char* line : {"[-HKEY_LOCAL_MACHINE]", "[-HKLM]", "[-hkey_local_machine\\]"}) {
    SCOPED_TRACE(line);
    std::string text = std::string("REGEDIT4\r\n\r\n") + line + "\r\n";
    EXPECT_NE(ParseError(text).find("in.reg(3): "), std::string::npos);
    EXPECT_THROW(ImportRegText(text, "x.reg"), ERegistryFile);
  }
  // A deletion below the root still works.
  EXPECT_EQ(ParseError("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\None]\r\n"), "");

  const std::string nul =
      std::string("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"a") + '\0' + "b\"=\"1\"\r\n";
  EXPECT_EQ(ParseError(nul).rfind("in.reg(3): ", 0), 0u);
  EXPECT_THROW(ImportRegText(nul, "nul.reg"), ERegistryFile);
  EXPECT_EQ(root.ReadFile("registry.reg"), before);

  TRegKey key;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\Kept", kKeyAllAccess, key), kRegSuccess);
  EXPECT_EQ(key.SetValue(std::string("a\0b", 3), kRegSz, std::string("x\0", 2)),
            kRegInvalidParameter);
  EXPECT_EQ(CreateRegKey(std::string("SOFTWARE\\a\0b", 12), kKeyAllAccess, key),
            kRegInvalidParameter);
  EXPECT_EQ(root.ReadFile("registry.reg"), before);
}

// A tree far deeper than any file may hold is copied, changed at its bottom, written out
// and destroyed on a 64 KiB stack: nothing recurses in proportion to the depth.
TEST(RegistryLimits, NoTreeOperationRecursesWithTheDepth) {
  test::RunOnSmallStack(64 * 1024, [] {
    std::vector<std::string> path(200000, "k");
    auto tree = std::make_unique<TRegNode>();
    tree->Create(path).SetValue("v", kRegDword, std::string(4, '\0'));
    TRegNode copy = *tree;
    copy.Edit(path)->SetValue("v", kRegDword, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(tree->Find(path)->FindValue("v")->data, std::string(4, '\0'));
    tree.reset();  // the original goes first, then the copy
    EXPECT_EQ(copy.Find(path)->FindValue("v")->data[0], '\x01');

    // Written out (each key line holds its whole path, so less deep).
    TRegNode shallower;
    shallower.Create(std::vector<std::string>(4000, "k")).SetValue("v", kRegSz, "x");
    const std::string text = regfile::FormatRegText(shallower, "");
    const std::string last = "\\k]\r\n\"v\"=hex(1):78\r\n\r\n";
    ASSERT_GT(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(std::count(text.begin(), text.end(), '['), 4000);
  });
}

TEST(RegistryLimits, AChangeSharesEverythingOffItsPath) {
  TRegNode root;
  TRegNode& wide = root.Create({"SOFTWARE", "Wide"});
  for (int i = 0; i < 1000; ++i)
    wide.AddSubKey("alias" + std::to_string(i)).SetValue("Alias", 1, "a");
  root.Create({"SOFTWARE", "Own"}).SetValue("LastMsgId", kRegDword, std::string(4, '\0'));

  TRegNode next = root;
  next.Edit({"SOFTWARE", "Own"})->SetValue("LastMsgId", kRegDword, std::string("\x01\0\0\0", 4));
  // The wide key is the same object in both trees; the changed path is not.
  EXPECT_EQ(next.Find({"SOFTWARE", "Wide"}), root.Find({"SOFTWARE", "Wide"}));
  EXPECT_NE(next.Find({"SOFTWARE", "Own"}), root.Find({"SOFTWARE", "Own"}));
  EXPECT_EQ(root.Find({"SOFTWARE", "Own"})->FindValue("lastmsgid")->data[0], '\0');
  EXPECT_EQ(next.Find({"SOFTWARE", "Own"})->FindValue("LASTMSGID")->data[0], '\x01');

  // Many values: found by name, kept in first-written order, removed and replaced.
  TRegNode& list = next.Create({"List"});
  for (int i = 0; i < 100; ++i) list.SetValue("v" + std::to_string(i), 1, std::to_string(i));
  EXPECT_TRUE(list.RemoveValue("V50"));
  list.SetValue("v7", 1, "seven");
  list.SetValue("v50", 1, "again");
  EXPECT_EQ(list.FindValue("V7")->data, "seven");
  EXPECT_EQ(list.Values().size(), 100u);
  EXPECT_EQ(list.Values()[50].name, "v51");
  EXPECT_EQ(list.Values().back().name, "v50");
  EXPECT_EQ(list.FindValue("v99")->data, "99");
  EXPECT_EQ(list.FindValue("v100"), nullptr);
}

TEST(RegistryLimits, ReplacementKeepsModeAndOwnerAndNewFilesAre0640) {
  TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\A", kKeyAllAccess, key), kRegSuccess);
  struct stat st;
  ASSERT_EQ(::stat(root.RegistryFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  ASSERT_EQ(::chmod(root.RegistryFile().c_str(), 0600), 0);
  ASSERT_EQ(key.SetDword("n", 1), kRegSuccess);
  ASSERT_EQ(::stat(root.RegistryFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  if (::geteuid() != 0) GTEST_SKIP() << "giving the file to another account needs root";
  // Root changing the file of a service account leaves it to that account.
  ASSERT_EQ(::chown(root.RegistryFile().c_str(), 65534, 65534), 0);
  ASSERT_EQ(key.SetDword("n", 2), kRegSuccess);
  ASSERT_EQ(::stat(root.RegistryFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // That account can still change it, through the lock file root made.
  ASSERT_EQ(::chown(root.Dir().c_str(), 65534, 65534), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    TRegKey mine;
    ok = ok && OpenRegKey("SOFTWARE\\A", kKeyAllAccess, mine) == kRegSuccess &&
         mine.SetDword("n", 3) == kRegSuccess;
    ::_exit(ok ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(root.ReadFile("registry.reg").find("\"n\"=dword:00000003"), std::string::npos);
}

TEST(RegistryLimits, OnlyTheRegistrysOwnTemporaryFilesAreRemoved) {
  TTempRoot root;
  EXPECT_EQ(RemoveRegistryLeftovers(), 0u);
  EXPECT_FALSE(std::filesystem::exists(root.Path("registry.lock")))
      << "nothing to do, nothing made";
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n");
  const std::vector<std::string> leftovers = {"registry.reg.aB3xY9", "registry.reg.000000"};
  const std::vector<std::string> others = {"registry.reg.abc",    "registry.reg.abcdefg",
                                           "registry.reg.ab-cd_", "registry.reg~",
                                           "other.reg.aB3xY9",    "registry.reg"};
  for (const auto& n : leftovers) root.WriteFile(n, "partial");
  for (const auto& n : others)
    if (n != "registry.reg") root.WriteFile(n, "keep");
  std::filesystem::create_directory(root.Path("registry.reg.DIR123"));
  ASSERT_EQ(
      ::symlink(root.Path("registry.reg.abc").c_str(), root.Path("registry.reg.LINK12").c_str()),
      0);
  EXPECT_EQ(RemoveRegistryLeftovers(), leftovers.size());
  for (const auto& n : leftovers) EXPECT_FALSE(std::filesystem::exists(root.Path(n))) << n;
  for (const auto& n : others) EXPECT_TRUE(std::filesystem::exists(root.Path(n))) << n;
  EXPECT_TRUE(std::filesystem::is_directory(root.Path("registry.reg.DIR123")));
  EXPECT_TRUE(std::filesystem::is_symlink(root.Path("registry.reg.LINK12")));
  EXPECT_TRUE(RegKeyExists("SOFTWARE\\A"));
}

TEST(RegistryLimits, ASnapshotReadsTheFileOnceAndSeesItsOwnCommits) {
  TTempRoot root;
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"n\"=dword:00000001\r\n");
  TRegKey key;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\A", kKeyAllAccess, key), kRegSuccess);
  {
    TRegSnapshot snapshot;
    root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n");  // behind its back
    EXPECT_TRUE(RegKeyExists("SOFTWARE\\A"));
    EXPECT_FALSE(RegKeyExists("SOFTWARE\\B"));
    // Its own change is written to the file as it is now, and seen.
    TRegKey c;
    ASSERT_EQ(CreateRegKey("SOFTWARE\\C", kKeyAllAccess, c), kRegSuccess);
    EXPECT_TRUE(RegKeyExists("SOFTWARE\\C"));
    EXPECT_TRUE(RegKeyExists("SOFTWARE\\B"));
    EXPECT_FALSE(RegKeyExists("SOFTWARE\\A"));
  }
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\D]\r\n");
  EXPECT_TRUE(RegKeyExists("SOFTWARE\\D"));
}

}  // namespace
}  // namespace kestran
