#pragma once
// DNS block lists: a client is looked up as its reversed address + "." + zone in each
// configured list, in order, until one lists it. An IPv6 client is asked as its 32
// hexadecimal digits, least significant first ("1.0.0.0. ... .8.b.d.0.1.0.0.2.zone").

#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

class TReceiverMetrics;

// Splits at every "." and joins the parts in reverse order ("1.2.3.4" -> "4.3.2.1");
// the parts are kept as text. An IPv6 address gives its reversed digits.
std::string ReverseAddress(const std::string& ip);

// True for an address (host byte order) that a list answers for a listed client:
// 127.0.0.0/8 outside 127.255.255.0/24 (which lists use for refused or bad queries).
bool IsListingAnswer(uint32_t addressHostOrder);

// Asks the lists in order; true when one lists the client, with reason set to
// headerTexts[i] (its first "%s" replaced by ip) or, without that entry,
// "see http://" + lists[i]. A failed, empty, timed-out or non-listing answer means not
// listed and the next list is asked. False (reason untouched) when no list lists it.
// An IPv6 client is not asked of a list whose ipv6Lists entry is false. Each lookup's
// result, and the list that refused, are counted in metrics when given.
bool CheckDNSBlockLists(const std::string& ip, const std::vector<std::string>& lists,
                        const std::vector<std::string>& headerTexts, std::string& reason,
                        const std::vector<bool>& ipv6Lists = {},
                        TReceiverMetrics* metrics = nullptr);

}  // namespace kestran
