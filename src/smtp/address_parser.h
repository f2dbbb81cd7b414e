#pragma once
// Turns a MAIL or RCPT argument (with or without its TO:/FROM: prefix, display name,
// quotes, comment, source route, percent hack or bang path) into one normalised address.

#include <cstddef>
#include <string>

namespace kestran {

// The longest reverse or forward path, angle brackets included (RFC 5321 4.5.3.1.3).
inline constexpr size_t kMaxPathLength = 256;

// True when the path of a MAIL or RCPT argument (the address as ParseAddress finds it,
// counted with its angle brackets whether or not they were written) is longer than
// kMaxPathLength.
bool PathTooLong(const std::string& arg);

// Returns true when the argument yields an address with an at sign and at most one
// colon. Address is local part + "@" + domain (an empty local part becomes "trashbin");
// Domain is the part after the at sign without address-literal brackets; Display is the
// form echoed in 250 replies: ["Name" ]<address>[ (comment)]. With two or more colons
// the result is false and Domain and Display are left untouched.
bool ParseAddress(const std::string& arg, std::string& domain, std::string& display,
                  std::string& address);

// True when the address that ParseAddress makes of arg still holds "<" or ">", or a
// blank that did not stand between double quotes in arg: what nested brackets or a
// display name inside the brackets leave, and no mail system can deliver to.
bool HasStrayAddressSyntax(const std::string& arg);

// The RCPT form of ParseAddress: "<postmaster>" without a domain (any letter case) is
// taken as postmaster@ + postmasterDomain, and an address with stray syntax is refused.
bool ParseRecipient(const std::string& arg, const std::string& postmasterDomain,
                    std::string& domain, std::string& display, std::string& address);

// Removes the first "TO:" (or, when there is none, the first "FROM:"), found anywhere
// and in any letter case, then trims blanks and control characters at both ends.
void StripAddressPrefix(std::string& text);

}  // namespace kestran
