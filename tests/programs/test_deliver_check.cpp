// kestran-deliver -CHECK: its settings, the transport DeliverTo names and the value names
// neither program knows; exit status 1 when it would not start.

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "receiver_fixture.h"

namespace kestran::test {
namespace {

class DeliverCheckTest : public ReceiverTest {
 protected:
  int Check(std::string& out) {
    const char* build = std::getenv("KESTRAN_BUILD_DIR");
    EXPECT_TRUE(proc_.Start(std::string(build ? build : ".") + "/kestran-deliver", {"-CHECK"},
                            {{"KESTRAN_ROOT", root_}}, root_ + "/console.txt"));
    EXPECT_TRUE(proc_.Wait(30000));
    out = Console();
    return proc_.exitStatus();
  }
};

TEST_F(DeliverCheckTest, NamesTheTransportAndTheUnknownSettings) {
  // A listening LMTP socket of the test's own.
  const std::string sock = root_ + "/lmtp";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, sock.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  MakeDir("mail/prein");
  WriteRegistry(BaseRegistry("\"DeliverTo\"=\"lmtp:unix:" + sock +
                             "\"\r\n\"DeliverConcurency\"=dword:00000008\r\n"));
  std::string out;
  EXPECT_EQ(Check(out), 0) << out;
  for (const std::string& line :
       {"  DeliverTo = \"lmtp:unix:" + sock + "\" (registry)\n",
        "  DeliverTo lmtp:" + sock + ": found\n",
        std::string("  DeliverConcurrency = (not set: default)\n"),
        std::string("  unknown setting 'DeliverConcurency'; did you mean 'DeliverConcurrency'?\n"),
        std::string("The start would succeed.\n")})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  ::close(fd);

  // Without DeliverTo it would not start.
  WriteRegistry(BaseRegistry());
  EXPECT_EQ(Check(out), 1) << out;
  EXPECT_NE(out.find("  DeliverTo is empty: no transport to deliver to\n"), std::string::npos)
      << out;
}

}  // namespace
}  // namespace kestran::test
