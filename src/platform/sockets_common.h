#pragma once
// The parts of the socket layer both backends share: the conversions between the
// platform's address and option names and the system's. Internal to src/platform.

#include "platform/sockets.h"

struct sockaddr_in;
struct sockaddr_in6;

namespace kestran::sockets_common {

// The system's address for a platform address already checked by CheckAddrLen.
sockaddr_in ToNative(const TSockAddrIn* in);

// Fills out (when given and *len is large enough) from the system's address.
void FromNative(const sockaddr_in& in, TSockAddrIn* out, int* len);

// False (with the last error set) when name is missing, too short or not an IPv4 address.
bool CheckAddrLen(const TSockAddrIn* name, int namelen);

sockaddr_in6 ToNative(const TSockAddrIn6* in);
void FromNative(const sockaddr_in6& in, TSockAddrIn6* out, int* len);
bool CheckAddrLen(const TSockAddrIn6* name, int namelen);

// The system's level and name of a platform socket option; false when it has none.
bool MapOption(int level, int optname, int& nlevel, int& nname);

}  // namespace kestran::sockets_common
