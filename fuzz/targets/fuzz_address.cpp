// MAIL and RCPT arguments through the address parser, and through the split of a path
// from its parameters under extended SMTP.
#include <cstddef>
#include <cstdint>
#include <string>

#include "smtp/address_parser.h"
#include "smtp/smtp_esmtp.h"
#include "targets/fuzz_check.h"

namespace {

bool HasLineBreak(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string arg(reinterpret_cast<const char*>(data), size);
  std::string domain = "untouched", display = "untouched", address;
  const bool ok = kestran::ParseAddress(arg, domain, display, address);
  if (ok) {
    FUZZ_CHECK(address.find('@') != std::string::npos);
    // The parser never invents a line break that the argument did not hold.
    if (!HasLineBreak(arg)) {
      FUZZ_CHECK(!HasLineBreak(address));
      FUZZ_CHECK(!HasLineBreak(domain));
      FUZZ_CHECK(!HasLineBreak(display));
    }
  }
  kestran::PathTooLong(arg);
  const kestran::TEsmtpArgument split = kestran::SplitEsmtpArgument(arg);
  for (const auto& p : split.params) {
    // A parameter is one word of the argument, never a piece of the path.
    FUZZ_CHECK(!p.empty());
    for (char c : p) FUZZ_CHECK(static_cast<unsigned char>(c) > 32);
    FUZZ_CHECK(arg.find(p) != std::string::npos);
  }
  if (split.malformed) FUZZ_CHECK(split.params.empty());
  kestran::CheckMailParams(split.params, 1000);
  std::string stripped = arg;
  kestran::StripAddressPrefix(stripped);
  FUZZ_CHECK(stripped.size() <= arg.size());
  if (!stripped.empty()) {
    FUZZ_CHECK(static_cast<unsigned char>(stripped.front()) > 32);
    FUZZ_CHECK(static_cast<unsigned char>(stripped.back()) > 32);
  }
  return 0;
}
