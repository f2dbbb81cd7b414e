#include <gtest/gtest.h>

#include <string>

#include "config/group_members.h"
#include "config/host_lists.h"
#include "config/plugin1.h"
#include "config/registry_access.h"
#include "config/temp_root.h"
#include "config/test_group.h"

namespace kestran {
namespace {

using test::TTempRoot;

TEST(HostLists, AliasesThenListsWithTheirRequestNames) {
  TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\2]\r\n"
      "\"Alias\"=\" webmaster \"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\1]\r\n"
      "\"Alias\"=\"postmaster\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\3-blank]\r\n"
      "\"Alias\"=\"  \"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\4-none]\r\n"
      "\"Other\"=\"x\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Lists\\L2]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Lists\\L1]\r\n\"Alias\"=\"ignored\"\r\n");
  TReceiverSettings s;
  s.LocalUsers = {"cleared"};
  LoadHostAliasesAndLists(s);
  EXPECT_EQ(s.LocalUsers,
            (TStringList{"postmaster", "webmaster", "L1", "L1-request", "L2", "L2-request"}));

  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\1]\r\n\"Alias\"=dword:1\r\n");
  EXPECT_THROW(LoadHostAliasesAndLists(s), ERegistryException);
}

TEST(Plugin1, NamesAddressesCommentsAndExemptDomains) {
  TTempRoot root;
  root.WriteFile("drive_c/plugin.txt",
                 "alice@example.com, \"bob\"@example.com\r\n"
                 "   ; a comment, carol\r\n"
                 "nobody@Skip.Example,NoBody@,NOBODY\n"
                 "dave,,erin,\r"
                 "fr ank;x,\"gr,ace\"\n"
                 "NoBody@other.example");
  TReceiverSettings s;
  s.LocalUsers = {"kept"};
  LoadPlugin1List("C:\\plugin.txt", s);
  EXPECT_EQ(s.LocalUsers, (TStringList{"kept", "alice", "bob", "NoBody", "NOBODY", "dave", "",
                                       "erin", "frank;x", "gr", "ace"}));
  EXPECT_EQ(s.SkipUserVerify, (TStringList{"Skip.Example", "other.example"}));

  // A missing file, an empty path or a directory add nothing and raise nothing.
  TReceiverSettings t;
  LoadPlugin1List("C:\\missing.txt", t);
  LoadPlugin1List("", t);
  LoadPlugin1List("C:\\", t);
  LoadPlugin1List("\\\\server\\share\\x.txt", t);
  EXPECT_TRUE(t.LocalUsers.empty());
  EXPECT_TRUE(t.SkipUserVerify.empty());
}

using test::TestGroup;

TEST_F(TestGroup, GroupMembersTrimmedNameBothKinds) {
  EXPECT_EQ(GetGroupMembers("  " + group_ + "\t"), (TStringList{listed_, primary_}));
  EXPECT_TRUE(GetGroupMembers("kt-no-such-group-y").empty());
  EXPECT_TRUE(GetGroupMembers("   ").empty());
}

}  // namespace
}  // namespace kestran
