// The message counter at the end of its range: the last number is used, and then mail is
// refused for the time being instead of being queued under a name the host does not read.

#include "fault_fixture.h"

namespace kestran::test {
namespace {

TEST_F(FaultTest, CounterAtTheEndOfItsRangeRefusesInsteadOfWritingABadName) {
  WriteRegistry(RelayRegistry() +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
                "\"LastMsgId\"=dword:7ffffffe\r\n\r\n");
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("last-number", 100)), "250 Message received OK");
  EXPECT_EQ(Transaction(BodyWithToken("past-the-end", 100)), "451 ERR Requested Action Aborted");
  EXPECT_EQ(AllQueueFiles(), (std::vector<std::string>{"B2147483647.MSG", "B2147483647.RCP"}));
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
}

}  // namespace
}  // namespace kestran::test
