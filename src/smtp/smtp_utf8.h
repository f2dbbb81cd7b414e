#pragma once
// Addresses beyond ASCII (SMTPUTF8, RFC 6531): what UTF-8 an address may hold, and
// domains compared by their A-label (IDNA2008), so that "bücher.example" and
// "xn--bcher-kva.example" name the same domain.

#include <string>

namespace kestran {

enum class TAddressText {
  Ascii,      // nothing beyond ASCII
  Utf8,       // well-formed UTF-8 an address may hold
  Malformed,  // not well-formed UTF-8 (overlong forms, surrogates, beyond U+10FFFF, cut)
  Forbidden,  // a C1 control character, U+2028 or U+2029
};
TAddressText CheckAddressText(const std::string& text);

bool IsAscii(const std::string& text);

// The domain's A-label form: the domain itself when it is ASCII, otherwise its labels
// converted (Unicode's non-transitional mapping, then IDNA2008); "" when it cannot be
// converted.
std::string DomainALabel(const std::string& domain);

}  // namespace kestran
