#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/temp_root.h"
#include "platform/registry.h"

namespace kestran {
namespace {

// A commit that does not wait for the file's replacement writes the same file as one
// that does, leaves no temporary file behind, and still reports a registry it cannot
// write.
TEST(RegistryCommit, WithoutFlushingTheNameWritesTheSameFile) {
  test::TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\T", kKeyAllAccess, key), kRegSuccess);
  {
    TRegTransaction tx;
    ASSERT_EQ(key.SetDword("n", 5), kRegSuccess);
    ASSERT_EQ(tx.Commit(), kRegSuccess);
  }
  const std::string flushed = root.ReadFile("registry.reg");
  {
    TRegTransaction tx;
    ASSERT_EQ(key.SetDword("n", 6), kRegSuccess);
    ASSERT_EQ(tx.Commit(false), kRegSuccess);
  }
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

}  // namespace
}  // namespace kestran
