#pragma once
// What kestran-deliver's transports and the receiver's recipient check share when they
// talk to a next hop: the connection named by the hop, one reply read strictly, and the
// extensions its LHLO/EHLO reply offers.

#include <cstdint>
#include <functional>
#include <string>

#include "deliver/next_hop.h"
#include "deliver/peer_connection.h"
#include "deliver/reply_reader.h"

namespace kestran {

// Connects conn to the hop's local socket or TCP address.
void ConnectToHop(TPeerConnection& conn, const TNextHop& hop);

// One whole reply, within the deadline conn's clock runs to; eachLine (when given) sees
// every line as it comes. Lines that are no reply raise EPeerProtocolError.
TReply ReadHopReply(TPeerConnection& conn, TReplyParser& parser,
                    const std::function<void(const std::string&)>& eachLine = nullptr);

// The extensions of an LHLO/EHLO reply, taken line by line (the first line names the hop).
struct THopExtensions {
  bool pipelining = false;
  bool startTls = false;
  bool eightBitMime = false;
  bool smtpUtf8 = false;
  bool sizeOffered = false;
  uint64_t sizeLimit = 0;  // the hop's SIZE, 0 for none

  void TakeLine(const std::string& line);
};

}  // namespace kestran
