// Writing into directories that others may write: links planted under a name are never
// followed, a second name of another file is never appended to, a FIFO never blocks an
// append, files are created for owner and group only.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "config/temp_root.h"
#include "platform/files.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class FilesLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_.Path("drive_c/dir"));
    root_.WriteFile("target", "owned by the test\n");
  }
  std::string Dir(const std::string& name) const { return root_.Path("drive_c/dir/" + name); }
  void Plant(const std::string& name) const { fs::create_symlink(root_.Path("target"), Dir(name)); }

  test::TTempRoot root_;
};

TEST_F(FilesLinks, WritesNeverFollowALinkAndAFifoNeverBlocks) {
  Plant("log");
  fs::create_symlink(root_.Path("nowhere"), Dir("dangling"));
  ASSERT_EQ(::mkfifo(Dir("fifo").c_str(), 0600), 0);
  fs::create_directory(Dir("sub"));
  fs::create_hard_link(root_.Path("target"), Dir("hard"));

  for (const char* name : {"log", "dangling", "fifo", "sub", "hard"}) {
    TFile f;
    EXPECT_FALSE(f.Open(std::string("C:\\dir\\") + name, TFile::Mode::Append)) << name;
    EXPECT_EQ(LastFileError(), kErrorNotPlainFile) << name;
    // Exclusive creation finds the name taken, links included.
    EXPECT_FALSE(f.Open(std::string("C:\\dir\\") + name, TFile::Mode::CreateExclusive)) << name;
    EXPECT_EQ(LastFileError(), 80u) << name;
  }
  EXPECT_EQ(Read(root_.Path("target")), "owned by the test\n");
  EXPECT_FALSE(fs::exists(root_.Path("nowhere")));

  // A plain file is appended to, and created when missing.
  TFile f;
  ASSERT_TRUE(f.Open("C:\\dir\\plain", TFile::Mode::Append));
  ASSERT_TRUE(f.Write("one\r\n"));
  f.Close();
  ASSERT_TRUE(f.Open("C:\\dir\\plain", TFile::Mode::Append));
  ASSERT_TRUE(f.Write("two\r\n"));
  f.Close();
  EXPECT_EQ(Read(Dir("plain")), "one\r\ntwo\r\n");
}

TEST_F(FilesLinks, CreatedFilesAreForOwnerAndGroupOnly) {
  const mode_t old = ::umask(022);
  TFile a, b, c;
  ASSERT_TRUE(a.Open("C:\\dir\\excl", TFile::Mode::CreateExclusive));
  ASSERT_TRUE(b.Open("C:\\dir\\app", TFile::Mode::Append));
  ASSERT_TRUE(c.Open("C:\\dir\\trunc", TFile::Mode::CreateTruncate));
  ::umask(old);
  for (const char* name : {"excl", "app", "trunc"}) {
    struct stat st;
    ASSERT_EQ(::stat(Dir(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
  }
}

TEST_F(FilesLinks, NamesRenamesAndListingsSeeLinksAsLinks) {
  Plant("link");
  root_.WriteFile("drive_c/dir/a", "a");
  root_.WriteFile("drive_c/dir/b", "b");
  EXPECT_EQ(EntryKindOf("C:\\dir\\link"), TEntryKind::Link);
  EXPECT_EQ(EntryKindOf("C:\\dir\\a"), TEntryKind::File);
  EXPECT_EQ(EntryKindOf("C:\\dir\\"), TEntryKind::Directory);
  EXPECT_EQ(EntryKindOf("C:\\dir\\none"), TEntryKind::None);

  // No rename over a name that is taken, by a file or by a link.
  EXPECT_FALSE(RenameNoReplace("C:\\dir\\a", "C:\\dir\\b"));
  EXPECT_EQ(LastFileError(), 80u);
  EXPECT_FALSE(RenameNoReplace("C:\\dir\\a", "C:\\dir\\link"));
  EXPECT_EQ(Read(Dir("a")), "a");
  EXPECT_EQ(Read(Dir("b")), "b");
  EXPECT_EQ(Read(root_.Path("target")), "owned by the test\n");
  EXPECT_TRUE(RenameNoReplace("C:\\dir\\a", "C:\\dir\\c"));
  EXPECT_EQ(Read(Dir("c")), "a");
  EXPECT_FALSE(fs::exists(Dir("a")));

  timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimes(Dir("b").c_str(), times), 0);
  std::vector<TDirEntry> entries;
  ASSERT_TRUE(ListDirectory("C:\\dir", entries));
  std::sort(entries.begin(), entries.end(),
            [](const TDirEntry& x, const TDirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "b");
  EXPECT_EQ(entries[0].modified, 1000000000);
  EXPECT_EQ(entries[1].name, "c");
  EXPECT_EQ(entries[1].kind, TEntryKind::File);
  EXPECT_EQ(entries[2].kind, TEntryKind::Link);
  // Names and kinds alone tell the same kinds (a link is never taken for its target).
  ASSERT_TRUE(fs::create_directory(Dir("sub")));
  std::vector<TDirEntry> quick;
  ASSERT_TRUE(ListDirectory("C:\\dir", quick, false));
  std::sort(quick.begin(), quick.end(),
            [](const TDirEntry& x, const TDirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(quick.size(), 4u);
  EXPECT_EQ(quick[0].kind, TEntryKind::File);
  EXPECT_EQ(quick[2].name, "link");
  EXPECT_EQ(quick[2].kind, TEntryKind::Link);
  EXPECT_EQ(quick[3].kind, TEntryKind::Directory);
  ASSERT_TRUE(fs::remove(Dir("sub")));
  EXPECT_FALSE(ListDirectory("C:\\missing", entries));

  std::set<std::string> tags;
  for (int i = 0; i < 100; ++i) tags.insert(RandomFileTag());
  EXPECT_EQ(tags.size(), 100u);
  EXPECT_EQ(tags.begin()->find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST_F(FilesLinks, SmallFileReadsTakePlainFilesOnlyAndNeverWait) {
  root_.WriteFile("drive_c/dir/exact", std::string(100, 'x'));
  root_.WriteFile("drive_c/dir/over", std::string(101, 'x'));
  fs::create_symlink(root_.Path("drive_c/dir/exact"), Dir("live"));
  ASSERT_EQ(::mkfifo(Dir("fifo").c_str(), 0600), 0);
  fs::create_directory(Dir("sub"));

  std::string text = "left over";
  // A link to a plain file is read through (the layout of renewed certificates).
  EXPECT_TRUE(ReadSmallFile("C:\\dir\\live", 100, text));
  EXPECT_EQ(text, std::string(100, 'x'));
  EXPECT_FALSE(ReadSmallFile("C:\\dir\\over", 100, text));
  EXPECT_EQ(LastFileError(), kErrorFileTooLarge);
  EXPECT_EQ(text, "");
  // A FIFO without a writer would block an ordinary open for ever.
  EXPECT_FALSE(ReadSmallFile("C:\\dir\\fifo", 100, text));
  EXPECT_EQ(LastFileError(), kErrorNotPlainFile);
  EXPECT_FALSE(ReadSmallFile("C:\\dir\\sub", 100, text));
  EXPECT_EQ(LastFileError(), kErrorNotPlainFile);
  EXPECT_FALSE(ReadSmallFile("C:\\dir\\missing", 100, text));
  EXPECT_EQ(LastFileError(), 2u);

  // Where links are refused (files the program keeps), the link itself is refused, and
  // the file's last change comes with its contents.
  EXPECT_FALSE(ReadSmallFile("C:\\dir\\live", 100, text, TLinkMode::Refuse));
  EXPECT_EQ(LastFileError(), kErrorNotPlainFile);
  ASSERT_EQ(
      ::utimensat(
          AT_FDCWD, Dir("exact").c_str(),
          std::array<timespec, 2>{timespec{0, UTIME_OMIT}, timespec{1765200000, 125000000}}.data(),
          0),
      0);
  int64_t modified = 0;
  EXPECT_TRUE(ReadSmallFile("C:\\dir\\exact", 100, text, TLinkMode::Refuse, &modified));
  EXPECT_EQ(modified, 1765200000125000000);
}

TEST_F(FilesLinks, MovesIntoADirectoryNeverReplaceAndReplacementsCanBeDurable) {
  fs::create_directory(Dir("aside"));
  root_.WriteFile("drive_c/dir/B0000000042.MSG", "first");
  std::string target;
  ASSERT_TRUE(MoveIntoDirectory(Dir("B0000000042.MSG"), Dir("aside/"), target));
  EXPECT_EQ(target, Dir("aside/B0000000042.MSG"));
  for (const char* text : {"second", "third"}) {
    root_.WriteFile("drive_c/dir/B0000000042.MSG", text);
    ASSERT_TRUE(MoveIntoDirectory(Dir("B0000000042.MSG"), Dir("aside/"), target));
  }
  EXPECT_EQ(Read(Dir("aside/B0000000042.MSG")), "first");
  EXPECT_EQ(Read(Dir("aside/B0000000042-1.MSG")), "second");
  EXPECT_EQ(Read(Dir("aside/B0000000042-2.MSG")), "third");
  // A name without extension gets its number at the end; when every name is taken the
  // file stays where it is.
  root_.WriteFile("drive_c/dir/plain", "x");
  root_.WriteFile("drive_c/dir/aside/plain", "y");
  EXPECT_FALSE(MoveIntoDirectory(Dir("plain"), Dir("aside/"), target, 1));
  EXPECT_EQ(LastFileError(), 80u);
  ASSERT_TRUE(MoveIntoDirectory(Dir("plain"), Dir("aside/"), target));
  EXPECT_EQ(target, Dir("aside/plain-1"));

  // A durable replacement leaves no temporary behind, and one that cannot be made keeps
  // the old contents and tells why.
  ASSERT_TRUE(ReplaceFileContents(Dir("state"), "one", TReplaceMode::Durable));
  ASSERT_TRUE(ReplaceFileContents(Dir("state"), "two", TReplaceMode::Durable));
  EXPECT_EQ(Read(Dir("state")), "two");
  fs::create_directory(Dir("blocked"));
  EXPECT_FALSE(ReplaceFileContents(Dir("blocked"), "three", TReplaceMode::Durable));
  EXPECT_NE(LastFileError(), 0u);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(root_.Path("drive_c/dir")))
    ++entries;
  EXPECT_EQ(entries, 3u);  // aside, state and blocked: no temporary file is left
}

}  // namespace
}  // namespace kestran
