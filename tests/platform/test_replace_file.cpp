// test-labels: threads
// A file replaced again and again while another thread reads it: every read finds one
// whole version, never part of one or none, and no temporary file stays behind.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "config/temp_root.h"
#include "platform/files.h"

namespace kestran {
namespace {

// Version n: a first line giving the length of what follows, then that many bytes; the
// length changes from one version to the next.
std::string Version(int n) {
  std::string body(static_cast<size_t>(1000 + (n % 7) * 3000), static_cast<char>('a' + n % 26));
  return std::to_string(body.size()) + "\n" + body;
}

bool Whole(const std::string& text) {
  size_t eol = text.find('\n');
  if (eol == std::string::npos) return false;
  return std::stoul(text.substr(0, eol)) == text.size() - eol - 1;
}

TEST(ReplaceFile, ReaderSeesOnlyWholeVersions) {
  test::TTempRoot root;
  const std::string path = root.Path("kestran.prom");
  ASSERT_TRUE(ReplaceFileContents(path, Version(0)));

  std::atomic<bool> done{false};
  int reads = 0, bad = 0;
  std::thread reader([&] {
    while (!done.load()) {
      std::string text;
      ++reads;
      if (!ReadWholeFile(path, text) || !Whole(text)) ++bad;
    }
  });
  for (int n = 1; n <= 400; ++n) ASSERT_TRUE(ReplaceFileContents(path, Version(n)));
  done = true;
  reader.join();
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";

  std::string last;
  ASSERT_TRUE(ReadWholeFile(path, last));
  EXPECT_EQ(last, Version(400));
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(root.Dir())) files += e.is_regular_file();
  EXPECT_EQ(files, 1) << "no temporary file is left";

  // A directory that does not exist: failure, and nothing is created.
  EXPECT_FALSE(ReplaceFileContents(root.Path("missing/kestran.prom"), "x"));
  EXPECT_FALSE(std::filesystem::exists(root.Path("missing")));
}

}  // namespace
}  // namespace kestran
