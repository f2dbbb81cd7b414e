// The Win32 file layer never follows a reparse point (a symbolic link or a junction) in a
// directory that others may write. Wine shows no link as a reparse point and cannot make
// a junction ("mklink /J" fails), so the attribute is added to what the system reports
// through the layer's test hook, on names of real files and directories.
#include "platform/os_win32.h"
// (the Windows headers first)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/file_attributes_win32.h"
#include "platform/files.h"

namespace kestran {
namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// "link.log" is a symbolic link to a file, "junction" a junction to a directory.
uint32_t PlantedLinks(const std::string& path, uint32_t attributes) {
  if (EndsWith(path, "\\link.log") || EndsWith(path, "\\junction"))
    return attributes | FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

class Win32Reparse : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[MAX_PATH + 1];
    DWORD n = ::GetTempPathA(sizeof buf, buf);
    dir_ = std::string(buf, n) + "kestran-reparse-" + std::to_string(::GetCurrentProcessId());
    ASSERT_TRUE(CreateDir(dir_));
    dir_ += "\\";
    for (const char* name : {"link.log", "plain.log"}) Write(name, "target text\r\n");
    ASSERT_TRUE(CreateDir(dir_ + "junction"));
    SetFileAttributeHookForTest(PlantedLinks);
  }

  void TearDown() override {
    SetFileAttributeHookForTest(nullptr);
    for (const char* name : {"link.log", "plain.log", "new.log"}) DeleteFilePath(dir_ + name);
    ::RemoveDirectoryA((dir_ + "junction").c_str());
    ::RemoveDirectoryA(dir_.c_str());
  }

  void Write(const std::string& name, const std::string& text) {
    FILE* f = std::fopen((dir_ + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }

  std::string Read(const std::string& name) {
    std::string text;
    EXPECT_TRUE(ReadWholeFile(dir_ + name, text));
    return text;
  }

  std::string dir_;
};

TEST_F(Win32Reparse, LinksAreSeenAsLinksAndNeverWrittenThrough) {
  // What a name stands for: the link itself, never its target.
  EXPECT_EQ(EntryKindOf(dir_ + "link.log"), TEntryKind::Link);
  EXPECT_EQ(EntryKindOf(dir_ + "junction"), TEntryKind::Link);
  EXPECT_EQ(EntryKindOf(dir_ + "junction\\"), TEntryKind::Link);
  EXPECT_EQ(EntryKindOf(dir_ + "plain.log"), TEntryKind::File);
  EXPECT_TRUE(NameExists(dir_ + "link.log"));
  std::vector<TDirEntry> entries;
  ASSERT_TRUE(ListDirectory(dir_, entries));
  auto kind = [&](const std::string& name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const TDirEntry& e) { return e.name == name; });
    return it == entries.end() ? TEntryKind::None : it->kind;
  };
  EXPECT_EQ(kind("link.log"), TEntryKind::Link);
  EXPECT_EQ(kind("junction"), TEntryKind::Link);
  EXPECT_EQ(kind("plain.log"), TEntryKind::File);

  // An append finds the link and refuses it; the plain file beside it takes the line.
  TFile f;
  EXPECT_FALSE(f.Open(dir_ + "link.log", TFile::Mode::Append));
  EXPECT_EQ(LastFileError(), kErrorNotPlainFile);
  EXPECT_EQ(Read("link.log"), "target text\r\n");
  ASSERT_TRUE(f.Open(dir_ + "plain.log", TFile::Mode::Append));
  ASSERT_TRUE(f.Write("more\r\n"));
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(Read("plain.log"), "target text\r\nmore\r\n");
  // Exclusive creation counts the link as a taken name.
  EXPECT_FALSE(f.Open(dir_ + "link.log", TFile::Mode::CreateExclusive));
  EXPECT_EQ(Read("link.log"), "target text\r\n");
  ASSERT_TRUE(f.Open(dir_ + "new.log", TFile::Mode::CreateExclusive));
  ASSERT_TRUE(f.Close());

  // Without the planted attribute the same file is plain again.
  SetFileAttributeHookForTest(nullptr);
  EXPECT_EQ(EntryKindOf(dir_ + "link.log"), TEntryKind::File);
  EXPECT_TRUE(f.Open(dir_ + "link.log", TFile::Mode::Append));
  EXPECT_TRUE(f.Close());
}

}  // namespace
}  // namespace kestran
