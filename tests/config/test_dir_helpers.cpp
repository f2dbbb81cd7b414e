#include "config/dir_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "platform/files.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;

// A temporary data root that holds drive C, set as KESTRAN_ROOT for the test.
class DirHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("kestran-dirs-" + std::to_string(rd()));
    fs::create_directories(root_ / "drive_c");
    const char* old = std::getenv("KESTRAN_ROOT");
    if (old != nullptr) savedRoot_ = old;
    ::setenv("KESTRAN_ROOT", root_.c_str(), 1);
    savedCwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(savedCwd_);
    if (savedRoot_)
      ::setenv("KESTRAN_ROOT", savedRoot_->c_str(), 1);
    else
      ::unsetenv("KESTRAN_ROOT");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path root_;
  fs::path savedCwd_;
  std::optional<std::string> savedRoot_;
};

TEST_F(DirHelpersTest, ProbeLeavesNothingBehind) {
  EXPECT_FALSE(IsDirWritable(""));
  EXPECT_TRUE(IsDirWritable("C:\\"));
  EXPECT_TRUE(IsDirWritable("C:"));
  EXPECT_TRUE(fs::is_empty(root_ / "drive_c"));
  EXPECT_FALSE(IsDirWritable("C:\\missing"));
  EXPECT_FALSE(fs::exists(root_ / "drive_c" / "missing"));
  EXPECT_FALSE(IsDirWritable("\\\\server\\share\\"));
  // The probe's name is drawn anew each time: what others put under the old fixed name
  // (here a link to a file of theirs) is neither followed nor touched.
  std::ofstream(root_ / "theirs") << "kept";
  fs::create_symlink(root_ / "theirs", root_ / "drive_c" / "kestrant.tmp");
  EXPECT_TRUE(IsDirWritable("C:\\"));
  EXPECT_TRUE(fs::is_symlink(root_ / "drive_c" / "kestrant.tmp"));
  std::ifstream in(root_ / "theirs");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "kept");
  const std::string a = ProbeFileName(), b = ProbeFileName();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(0, 9), "kestrant-");
  EXPECT_EQ(a.substr(a.size() - 4), ".tmp");
  // Only what the test made remains.
  for (const auto& e : fs::directory_iterator(root_ / "drive_c"))
    EXPECT_EQ(e.path().filename(), "kestrant.tmp");
}

TEST_F(DirHelpersTest, CreatesNestedDrivePathsAndRestoresTheCurrentDirectory) {
  const fs::path before = fs::current_path();
  EXPECT_TRUE(ForceDirPath("C:\\winnt\\system32\\larchmont\\mail\\prein\\"));
  EXPECT_TRUE(fs::is_directory(root_ / "drive_c/winnt/system32/larchmont/mail/prein"));
  EXPECT_EQ(fs::current_path(), before);
  EXPECT_TRUE(ForceDirPath("C:\\a\\b"));  // without the final backslash
  EXPECT_TRUE(fs::is_directory(root_ / "drive_c/a/b"));
  EXPECT_TRUE(ForceDirPath("C:\\a\\b"));  // already there
  EXPECT_TRUE(fs::is_empty(root_ / "drive_c/a/b"));

  // A drive that does not exist, and a path through a regular file, fail.
  EXPECT_FALSE(ForceDirPath("D:\\queue"));
  EXPECT_FALSE(fs::exists(root_ / "drive_d"));
  std::ofstream(root_ / "drive_c" / "plain") << "x";
  EXPECT_FALSE(ForceDirPath("C:\\plain\\sub"));
  EXPECT_FALSE(ForceDirPath(""));
  EXPECT_EQ(fs::current_path(), before);
}

TEST_F(DirHelpersTest, UncPathsCreateNothing) {
  const fs::path before = fs::current_path();
  fs::current_path(root_);
  EXPECT_FALSE(ForceDirPath("\\\\server"));
  EXPECT_FALSE(ForceDirPath("\\\\server\\"));
  EXPECT_FALSE(ForceDirPath("\\\\server\\share\\dir\\"));
  EXPECT_EQ(fs::current_path(), root_);
  // Nothing named after a piece of the path appeared anywhere in the root.
  for (const auto& e : fs::recursive_directory_iterator(root_))
    EXPECT_EQ(e.path(), root_ / "drive_c") << e.path();
  fs::current_path(before);
}

TEST_F(DirHelpersTest, RelativeAndNativePaths) {
  const fs::path work = root_ / "work";
  fs::create_directories(work);
  fs::current_path(work);
  EXPECT_TRUE(ForceDirPath("rel\\sub\\leaf"));
  EXPECT_TRUE(fs::is_directory(work / "rel/sub/leaf"));
  EXPECT_EQ(fs::current_path(), work);

  const fs::path native = root_ / "native" / "one" / "two";
  EXPECT_TRUE(ForceDirPath(native.string() + "\\"));
  EXPECT_TRUE(fs::is_directory(native));
  EXPECT_EQ(fs::current_path(), work);
}

}  // namespace
}  // namespace kestran
