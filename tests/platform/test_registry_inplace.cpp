#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "config/temp_root.h"
#include "platform/registry.h"

namespace kestran {
namespace {

const std::string kHead = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n";

// The digits change where they stand and nothing else of the file does, however large
// it is; the change is read back through the registry; a file replaced by an ordinary
// change in between is noticed, and its digits are found anew.
TEST(RegistryInPlace, OnlyTheDigitsChangeAndAReplacedFileIsFoundAnew) {
  test::TTempRoot root;
  std::string big = kHead + "\"Other\"=\"x\"\r\n\"N\"=dword:000000ff\r\n\r\n";
  for (int i = 0; i < 3000; ++i)
    big +=
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\A" + std::to_string(i) + "]\r\n\"Alias\"=\"u\"\r\n\r\n";
  root.WriteFile("registry.reg", big);
  struct stat before;
  ASSERT_EQ(::stat(root.RegistryFile().c_str(), &before), 0);

  uint32_t old = 0;
  ASSERT_TRUE(AddToDwordInPlace("\\SOFTWARE\\T", "N", 1, false, old));
  EXPECT_EQ(old, 0xffu);
  ASSERT_TRUE(AddToDwordInPlace("\\SOFTWARE\\T", "n", 0xffffff00u, true, old));
  EXPECT_EQ(old, 0x100u);
  std::string now = root.ReadFile("registry.reg");
  std::string expect = big;
  expect.replace(expect.find("000000ff"), 8, "00000000");  // 0x100 + 0xffffff00 wraps to 0
  EXPECT_EQ(now, expect);
  struct stat after;
  ASSERT_EQ(::stat(root.RegistryFile().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the file was not replaced";

  TRegKey key;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\T", kKeyAllAccess, key), kRegSuccess);
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(key.QueryValue("N", type, data), kRegSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(data, std::string(4, '\0'));

  // An ordinary change replaces the file (and moves the digits): the next draw finds them.
  ASSERT_EQ(key.SetString("Other", "a longer text than before"), kRegSuccess);
  ASSERT_TRUE(AddToDwordInPlace("\\SOFTWARE\\T", "N", 5, false, old));
  EXPECT_EQ(old, 0u);
  EXPECT_NE(root.ReadFile("registry.reg").find("\"N\"=dword:00000005\r\n"), std::string::npos);

  // A file changed in place by someone else (same file, other size) is not written to.
  std::string edited = root.ReadFile("registry.reg");
  edited.insert(kHead.size(), "; a note\r\n");
  {
    FILE* f = std::fopen(root.RegistryFile().c_str(), "r+");
    ASSERT_NE(f, nullptr);
    std::fwrite(edited.data(), 1, edited.size(), f);
    std::fclose(f);
  }
  ASSERT_TRUE(AddToDwordInPlace("\\SOFTWARE\\T", "N", 1, false, old));
  EXPECT_EQ(old, 5u);
  edited.replace(edited.find("00000005"), 8, "00000006");
  EXPECT_EQ(root.ReadFile("registry.reg"), edited);
}

// Whatever the file does not hold in the one plain form is left to the ordinary way.
TEST(RegistryInPlace, AnythingButOnePlainDwordLineIsLeftAlone) {
  test::TTempRoot root;
  const std::string cases[] = {
      kHead + "\r\n",                              // no value
      kHead + "\"N\"=hex(4):05,00,00,00\r\n\r\n",  // other form
      kHead + "\"N\"=\"5\"\r\n\r\n",               // other type
      kHead + "\"N\"=dword:00000005\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n\r\n",  // twice
      kHead + "\"N\"=dword:00000005\r\n\"N\"=dword:00000007\r\n\r\n",                   // two lines
      kHead + "\"N\"=dword:00000005\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\U]\r\n",     // deletion
      kHead + "\"N\"=dword:0000005\r\n\r\n",                                            // malformed
  };
  for (const std::string& text : cases) {
    root.WriteFile("registry.reg", text);
    uint32_t old = 0;
    EXPECT_FALSE(AddToDwordInPlace("\\SOFTWARE\\T", "N", 1, false, old)) << text;
    EXPECT_EQ(root.ReadFile("registry.reg"), text);
  }
  // Digits that would cross a 512-byte sector.
  // The digits begin at byte 508: "P"="ppp..."CRLF is 8 bytes more than its p's, and
  // "N"=dword: 10 bytes.
  std::string pad = kHead + "\"P\"=\"" + std::string(508 - kHead.size() - 18, 'p') + "\"\r\n";
  std::string text = pad + "\"N\"=dword:00000005\r\n";
  ASSERT_EQ(text.find("00000005"), 508u);
  root.WriteFile("registry.reg", text);
  uint32_t old = 0;
  EXPECT_FALSE(AddToDwordInPlace("\\SOFTWARE\\T", "N", 1, false, old));
  // Inside a transaction the transaction's own view rules.
  root.WriteFile("registry.reg", kHead + "\"N\"=dword:00000005\r\n");
  TRegTransaction tx;
  EXPECT_FALSE(AddToDwordInPlace("\\SOFTWARE\\T", "N", 1, false, old));
}

}  // namespace
}  // namespace kestran
