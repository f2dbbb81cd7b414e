#pragma once
// Enhanced status codes (RFC 2034, RFC 3463): after EHLO every reply but the 3xx ones and
// the reply to EHLO or HELO itself carries a code after its number, as in
// "550 5.1.1 <bob@example.org>... user not valid". One table maps each reply of the
// receiver to its code by the command it answers, its number and a piece of its text.

#include <string>

namespace kestran {

// The code for reply (a whole reply line) to the command verb (upper case; "" when the
// reply answers no command); "" when the reply takes none.
std::string EnhancedStatusCode(const std::string& verb, const std::string& reply);

// reply with its code after the number ("250 OK" -> "250 2.0.0 OK"); unchanged when it
// takes none or already carries one.
std::string WithEnhancedStatusCode(const std::string& verb, const std::string& reply);

// The reply carries a code already: "NNN" + blank or "-" + "d.ddd.ddd" + blank or end.
bool HasEnhancedStatusCode(const std::string& reply);

}  // namespace kestran
