#include "smtp/address_parser.h"

#include <algorithm>
#include <cstddef>

namespace kestran {
namespace {

constexpr size_t kMaxCopy = 255;

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

void Trim(std::string& s) {
  size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  size_t e = s.size();
  while (e > b && IsBlank(s[e - 1])) --e;
  s = s.substr(b, e - b);
}

std::string UpperAscii(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void RemoveChar(std::string& s, char c) {
  s.erase(std::remove(s.begin(), s.end(), c), s.end());
}

// Rewrites every bang path hop into an at-sign form: host!user becomes user@host and
// a!b!c becomes c@b@a. Each pass turns the first "!" into an "@", so the loop ends.
void ResolveBangPaths(std::string& address) {
  for (size_t bang = address.find('!'); bang != std::string::npos; bang = address.find('!')) {
    std::string left = address.substr(0, bang);
    size_t lastAt = left.rfind('@');
    if (lastAt != std::string::npos) left.erase(0, lastAt + 1);
    std::string right = address.substr(bang + 1);
    size_t firstAt = right.find('@');
    if (firstAt != std::string::npos) right.erase(firstAt);
    size_t tailStart = bang + 1 + right.size();
    std::string tail = tailStart < address.size() ? address.substr(tailStart, kMaxCopy) : "";
    address = address.substr(0, bang - left.size()) + right + "@" + left + tail;
  }
}

}  // namespace

void StripAddressPrefix(std::string& text) {
  std::string upper = UpperAscii(text);
  size_t pos = upper.find("TO:");
  if (pos != std::string::npos) {
    text.erase(pos, 3);
  } else {
    pos = upper.find("FROM:");
    if (pos != std::string::npos) text.erase(pos, 5);
  }
  Trim(text);
}

bool ParseAddress(const std::string& arg, std::string& domain, std::string& display,
                  std::string& address) {
  bool result = true;
  std::string s = arg;
  std::string comment;
  std::string name;

  StripAddressPrefix(s);

  // A comment in parentheses; everything from the "(" on is dropped.
  size_t lp = s.find('(');
  size_t rp = s.find(')');
  if (lp != std::string::npos && rp != std::string::npos) {
    if (rp > lp + 1) comment = s.substr(lp + 1, rp - lp - 1);
    s.erase(lp);
  }

  Trim(s);
  std::string work = s;

  // Angle brackets; what stands around them is the display name.
  size_t la = s.find('<');
  size_t ra = s.find('>');
  if (la != std::string::npos && ra != std::string::npos) {
    work = ra > la + 1 ? s.substr(la + 1, ra - la - 1) : std::string();
    name = s.substr(0, la) + s.substr(ra + 1);
    Trim(name);
    RemoveChar(name, '"');
    Trim(name);
  }

  size_t colons = static_cast<size_t>(std::count(work.begin(), work.end(), ':'));
  if (colons >= 2) {
    address = work;
    return false;
  }
  // Source route: @relay1,@relay2:user@host becomes user@host@relay1,@relay2.
  if (colons == 1) {
    size_t c = work.find(':');
    work = work.substr(c + 1, kMaxCopy) + work.substr(0, c);
  }

  RemoveChar(work, '"');
  std::replace(work.begin(), work.end(), '%', '@');
  ResolveBangPaths(work);

  std::string local;
  size_t at = work.find('@');
  if (at != std::string::npos) {
    domain = work.substr(at + 1);
    size_t second = domain.find('@');
    if (second != std::string::npos) domain.erase(second);
    size_t lb = domain.find('[');
    if (lb != std::string::npos) domain.erase(lb, 1);
    size_t rb = domain.find(']');
    if (rb != std::string::npos) domain.erase(rb, 1);
    local = work.substr(0, at);
    Trim(local);
    if (local.empty()) local = "trashbin";
  } else {
    result = false;
    local = work;
    domain.clear();
  }

  address = local + "@" + domain;

  display.clear();
  if (!name.empty()) display = "\"" + name + "\" ";
  display += "<" + address + ">";
  if (!comment.empty()) display += " (" + comment + ")";
  return result;
}

}  // namespace kestran
