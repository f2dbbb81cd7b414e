#pragma once
// A user group created for a test (as root, with groupadd/useradd) and removed after it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kestran::test {

// A group and two accounts created for the test (as root) and removed afterwards:
// one a listed member, one whose primary group it is.
class TestGroup : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "creating groups needs root";
    if (std::system("command -v groupadd >/dev/null && command -v useradd >/dev/null") != 0)
      GTEST_SKIP() << "groupadd/useradd missing";
    std::string id = std::to_string(::getpid());
    group_ = "kt" + id + "g";
    listed_ = "kt" + id + "m";
    primary_ = "kt" + id + "p";
    ASSERT_EQ(Run("groupadd " + group_), 0);
    ASSERT_EQ(Run("useradd -M -N -s /usr/sbin/nologin -G " + group_ + " " + listed_), 0);
    ASSERT_EQ(Run("useradd -M -N -s /usr/sbin/nologin -g " + group_ + " " + primary_), 0);
  }
  void TearDown() override {
    if (group_.empty()) return;
    Run("userdel " + listed_);
    Run("userdel " + primary_);
    Run("groupdel " + group_);
  }
  static int Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

  std::string group_, listed_, primary_;
};

}  // namespace kestran::test
