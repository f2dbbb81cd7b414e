#include "smtp/dnsbl.h"

#include "platform/ip_address.h"
#include "smtp/receiver_metrics.h"
#include "transport/winsock_intf.h"

namespace kestran {

std::string ReverseAddress(const std::string& ip) {
  if (ip.find(':') != std::string::npos) {
    auto a = ParseIpAddress(ip);
    if (a) return ReversedAddressName(*a);
  }
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t dot = ip.find('.'); dot != std::string::npos; dot = ip.find('.', start)) {
    parts.push_back(ip.substr(start, dot - start));
    start = dot + 1;
  }
  parts.push_back(ip.substr(start));
  std::string out;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (it != parts.rbegin()) out += '.';
    out += *it;
  }
  return out;
}

bool IsListingAnswer(uint32_t addressHostOrder) {
  return (addressHostOrder >> 24) == 127 && (addressHostOrder >> 8) != 0x7FFFFFu;
}

namespace {

TLookupResult Lookup(const std::string& queryName) {
  auto entry = GWinsockIntf().gethostbyname(queryName);
  if (!entry) return LookupFailure(GWinsockIntf().WSAGetLastError());
  for (const auto& a : entry->h_addr_list) {
    uint32_t v =
        (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | uint32_t{a[3]};
    if (IsListingAnswer(v)) return TLookupResult::Found;
  }
  return TLookupResult::NotFound;
}

}  // namespace

bool CheckDNSBlockLists(const std::string& ip, const std::vector<std::string>& lists,
                        const std::vector<std::string>& headerTexts, std::string& reason,
                        const std::vector<bool>& ipv6Lists, TReceiverMetrics* metrics) {
  const std::string reversed = ReverseAddress(ip);
  const bool ipv6 = IsIPv6AddressText(ip);
  for (size_t i = 0; i < lists.size(); ++i) {
    // An empty zone names no list; asking for the bare reversed address could even
    // answer with the address itself.
    if (lists[i].empty()) continue;
    if (ipv6 && i < ipv6Lists.size() && !ipv6Lists[i]) continue;
    const TLookupResult result = Lookup(reversed + "." + lists[i]);
    if (metrics != nullptr) metrics->CountBlockListLookup(i, result);
    if (result != TLookupResult::Found) continue;
    if (metrics != nullptr) metrics->CountBlockListRefusal(i);
    if (i < headerTexts.size()) {
      reason = headerTexts[i];
      size_t pos = reason.find("%s");
      if (pos != std::string::npos) reason.replace(pos, 2, ip);
    } else {
      reason = "see http://" + lists[i];
    }
    return true;
  }
  return false;
}

}  // namespace kestran
