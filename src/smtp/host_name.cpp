#include "smtp/host_name.h"

#include <algorithm>
#include <cstring>

#include "transport/conduit.h"
#include "transport/winsock_intf.h"

namespace kestran {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool HasControlCharacters(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 32 || u == 127;
  });
}

}  // namespace

std::string MachineHostName() {
  char buf[260] = {};
  TConduit::CheckForSocketError(GWinsockIntf().gethostname(buf, sizeof buf));
  buf[sizeof buf - 1] = '\0';
  std::optional<THostEntry> entry = GWinsockIntf().gethostbyname(buf);
  if (!entry) TConduit::RaiseSocketError(GWinsockIntf().WSAGetLastError());
  const std::string name = Trim(entry->h_name);
  // The name goes into every trace header: one that could break a line is not used.
  if (!name.empty() && !HasControlCharacters(name)) return name;
  if (entry->h_addr_list.empty()) return {};
  uint32_t in;
  std::memcpy(&in, entry->h_addr_list.front().data(), 4);
  return GWinsockIntf().inet_ntoa(in);
}

}  // namespace kestran
