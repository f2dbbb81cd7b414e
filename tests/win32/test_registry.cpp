#include "platform/os_win32.h"
// (the Windows headers first)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"

namespace kestran {
namespace {

// A key of its own below HKLM\SOFTWARE, removed again by the fixture.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = "SOFTWARE\\KestranWin32Test" + std::to_string(::GetCurrentProcessId());
    DeleteRegTree(root_);
  }
  void TearDown() override { DeleteRegTree(root_); }
  std::string root_;
};

TEST_F(RegistryTest, ValuesKeepTheirTypesAndBytes) {
  TRegKey key;
  bool created = false;
  ASSERT_EQ(CreateRegKey("\\" + root_ + "\\A\\B", kKeyAllAccess, key, &created), kRegSuccess);
  EXPECT_TRUE(created);
  EXPECT_EQ(key.SetDword("Port", 2525), kRegSuccess);
  EXPECT_EQ(key.SetString("Dir", "C:\\mail\\"), kRegSuccess);
  EXPECT_EQ(key.SetString("Path", "%SystemRoot%\\x", kRegExpandSz), kRegSuccess);
  EXPECT_EQ(key.SetValue("Multi", kRegMultiSz, std::string("a\0b\0\0", 5)), kRegSuccess);
  EXPECT_EQ(key.SetValue("Bin", kRegBinary, std::string("\x00\xff\x10", 3)), kRegSuccess);

  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(key.QueryValue("port", type, data), kRegSuccess);  // names ignore letter case
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(data, std::string("\xdd\x09\x00\x00", 4));
  ASSERT_EQ(key.QueryValue("Dir", type, data), kRegSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data, std::string("C:\\mail\\\0", 9));
  ASSERT_EQ(key.QueryValue("Path", type, data), kRegSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  ASSERT_EQ(key.QueryValue("Multi", type, data), kRegSuccess);
  EXPECT_EQ(data, std::string("a\0b\0\0", 5));
  ASSERT_EQ(key.QueryValue("Bin", type, data), kRegSuccess);
  EXPECT_EQ(data, std::string("\x00\xff\x10", 3));
  EXPECT_EQ(key.QueryValue("Missing", type, data), kRegNotFound);

  std::vector<TRegValue> values;
  ASSERT_EQ(key.ReadValues(values), kRegSuccess);
  EXPECT_EQ(values.size(), 5u);

  EXPECT_EQ(key.DeleteValue("Port"), kRegSuccess);
  EXPECT_FALSE(key.ValueExists("Port"));
  EXPECT_EQ(key.DeleteValue("Port"), kRegNotFound);
}

TEST_F(RegistryTest, KeysOpenDeleteAndEnumerate) {
  TRegKey key;
  EXPECT_EQ(OpenRegKey(root_, kKeyRead, key), kRegNotFound);
  EXPECT_FALSE(key.IsOpen());
  ASSERT_EQ(CreateRegKey(root_ + "\\beta", kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(CreateRegKey(root_ + "\\Alpha", kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(CreateRegKey(root_ + "\\Gamma\\Deep", kKeyAllAccess, key), kRegSuccess);

  ASSERT_EQ(OpenRegKey(root_, kKeyRead, key), kRegSuccess);
  std::vector<std::string> names;
  ASSERT_EQ(key.EnumSubKeys(names), kRegSuccess);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Gamma"}));
  // A key opened for reading takes no changes.
  EXPECT_EQ(key.SetDword("x", 1), kRegAccessDenied);

  // A key with subkeys is deleted only as a tree.
  EXPECT_EQ(DeleteRegKey(root_ + "\\Gamma"), kRegAccessDenied);
  EXPECT_EQ(DeleteRegKey(root_ + "\\Alpha"), kRegSuccess);
  EXPECT_FALSE(RegKeyExists(root_ + "\\Alpha"));
  EXPECT_EQ(DeleteRegTree(root_ + "\\Gamma"), kRegSuccess);
  EXPECT_FALSE(RegKeyExists(root_ + "\\Gamma"));
  EXPECT_EQ(DeleteRegTree(root_ + "\\Gamma"), kRegNotFound);

  // The key object outlives the key: its operations then fail.
  TRegKey beta;
  ASSERT_EQ(OpenRegKey(root_ + "\\beta", kKeyAllAccess, beta), kRegSuccess);
  ASSERT_EQ(DeleteRegKey(root_ + "\\beta"), kRegSuccess);
  EXPECT_EQ(beta.SetDword("x", 1), kRegKeyDeleted);
  beta.Close();
  EXPECT_EQ(beta.SetDword("x", 1), kRegInvalidHandle);
}

TEST_F(RegistryTest, ImportAppliesAdditionsAndDeletionsAndExportReadsThemBack) {
  const std::string hk = "HKEY_LOCAL_MACHINE\\" + root_;
  std::string text = "REGEDIT4\r\n\r\n[" + hk + "\\Own]\r\n\"Port\"=dword:0000001e\r\n" +
                     "\"Name\"=\"a \\\"quoted\\\" text\"\r\n\"Gone\"=\"x\"\r\n\r\n[" + hk +
                     "\\Old\\Sub]\r\n\"v\"=\"1\"\r\n";
  ASSERT_EQ(ImportRegText(text, "first.reg"), kRegSuccess);
  EXPECT_TRUE(RegKeyExists(root_ + "\\Old\\Sub"));

  std::string second = "REGEDIT4\r\n\r\n[-" + hk + "\\Old]\r\n\r\n[" + hk +
                       "\\Own]\r\n\"Gone\"=-\r\n\"Added\"=hex:01,02\r\n";
  ASSERT_EQ(ImportRegText(second, "second.reg"), kRegSuccess);
  EXPECT_FALSE(RegKeyExists(root_ + "\\Old"));

  std::string out;
  ASSERT_EQ(ExportRegKey(root_ + "\\Own", out), kRegSuccess);
  EXPECT_NE(out.find("\"Port\"=dword:0000001e"), std::string::npos) << out;
  EXPECT_NE(out.find("\"Name\"=\"a \\\"quoted\\\" text\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"Added\"=hex:01,02"), std::string::npos) << out;
  EXPECT_EQ(out.find("Gone"), std::string::npos) << out;

  // A malformed file raises and changes nothing.
  std::string bad = "REGEDIT4\r\n\r\n[" + hk + "\\Own]\r\n\"Port\"=dword:zz\r\n";
  EXPECT_THROW(ImportRegText(bad, "bad.reg"), ERegistryFile);
  TRegKey key;
  ASSERT_EQ(OpenRegKey(root_ + "\\Own", kKeyRead, key), kRegSuccess);
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(key.QueryValue("Port", type, data), kRegSuccess);
  EXPECT_EQ(data, std::string("\x1e\0\0\0", 4));
  EXPECT_EQ(ExportRegKey(root_ + "\\Missing", out), kRegNotFound);
}

TEST_F(RegistryTest, TransactionsNestAndSerialiseThreads) {
  TRegKey key;
  ASSERT_EQ(CreateRegKey(root_, kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(key.SetDword("Counter", 0), kRegSuccess);
  auto bump = [this](int times) {
    for (int i = 0; i < times; ++i) {
      TRegTransaction outer;
      TRegTransaction inner;  // the same thread may nest
      TRegKey k;
      ASSERT_EQ(OpenRegKey(root_, kKeyAllAccess, k), kRegSuccess);
      uint32_t type = 0;
      std::string data;
      ASSERT_EQ(k.QueryValue("Counter", type, data), kRegSuccess);
      uint32_t n = 0;
      memcpy(&n, data.data(), 4);
      ASSERT_EQ(k.SetDword("Counter", n + 1), kRegSuccess);
      EXPECT_EQ(inner.Commit(), kRegSuccess);
      EXPECT_EQ(outer.Commit(), kRegSuccess);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(bump, 25);
  for (auto& t : threads) t.join();
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(key.QueryValue("Counter", type, data), kRegSuccess);
  EXPECT_EQ(data, std::string("\x64\0\0\0", 4));
}

}  // namespace
}  // namespace kestran
