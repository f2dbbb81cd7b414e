// The counter with registries of awkward shape or type: the start-up check of LastMsgId,
// and draws on a connection-sized stack under deep and wide keys.

#include <gtest/gtest.h>

#include <string>

#include "config/message_id.h"
#include "config/registry_access.h"
#include "config/settings_loader.h"
#include "config/temp_root.h"
#include "platform/registry.h"
#include "platform/small_stack.h"

namespace kestran {
namespace {

using test::TTempRoot;

std::string CheckError() {
  try {
    CheckMessageCounter();
  } catch (const ERegistryException& e) {
    return e.Message();
  }
  return "";
}

TEST(MessageIdShapes, ACounterOfTheWrongTypeIsFoundBeforeTheFirstDraw) {
  TTempRoot root;
  EXPECT_EQ(CheckError(), "");  // no registry at all
  const std::string own = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n";
  const std::string host = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n";
  root.WriteRegistry(own + "\"LastMsgId\"=\"abc\"\r\n");
  EXPECT_EQ(CheckError(), "Invalid data type for 'LastMsgId'");
  root.WriteRegistry(own + "\"LastMsgId\"=hex:01,02,03,04,05\r\n");
  EXPECT_EQ(CheckError(), "Failed to get data for 'LastMsgId'");
  // Without an own value the host's is the one the draw reads.
  root.WriteRegistry(own + "\"Port\"=dword:19\r\n" + host + "\"LastMsgId\"=hex:01\r\n");
  EXPECT_EQ(CheckError(), "Invalid data type for 'LastMsgId'");
  // With one, the host's is never read.
  root.WriteRegistry(own + "\"LastMsgId\"=dword:5\r\n" + host + "\"LastMsgId\"=hex:01\r\n");
  EXPECT_EQ(CheckError(), "");
  const std::string before = root.ReadFile("registry.reg");
  EXPECT_EQ(NextMessageId(), 6);
  EXPECT_NE(root.ReadFile("registry.reg"), before);

  // Why a draw gives nothing.
  root.WriteRegistry(own);
  EXPECT_EQ(NextMessageId(), 0);
  EXPECT_NE(NoMessageIdReason().find("holds no LastMsgId"), std::string::npos)
      << NoMessageIdReason();
}

// Connection threads have 256 KiB of stack: a draw there must not depend on the depth
// or width of the rest of the registry.
TEST(MessageIdShapes, DrawsUnderDeepAndWideKeysFitAConnectionStack) {
  TTempRoot root;
  std::string text =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
      "\"LastMsgId\"=dword:00000063\r\n\r\n";
  std::string deep = "HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < kRegMaxKeyDepth; ++i) deep += "\\d";
  text += "[" + deep + "]\r\n\"v\"=\"bottom\"\r\n\r\n";
  for (int i = 0; i < 5000; ++i)
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\a" + std::to_string(i) +
            "]\r\n\"Alias\"=\"user" + std::to_string(i) + "\"\r\n";
  root.WriteFile("registry.reg", text);

  int32_t first = 0, second = 0;
  test::RunOnSmallStack(256 * 1024, [&] {
    first = NextMessageId();
    second = NextMessageId();
  });
  EXPECT_EQ(first, 100);
  EXPECT_EQ(second, 101);
  // Everything else is still there.
  EXPECT_TRUE(RegKeyExists(deep.substr(deep.find('\\'))));
  TRegistry reg(kKeyRead);
  ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Larchmont\\LMS\\Aliases", false));
  EXPECT_EQ(reg.GetKeyNames().size(), 5000u);
}

}  // namespace
}  // namespace kestran
