#pragma once
// The name this machine goes by in the receiver's greetings, replies and trace headers,
// and in what kestran-deliver says to its next hops: the canonical name of the machine's
// host name as the resolver gives it (the hosts file first, then the configured name
// servers), or the first IPv4 address of that lookup when the name is empty or holds a
// control character. A lookup that fails raises EConduitSocketError.

#include <string>

namespace kestran {

std::string MachineHostName();

// Whether s holds a control character: a name with one could break a header or a reply
// line, and is never used as one.
bool HasControlCharacters(const std::string& s);

}  // namespace kestran
