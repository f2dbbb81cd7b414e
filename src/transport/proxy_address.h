#pragma once
// The client address that a PROXY header names, as the text every other part of the
// receiver uses for a client: dotted IPv4, or IPv6 in the RFC 5952 form (lower case, the
// longest run of zero groups compressed); an IPv4-mapped IPv6 address (::ffff:a.b.c.d) is
// the IPv4 client a.b.c.d.
//
// This is the one place that turns a header's address bytes into text, so that it can
// follow the receiver's own address formatting wherever that lives.

#include <string>

#include "transport/proxy_header.h"

namespace kestran {

// The source address of a header that names one (not Local, family IPv4 or IPv6).
std::string ProxiedClientAddress(const TProxyHeader& header);

}  // namespace kestran
