#include "platform/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/temp_root.h"
#include "platform/registry_file.h"

namespace kestran {
namespace {

using test::TTempRoot;

std::string Dword(uint32_t v) {
  std::string d(4, '\0');
  for (int b = 0; b < 4; ++b) d[b] = static_cast<char>((v >> (8 * b)) & 0xFF);
  return d;
}

// The values of a key as a freshly parsed copy of the registry file holds them.
std::vector<TRegValue> ParsedValues(const TTempRoot& root, const std::string& path) {
  regfile::TRegNode tree;
  regfile::ApplyRegText(root.ReadFile("registry.reg"), "registry.reg", tree);
  const regfile::TRegNode* n = tree.Find(regfile::SplitKeyPath(path));
  return n != nullptr ? n->Values() : std::vector<TRegValue>();
}

TEST(Registry, MissingFileIsAnEmptyRegistryAndReadingCreatesNothing) {
  TTempRoot root;
  TRegKey key;
  EXPECT_EQ(OpenRegKey("\\SOFTWARE\\Brackenwold\\KESTRAN", kKeyAllAccess, key), kRegNotFound);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_FALSE(RegKeyExists("SOFTWARE"));
  std::string text;
  EXPECT_EQ(ExportRegKey("SOFTWARE", text), kRegNotFound);
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));
}

TEST(Registry, EveryValueTypeSurvivesTheFile) {
  TTempRoot root;
  const std::vector<TRegValue> values = {
      {"Text", kRegSz, std::string("C:\\winnt\\\"quoted\" x\0", 20)},
      {"", kRegSz, std::string("default\0", 8)},
      {"Expand", kRegExpandSz, std::string("%SystemRoot%\\x\0", 15)},
      {"Number", kRegDword, Dword(0x1e)},
      {"Max", kRegDword, Dword(0xFFFFFFFFu)},
      {"Short", kRegDword, std::string("\x01\x02", 2)},
      {"Blob", kRegBinary, std::string(100, '\xAB') + std::string("\0\x01", 2)},
      {"Empty", kRegBinary, ""},
      {"Multi", kRegMultiSz, std::string("a\0b\0\0", 5)},
      {"QWord", 11, std::string("\x01\x00\x00\x00\x00\x00\x00\x80", 8)},
      {"Lines", kRegSz, std::string("two\r\nlines\0", 11)},
      {"NoNul", kRegSz, "abc"},
      {"EmptyText", kRegSz, std::string("\0", 1)},
      {"Name with \"quotes\" and \\", kRegSz, std::string("v\0", 2)},
  };
  {
    TRegKey key;
    bool created = false;
    ASSERT_EQ(CreateRegKey("\\SOFTWARE\\Test", kKeyAllAccess, key, &created), kRegSuccess);
    EXPECT_TRUE(created);
    for (const auto& v : values) ASSERT_EQ(key.SetValue(v.name, v.type, v.data), kRegSuccess);
  }
  // Through the interface and through a fresh parse of the file.
  TRegKey key;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\Test", kKeyRead, key), kRegSuccess);
  std::vector<TRegValue> read;
  ASSERT_EQ(key.ReadValues(read), kRegSuccess);
  std::vector<TRegValue> parsed = ParsedValues(root, "SOFTWARE\\Test");
  ASSERT_EQ(read.size(), values.size());
  ASSERT_EQ(parsed.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(values[i].name);
    EXPECT_EQ(read[i].name, values[i].name);
    EXPECT_EQ(read[i].type, values[i].type);
    EXPECT_EQ(read[i].data, values[i].data);
    EXPECT_EQ(parsed[i].name, values[i].name);
    EXPECT_EQ(parsed[i].type, values[i].type);
    EXPECT_EQ(parsed[i].data, values[i].data);
  }
  std::string file = root.ReadFile("registry.reg");
  EXPECT_EQ(file.rfind("REGEDIT4\r\n\r\n", 0), 0u);
  EXPECT_NE(file.find("\"Text\"=\"C:\\\\winnt\\\\\\\"quoted\\\" x\"\r\n"), std::string::npos);
  EXPECT_NE(file.find("@=\"default\"\r\n"), std::string::npos);
  EXPECT_NE(file.find("\"Number\"=dword:0000001e\r\n"), std::string::npos);
  EXPECT_NE(file.find("\"Multi\"=hex(7):61,00,62,00,00\r\n"), std::string::npos);
  EXPECT_NE(file.find("\"QWord\"=hex(b):"), std::string::npos);
  // Long hex data is continued with "\" and no line passes 80 columns.
  size_t start = 0;
  while (start < file.size()) {
    size_t end = file.find("\r\n", start);
    EXPECT_LE(end - start, 80u);
    start = end + 2;
  }
}

TEST(Registry, NamesIgnoreCaseKeepWrittenCaseAndEnumerateInOrder) {
  TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\Order", kKeyAllAccess, key), kRegSuccess);
  for (const char* sub : {"beta", "Alpha", "gamma", "DELTA", "A_1", "AB"}) {
    TRegKey k;
    ASSERT_EQ(CreateRegKey(std::string("SOFTWARE\\Order\\") + sub, kKeyAllAccess, k), kRegSuccess);
  }
  TRegKey again;
  bool created = true;
  ASSERT_EQ(CreateRegKey("software\\ORDER\\ALPHA", kKeyAllAccess, again, &created), kRegSuccess);
  EXPECT_FALSE(created);
  EXPECT_EQ(again.Path(), "SOFTWARE\\Order\\Alpha");

  ASSERT_EQ(key.SetDword("Zeta", 1), kRegSuccess);
  ASSERT_EQ(key.SetDword("alpha", 2), kRegSuccess);
  ASSERT_EQ(key.SetDword("ALPHA", 3), kRegSuccess);  // same value, keeps place and name
  ASSERT_EQ(key.SetDword("Mid", 4), kRegSuccess);

  std::vector<std::string> names;
  ASSERT_EQ(key.EnumSubKeys(names), kRegSuccess);
  // Folded to upper case as on Windows: "_" sorts after the letters.
  EXPECT_EQ(names, (std::vector<std::string>{"AB", "Alpha", "A_1", "beta", "DELTA", "gamma"}));
  ASSERT_EQ(key.EnumValues(names), kRegSuccess);
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(key.QueryValue("Alpha", type, data), kRegSuccess);
  EXPECT_EQ(data, Dword(3));
  EXPECT_FALSE(key.ValueExists("nothing"));

  // Deleting values and keys.
  EXPECT_EQ(key.DeleteValue("ZETA"), kRegSuccess);
  EXPECT_EQ(key.DeleteValue("Zeta"), kRegNotFound);
  EXPECT_EQ(DeleteRegKey("SOFTWARE\\Order"), kRegAccessDenied);  // it has subkeys
  EXPECT_EQ(DeleteRegKey("SOFTWARE\\Order\\beta"), kRegSuccess);
  EXPECT_EQ(DeleteRegKey("SOFTWARE\\Order\\beta"), kRegNotFound);
  EXPECT_EQ(DeleteRegTree("software\\order"), kRegSuccess);
  EXPECT_EQ(key.SetDword("x", 1), kRegKeyDeleted);
  EXPECT_EQ(key.EnumValues(names), kRegKeyDeleted);
  EXPECT_TRUE(RegKeyExists("SOFTWARE"));
}

TEST(Registry, AccessMaskLimitsTheOpenKey) {
  TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\A", kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(key.SetDword("v", 7), kRegSuccess);
  TRegKey reader;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\A", kKeyRead, reader), kRegSuccess);
  EXPECT_EQ(reader.SetDword("v", 8), kRegAccessDenied);
  EXPECT_EQ(reader.DeleteValue("v"), kRegAccessDenied);
  TRegKey closed;
  EXPECT_EQ(closed.SetDword("v", 1), kRegInvalidHandle);
  reader.Close();
  EXPECT_FALSE(reader.ValueExists("v"));
}

TEST(Registry, ImportsAFileAsTheRegistryEditorExportsIt) {
  TTempRoot root;
  const std::string exported =
      "REGEDIT4\r\n"
      "\r\n"
      "; written by hand after an export\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
      "@=\"host\"\r\n"
      "\"MailSpoolDir\"=\"C:\\\\lms\\\\mail\"\r\n"
      "\"LastMsgId\"=dword:0000001e\r\n"
      "\"DomainNamesAreLocal\"=hex(7):61,00,\\\r\n"
      "  62,00,00\r\n"
      "\"Old\"=\"x\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\a1]\r\n"
      "\"Alias\"=\"postmaster\"\r\n"
      "\r\n";
  ASSERT_EQ(ImportRegText(exported, "lms.reg"), kRegSuccess);
  TRegKey key;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\Larchmont\\LMS", kKeyAllAccess, key), kRegSuccess);
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(key.QueryValue("", type, data), kRegSuccess);
  EXPECT_EQ(data, std::string("host\0", 5));
  ASSERT_EQ(key.QueryValue("MailSpoolDir", type, data), kRegSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data, std::string("C:\\lms\\mail\0", 12));
  ASSERT_EQ(key.QueryValue("LastMsgId", type, data), kRegSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(data, Dword(30));
  ASSERT_EQ(key.QueryValue("DomainNamesAreLocal", type, data), kRegSuccess);
  EXPECT_EQ(type, kRegMultiSz);
  EXPECT_EQ(data, std::string("a\0b\0\0", 5));

  // Export and import again give the same registry.
  std::string text;
  ASSERT_EQ(ExportRegKey("software\\larchmont", text), kRegSuccess);
  EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont]\r\n", 0), 0u);
  std::string before = root.ReadFile("registry.reg");
  ASSERT_EQ(ImportRegText(text, "again.reg"), kRegSuccess);
  EXPECT_EQ(root.ReadFile("registry.reg"), before);

  // Deletions: a value, and a key with everything below it; LF line ends work too.
  ASSERT_EQ(ImportRegText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\n"
                          "\"Old\"=-\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases]\n",
                          "del.reg"),
            kRegSuccess);
  EXPECT_FALSE(key.ValueExists("Old"));
  EXPECT_TRUE(key.ValueExists("LastMsgId"));
  EXPECT_FALSE(RegKeyExists("SOFTWARE\\Larchmont\\LMS\\Aliases"));
}

TEST(Registry, MalformedFileNamesFileAndLineAndIsNeverOverwritten) {
  TTempRoot root;
  const std::string bad =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"a\"=dword:1\r\n\"b\"=dword:xyz\r\n";
  root.WriteFile("registry.reg", bad);
  TRegKey key;
  try {
    OpenRegKey("SOFTWARE\\X", kKeyAllAccess, key);
    FAIL() << "no error";
  } catch (const ERegistryFile& e) {
    EXPECT_EQ(e.Message().rfind(root.RegistryFile() + "(5): ", 0), 0u) << e.Message();
    EXPECT_STREQ(e.ClassName(), "ERegistryFile");
  }
  EXPECT_THROW(CreateRegKey("SOFTWARE\\Y", kKeyAllAccess, key), ERegistryFile);
  EXPECT_THROW(ImportRegText("REGEDIT4\r\n", "ok.reg"), ERegistryFile);
  EXPECT_THROW(TRegTransaction(), ERegistryFile);
  EXPECT_EQ(root.ReadFile("registry.reg"), bad);

  // Import of a malformed file changes nothing, and its own name and line are given.
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"a\"=dword:00000001\r\n");
  std::string good = root.ReadFile("registry.reg");
  const std::vector<std::pair<std::string, int>> cases = {
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"a\"=-\n\"b\"=\"open\n", 3},
      {"[HKEY_CURRENT_USER\\X]\n", 1},
      {"\"a\"=\"outside\"\n", 1},
      {"[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,zz\n", 2},
      {"[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,\\\n", 2},
      {"[HKEY_LOCAL_MACHINE\\X\n", 1},
      {"[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:123456789\n", 2},
      {"[HKEY_LOCAL_MACHINE\\X]\nnonsense\n", 2},
      {"[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"x\" trailing\n", 2},
  };
  for (const auto& [body, line] : cases) {
    SCOPED_TRACE(body);
    try {
      ImportRegText("REGEDIT4\n" + body, "in.reg");
      ADD_FAILURE() << "no error";
    } catch (const ERegistryFile& e) {
      EXPECT_EQ(e.Message().rfind("in.reg(" + std::to_string(line + 1) + "): ", 0), 0u)
          << e.Message();
    }
  }
  EXPECT_THROW(ImportRegText("Windows Registry Editor Version 5.00\n", "in.reg"), ERegistryFile);
  EXPECT_EQ(root.ReadFile("registry.reg"), good);
}

TEST(Registry, ChangesByAnotherWriterAreSeen) {
  TTempRoot root;
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=dword:00000001\r\n");
  TRegKey key;
  ASSERT_EQ(OpenRegKey("SOFTWARE\\X", kKeyAllAccess, key), kRegSuccess);
  uint32_t type;
  std::string data;
  ASSERT_EQ(key.QueryValue("v", type, data), kRegSuccess);
  EXPECT_EQ(data, Dword(1));
  // Same size, written in place at once: still noticed.
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=dword:00000002\r\n");
  ASSERT_EQ(key.QueryValue("v", type, data), kRegSuccess);
  EXPECT_EQ(data, Dword(2));
  // A change re-reads the file first, so it keeps the other writer's values.
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=dword:00000003\r\n\"w\"=\"\"\r\n");
  ASSERT_EQ(key.SetDword("u", 9), kRegSuccess);
  std::vector<std::string> names;
  ASSERT_EQ(key.EnumValues(names), kRegSuccess);
  EXPECT_EQ(names, (std::vector<std::string>{"v", "w", "u"}));
}

TEST(Registry, TransactionsCommitOrDropTheirChanges) {
  TTempRoot root;
  TRegKey key;
  ASSERT_EQ(CreateRegKey("SOFTWARE\\T", kKeyAllAccess, key), kRegSuccess);
  ASSERT_EQ(key.SetDword("n", 1), kRegSuccess);
  std::string before = root.ReadFile("registry.reg");
  {
    TRegTransaction tx;
    ASSERT_EQ(key.SetDword("n", 2), kRegSuccess);
    TRegKey sub;
    ASSERT_EQ(CreateRegKey("SOFTWARE\\T\\Sub", kKeyAllAccess, sub), kRegSuccess);
    EXPECT_TRUE(RegKeyExists("SOFTWARE\\T\\Sub"));     // seen inside the transaction
    EXPECT_EQ(root.ReadFile("registry.reg"), before);  // nothing written yet
  }
  EXPECT_EQ(root.ReadFile("registry.reg"), before);
  EXPECT_FALSE(RegKeyExists("SOFTWARE\\T\\Sub"));
  {
    TRegTransaction tx;
    ASSERT_EQ(key.SetDword("n", 3), kRegSuccess);
    {
      TRegTransaction inner;  // nested: part of the outer one
      ASSERT_EQ(key.SetDword("m", 4), kRegSuccess);
      ASSERT_EQ(inner.Commit(), kRegSuccess);
    }
    ASSERT_EQ(tx.Commit(), kRegSuccess);
  }
  uint32_t type;
  std::string data;
  ASSERT_EQ(key.QueryValue("n", type, data), kRegSuccess);
  EXPECT_EQ(data, Dword(3));
  ASSERT_EQ(key.QueryValue("m", type, data), kRegSuccess);
  EXPECT_EQ(data, Dword(4));
  EXPECT_EQ(ParsedValues(root, "SOFTWARE\\T").size(), 2u);
}

}  // namespace
}  // namespace kestran
