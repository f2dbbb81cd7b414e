#include "smtp/host_name.h"

#include <algorithm>
#include <cstring>

#include "platform/resolver_common.h"
#include "transport/conduit.h"
#include "transport/winsock_intf.h"

namespace kestran {

bool HasControlCharacters(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 32 || u == 127;
  });
}

std::string MachineHostName() {
  char buf[260] = {};
  TConduit::CheckForSocketError(GWinsockIntf().gethostname(buf, sizeof buf));
  buf[sizeof buf - 1] = '\0';
  std::optional<THostEntry> entry = GWinsockIntf().gethostbyname(buf);
  if (!entry) TConduit::RaiseSocketError(GWinsockIntf().WSAGetLastError());
  const std::string name = resolver_common::Trim(entry->h_name);
  // The name goes into every trace header: one that could break a line is not used.
  if (!name.empty() && !HasControlCharacters(name)) return name;
  if (entry->h_addr_list.empty()) return {};
  uint32_t in;
  std::memcpy(&in, entry->h_addr_list.front().data(), 4);
  return GWinsockIntf().inet_ntoa(in);
}

}  // namespace kestran
