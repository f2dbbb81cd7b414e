#include "transport/proxy_address.h"

#include "platform/ip_address.h"

namespace kestran {

std::string ProxiedClientAddress(const TProxyHeader& header) {
  const uint8_t* b = header.Source.data();
  // An IPv4-mapped source is the IPv4 client, as for a socket's own peer.
  if (header.Family == TProxyFamily::IPv4) return FormatIpAddress(IpAddressFromV4(b));
  return FormatIpAddress(IpAddressFromV6(b));
}

}  // namespace kestran
