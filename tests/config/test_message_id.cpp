#include "config/message_id.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/registry_access.h"
#include "config/settings_loader.h"
#include "config/temp_root.h"

namespace kestran {
namespace {

using test::TTempRoot;

// LastMsgId of a key, or -1 when it has none.
int64_t Stored(const char* key) {
  TRegistry reg(kKeyRead);
  if (!reg.OpenKey(key, false) || !reg.ValueExists("LastMsgId")) return -1;
  return static_cast<uint32_t>(reg.ReadInteger("LastMsgId"));
}

TEST(MessageId, ContinuesTheHostNumberingInTheOwnKey) {
  TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n\"LastMsgId\"=dword:00000029\r\n");
  EXPECT_EQ(NextMessageId(), 42);
  EXPECT_EQ(Stored(kOwnKey), 42);
  EXPECT_EQ(Stored(kHostKey), 41);
  EXPECT_EQ(NextMessageId(), 43);
  EXPECT_EQ(Stored(kHostKey), 41);

  // A host key without the value starts at 1.
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n");
  EXPECT_EQ(NextMessageId(), 1);
  EXPECT_EQ(Stored(kOwnKey), 1);
}

TEST(MessageId, NothingToOpenGivesZeroAndStoresNothing) {
  TTempRoot root;
  EXPECT_EQ(NextMessageId(), 0);
  EXPECT_EQ(NextMessageId(), 0);
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));

  // The own key without the value and no host key: still nothing.
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"Port\"=dword:19\r\n");
  std::string before = root.ReadFile("registry.reg");
  EXPECT_EQ(NextMessageId(), 0);
  EXPECT_EQ(root.ReadFile("registry.reg"), before);
}

TEST(MessageId, ErrorsNameTheValueAndReleaseTheLock) {
  TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=\"12\"\r\n");
  for (int i = 0; i < 2; ++i) {  // a second call neither deadlocks nor succeeds
    try {
      NextMessageId();
      ADD_FAILURE() << "no error";
    } catch (const ERegistryException& e) {
      EXPECT_EQ(e.Message(), "Invalid data type for 'LastMsgId'");
    }
  }
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=hex(4):01,02,03,04,"
      "05\r\n");
  EXPECT_THROW(NextMessageId(), ERegistryException);

  // A registry that cannot be written: the number is not handed out.
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=dword:00000007\r\n");
  std::filesystem::remove(root.Path("registry.lock"));
  std::filesystem::create_directory(root.Path("registry.lock"));  // no lock file possible
  try {
    NextMessageId();
    ADD_FAILURE() << "no error";
  } catch (const ERegistryException& e) {
    EXPECT_EQ(e.Message(), "Failed to set data for 'LastMsgId'");
  }
  EXPECT_EQ(Stored(kOwnKey), 7);
  std::filesystem::remove(root.Path("registry.lock"));
  EXPECT_EQ(NextMessageId(), 8);
}

// Numbers run from 1 to 2147483647 and start again at 1 after the last, or after a
// value stored past it; the caller that gets the 1 learns where numbering wrapped.
TEST(MessageId, NumberingStartsAgainAtOneAfterTheEndOfItsRange) {
  TTempRoot root;
  const std::string own = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n";
  root.WriteRegistry(own + "\"LastMsgId\"=dword:7ffffffe\r\n");
  std::optional<uint32_t> wrapped;
  EXPECT_EQ(NextMessageId(wrapped), 0x7fffffff);
  EXPECT_FALSE(wrapped);
  EXPECT_EQ(NextMessageId(wrapped), 1);
  EXPECT_EQ(wrapped, 0x7fffffffu);
  EXPECT_EQ(NextMessageId(wrapped), 2);
  EXPECT_FALSE(wrapped);
  EXPECT_EQ(Stored(kOwnKey), 2);

  for (uint32_t past : {0x80000000u, 0xfffffffeu, 0xffffffffu}) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", past);
    root.WriteRegistry(own + "\"LastMsgId\"=dword:" + text + "\r\n");
    EXPECT_EQ(NextMessageId(wrapped), 1) << text;
    EXPECT_EQ(wrapped, past) << text;
    EXPECT_EQ(NextMessageId(wrapped), 2) << text;
    EXPECT_EQ(Stored(kOwnKey), 2) << text;
  }

  // The host's counter at the end: the own one starts at 1.
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n\"LastMsgId\"=dword:7fffffff\r\n");
  EXPECT_EQ(NextMessageId(wrapped), 1);
  EXPECT_EQ(wrapped, 0x7fffffffu);
  EXPECT_EQ(Stored(kOwnKey), 1);
  EXPECT_EQ(Stored(kHostKey), 0x7fffffff);
}

// Several processes draw numbers at once: every number is handed out exactly once.
TEST(MessageId, ProcessesNeverDrawTheSameNumber) {
  TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=dword:00000000\r\n");
  // Some bulk, so that every draw re-reads and rewrites a realistic file.
  std::string bulk = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk]\r\n";
  for (int i = 0; i < 200; ++i) bulk += "\"v" + std::to_string(i) + "\"=\"value\"\r\n";
  ASSERT_EQ(ImportRegText("REGEDIT4\r\n\r\n" + bulk, "bulk.reg"), kRegSuccess);

  constexpr int kProcesses = 4;
  constexpr int kDraws = 60;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      for (int i = 0; i < kDraws; ++i) {
        int32_t n = -1;
        try {
          n = NextMessageId();
        } catch (...) {
        }
        if (::write(fds[1], &n, sizeof n) != sizeof n) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(fds[1]);
  std::vector<int32_t> numbers;
  int32_t n;
  while (::read(fds[0], &n, sizeof n) == sizeof n) numbers.push_back(n);
  ::close(fds[0]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_EQ(numbers.size(), static_cast<size_t>(kProcesses * kDraws));
  std::sort(numbers.begin(), numbers.end());
  for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], static_cast<int32_t>(i + 1));
  EXPECT_EQ(Stored(kOwnKey), kProcesses * kDraws);
  TRegistry reg(kKeyRead);
  ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Bulk", false));
  EXPECT_EQ(reg.GetValueNames().size(), 200u);
}

}  // namespace
}  // namespace kestran
