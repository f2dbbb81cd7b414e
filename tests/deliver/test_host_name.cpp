// kestran-deliver goes by the receiver's name for the machine: the name in LHLO and EHLO
// and in its notifications is the one the receiver greets with and writes into its trace
// headers, not the bare host name.

#include <gtest/gtest.h>

#include <cstdio>

#include "config/temp_root.h"
#include "deliver_fixture.h"
#include "platform/sockets.h"
#include "programs/kestran-deliver/deliver_service.h"
#include "scripted_peer.h"
#include "smtp/smtp_server.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

// A machine whose bare host name is "box": canonical is what the lookup of that name
// gives (empty: the lookup fails with "no such name"), with the address 192.0.2.7.
class NamedMachine : public TWinsockIntf11 {
 public:
  explicit NamedMachine(std::string canonical)
      : canonical_(std::move(canonical)), previous_(SetGWinsockIntf(this)) {}
  ~NamedMachine() override { SetGWinsockIntf(previous_); }
  NamedMachine(const NamedMachine&) = delete;
  NamedMachine& operator=(const NamedMachine&) = delete;

  int gethostname(char* name, int namelen) override {
    std::snprintf(name, static_cast<size_t>(namelen), "box");
    return 0;
  }
  std::optional<THostEntry> gethostbyname(const std::string& name) override {
    if (name != "box") return TWinsockIntf11::gethostbyname(name);
    if (canonical_.empty()) {
      SockSetLastError(11001);
      return std::nullopt;
    }
    THostEntry e;
    e.h_name = canonical_;
    e.h_addr_list.push_back({192, 0, 2, 7});
    return e;
  }

 private:
  std::string canonical_;
  TWinsockIntfBase* previous_;
};

struct Named {
  std::string receiver;  // "" when the receiver cannot start
  TDeliverContext deliver;
  std::vector<std::string> warnings;
};

Named BothNames(const std::string& canonical, const std::string& queue, uint16_t port) {
  NamedMachine machine(canonical);
  Named n;
  try {
    n.receiver = TConduitSMTPServer().HostName();
  } catch (const EConduitSocketError&) {
  }
  TDeliverSettings s;
  s.DeliverTo = "lmtp:[127.0.0.1]:" + std::to_string(port);
  n.deliver = MakeDeliverContext(s, queue, [&n](int kind, const std::string& text) {
    if (kind == kLogWarning) n.warnings.push_back(text);
  });
  n.deliver.event = [](int, const std::string&) {};
  n.deliver.mailLog = [](const std::string&) {};
  return n;
}

TEST(HostName, DeliverGoesByTheNameTheReceiverGreetsWith) {
  test::TTempRoot root;  // no registry: the system's name servers
  test::ScratchDir dir;
  test::RecordingPeer peer(true, {});

  Named canonical = BothNames("box.kestran.test", dir.path(), peer.port());
  EXPECT_EQ(canonical.receiver, "box.kestran.test");
  EXPECT_EQ(canonical.deliver.hostName, "box.kestran.test");
  EXPECT_EQ(canonical.deliver.options.heloName, "box.kestran.test");
  EXPECT_TRUE(canonical.warnings.empty());
  // The next hop hears it.
  test::WritePairFiles(dir.path(), "B0000000001", test::QueueMessage("Subject: n\r\n\r\nhi\r\n"),
                       test::QueueRecipients("a@client.test", {"bob@x.test"}));
  auto transport = MakeTransport(canonical.deliver.transport, canonical.deliver.options);
  EXPECT_EQ(DeliverPair(canonical.deliver, *transport, "B0000000001", false).outcome,
            TPairPass::Outcome::Delivered);
  transport->Close();
  const auto commands = peer.Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front(), "LHLO box.kestran.test");

  // A name that could break a header line: both go by the address instead.
  Named odd = BothNames("bad\r\nname", dir.path(), peer.port());
  EXPECT_EQ(odd.receiver, "192.0.2.7");
  EXPECT_EQ(odd.deliver.hostName, "192.0.2.7");

  // No name at all: the receiver does not start; kestran-deliver goes by the bare name
  // and says so.
  Named none = BothNames("", dir.path(), peer.port());
  EXPECT_EQ(none.receiver, "");
  EXPECT_EQ(none.deliver.hostName, "box");
  ASSERT_EQ(none.warnings.size(), 1u);
  EXPECT_EQ(none.warnings[0].rfind("The host name could not be looked up (", 0), 0u)
      << none.warnings[0];

  // A configured HostName: no lookup, and no warning even where it would fail.
  NamedMachine machine("");
  TDeliverSettings s;
  s.DeliverTo = "lmtp:[127.0.0.1]:" + std::to_string(peer.port());
  s.HostName = "mx.example.org";
  std::vector<std::string> warnings;
  TDeliverContext set = MakeDeliverContext(
      s, dir.path(), [&](int, const std::string& text) { warnings.push_back(text); });
  EXPECT_EQ(set.hostName, "mx.example.org");
  EXPECT_EQ(set.options.heloName, "mx.example.org");
  EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace kestran
