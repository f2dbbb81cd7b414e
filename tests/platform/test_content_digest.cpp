#include "platform/content_digest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "platform/files.h"

namespace kestran {
namespace {

uint64_t DigestOf(const std::string& s) {
  TContentDigest d;
  d.Add(s);
  return d.Value();
}

// The value depends on the bytes only, never on how they were split; a byte changed,
// added or dropped anywhere changes it.
TEST(ContentDigest, SameBytesSameValueHoweverSplitAndEveryChangeShows) {
  std::mt19937 random(7);
  std::string text(3000, '\0');
  for (char& c : text) c = static_cast<char>(random());
  for (size_t size : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{3000}}) {
    const std::string s = text.substr(0, size);
    for (int round = 0; round < 20; ++round) {
      TContentDigest d;
      size_t at = 0;
      while (at < s.size()) {
        size_t n = std::min(s.size() - at, static_cast<size_t>(random() % 20));
        d.Add(s.data() + at, n);
        at += n;
      }
      EXPECT_EQ(d.Size(), size);
      EXPECT_EQ(d.Value(), DigestOf(s)) << size;
    }
  }
  std::set<uint64_t> seen;
  const std::string base = text.substr(0, 100);
  seen.insert(DigestOf(base));
  for (size_t i = 0; i < base.size(); ++i) {
    std::string changed = base;
    changed[i] = static_cast<char>(changed[i] ^ 1);
    EXPECT_TRUE(seen.insert(DigestOf(changed)).second) << i;
    EXPECT_TRUE(seen.insert(DigestOf(base.substr(0, i))).second) << i;
  }
  // Trailing zero bytes are bytes too.
  EXPECT_NE(DigestOf("a"), DigestOf(std::string("a\0", 2)));
  EXPECT_NE(DigestOf(""), DigestOf(std::string(8, '\0')));
}

// A file fed while being written digests exactly the bytes it holds.
TEST(ContentDigest, AFileDigestsWhatWasWrittenToIt) {
  const std::string path =
      ::testing::TempDir() + "kestran-digest-test-" + std::to_string(::getpid());
  std::remove(path.c_str());
  TContentDigest d;
  {
    TFile f;
    ASSERT_TRUE(f.Open(path, TFile::Mode::CreateExclusive));
    f.DigestWrites(&d);
    ASSERT_TRUE(f.Write("Received: x\r\n") && f.Write(std::string(70000, 'b')));
    TFile moved(std::move(f));
    ASSERT_TRUE(moved.Write("end\r\n") && moved.Close());
  }
  std::string contents;
  ASSERT_TRUE(ReadWholeFile(path, contents));
  EXPECT_EQ(d.Value(), DigestOf(contents));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kestran
