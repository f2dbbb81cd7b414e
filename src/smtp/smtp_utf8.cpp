#include "smtp/smtp_utf8.h"

#include <cstdint>
#include <cstdlib>

#if defined(KESTRAN_HAVE_IDN2)
#include <idn2.h>
#endif

namespace kestran {

bool IsAscii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

TAddressText CheckAddressText(const std::string& text) {
  bool beyond = false;
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    beyond = true;
    size_t len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1F;
      min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      cp = b & 0x0F;
      min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07;
      min = 0x10000;
    } else {
      return TAddressText::Malformed;
    }
    if (i + len > text.size()) return TAddressText::Malformed;
    for (size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return TAddressText::Malformed;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return TAddressText::Malformed;
    if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) return TAddressText::Forbidden;
    i += len;
  }
  return beyond ? TAddressText::Utf8 : TAddressText::Ascii;
}

std::string DomainALabel(const std::string& domain) {
  if (IsAscii(domain)) return domain;
  if (CheckAddressText(domain) != TAddressText::Utf8) return "";
#if defined(KESTRAN_HAVE_IDN2)
  char* out = nullptr;
  const int rc =
      idn2_lookup_u8(reinterpret_cast<const uint8_t*>(domain.c_str()),
                     reinterpret_cast<uint8_t**>(&out), IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK || out == nullptr) {
    idn2_free(out);
    return "";
  }
  std::string result(out);
  idn2_free(out);
  return result;
#else
  return "";
#endif
}

}  // namespace kestran
