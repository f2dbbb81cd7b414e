#include "platform/groups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/test_group.h"

namespace kestran {
namespace {

using test::TestGroup;

TEST_F(TestGroup, ListedMembersThenPrimaryGroupAccounts) {
  std::vector<std::string> members;
  ASSERT_EQ(LocalGroupMembers(group_, members), kNerrSuccess);
  EXPECT_EQ(members, std::vector<std::string>{listed_});
  std::vector<std::string> users;
  ASSERT_EQ(GlobalGroupUsers(group_, users), kNerrSuccess);
  EXPECT_EQ(users, std::vector<std::string>{primary_});
}

TEST(Groups, MissingGroupGivesNothing) {
  std::vector<std::string> names;
  EXPECT_EQ(LocalGroupMembers("kt-no-such-group-x", names), kErrorNoSuchAlias);
  EXPECT_EQ(GlobalGroupUsers("kt-no-such-group-x", names), kNerrGroupNotFound);
  EXPECT_EQ(LocalGroupMembers("", names), kErrorNoSuchAlias);
  EXPECT_TRUE(names.empty());
}

}  // namespace
}  // namespace kestran
