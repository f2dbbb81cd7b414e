#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/temp_root.h"
#include "platform/registry.h"

namespace kestran {
namespace {

// Sets "n" under SOFTWARE\T and commits the change; what the commit returned.
uint32_t SetAndCommit(TRegKey& key, uint32_t n, bool flush = true) {
  TRegTransaction tx;
  EXPECT_EQ(key.SetDword("n", n), kRegSuccess);
  return tx.Commit(flush);
}

// A commit that does not wait for the file's replacement writes the same file as one
// that does, leaves no temporary file behind, and still reports a registry it cannot
// write.
TEST(RegistryCommit, WithoutFlushingTheNameWritesTheSameFile) {
  test::TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\T", kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(SetAndCommit(key, 5), kRegSuccess);
  const std::string flushed = root.ReadFile("registry.reg");
  ASSERT_EQ(SetAndCommit(key, 6, false), kRegSuccess);
  std::string lazy = root.ReadFile("registry.reg");
  ASSERT_NE(lazy.find("\"n\"=dword:00000006\r\n"), std::string::npos);
  lazy.replace(lazy.find("00000006"), 8, "00000005");
  EXPECT_EQ(lazy, flushed);
  for (const auto& e : std::filesystem::directory_iterator(root.Path("")))
    EXPECT_EQ(e.path().filename().string().find("registry.reg."), std::string::npos) << e.path();

  std::filesystem::remove(root.Path("registry.lock"));
  std::filesystem::create_directory(root.Path("registry.lock"));  // no lock file possible
  TRegTransaction tx;
  ASSERT_EQ(key.SetDword("n", 7), kRegSuccess);
  EXPECT_NE(tx.Commit(false), kRegSuccess);
}

// Root changing the registry of the account that owns the data root: a link that account
// put under the lock file's name is never opened through, so no file appears at its
// target; the change is refused and the registry stays as it was.
TEST(RegistryCommit, ALockFileThatIsALinkIsNeverOpenedThroughIt) {
  test::TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\T", kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(SetAndCommit(key, 5), kRegSuccess);
  const std::string before = root.ReadFile("registry.reg");
  const std::string target = root.Path("made-through-the-link");
  std::filesystem::remove(root.Path("registry.lock"));
  std::filesystem::create_symlink(target, root.Path("registry.lock"));
  EXPECT_NE(SetAndCommit(key, 6), kRegSuccess);
  uint32_t old = 0;
  EXPECT_FALSE(AddToDwordInPlace("\\SOFTWARE\\T", "n", 1, false, old));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(target)));
  EXPECT_EQ(root.ReadFile("registry.reg"), before);
}

}  // namespace
}  // namespace kestran
