#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/paths.h"

namespace kestran {
namespace {

TEST(PathsTest, TranslationOfEveryForm) {
  auto root = std::filesystem::temp_directory_path() / ("kestran-paths-" + std::to_string(getpid()));
  setenv("KESTRAN_ROOT", root.c_str(), 1);
  std::string n;
  ASSERT_TRUE(TranslatePath("C:\\winnt\\Mail\\prein\\", n));
  EXPECT_EQ(n, root.string() + "/drive_c/winnt/Mail/prein/");
  EXPECT_TRUE(std::filesystem::is_directory(root / "drive_c")) << "drive C exists on first use";
  ASSERT_TRUE(TranslatePath("D:x", n));
  EXPECT_EQ(n, root.string() + "/drive_d/x");
  EXPECT_FALSE(std::filesystem::exists(root / "drive_d")) << "other drives are never created";
  ASSERT_TRUE(TranslatePath("/var/spool/x\\y\\", n));
  EXPECT_EQ(n, "/var/spool/x/y/");
  ASSERT_TRUE(TranslatePath("a\\b", n));
  EXPECT_EQ(n, "a/b");
  EXPECT_FALSE(TranslatePath("\\\\server\\share\\dir", n));
  EXPECT_FALSE(FileExists("\\\\server\\share\\f"));
  EXPECT_EQ(LastFileError(), kErrorBadNetPath);

  // Exclusive creation never replaces a file.
  TFile f;
  ASSERT_TRUE(f.Open("C:\\one.txt", TFile::Mode::CreateExclusive));
  ASSERT_TRUE(f.Write("abc"));
  ASSERT_TRUE(f.Sync());
  ASSERT_TRUE(f.Close());
  TFile g;
  EXPECT_FALSE(g.Open("C:\\one.txt", TFile::Mode::CreateExclusive));
  EXPECT_EQ(LastFileError(), 80u);
  std::string text;
  ASSERT_TRUE(ReadWholeFile("C:\\one.txt", text));
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(RenameFile("C:\\one.txt", "C:\\two.txt"));
  EXPECT_TRUE(FileExists("C:\\two.txt"));
  EXPECT_TRUE(DeleteFilePath("C:\\two.txt"));
  EXPECT_FALSE(FileExists("C:\\two.txt"));
  EXPECT_EQ(LastFileError(), 2u);
  std::filesystem::remove_all(root);
  unsetenv("KESTRAN_ROOT");
}

}  // namespace
}  // namespace kestran
