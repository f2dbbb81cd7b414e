#include "smtp/address_parser.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "platform/ip_address.h"

namespace kestran {
namespace {

// The colons of an address outside its IPv6 address literals ("[IPv6:2001:db8::1]",
// "[IPv6:::ffff:192.0.2.1]"), and the position of the first of them.
size_t ColonsOutsideLiterals(const std::string& work, size_t& first) {
  size_t count = 0;
  first = std::string::npos;
  for (size_t i = 0; i < work.size(); ++i) {
    if (work[i] == '[') {
      size_t close = work.find(']', i);
      if (close != std::string::npos) {
        // A literal that reads as an address: an IPv4 one holds no colon, and an IPv6 one
        // that maps an IPv4 address is still written with the IPv6 tag and its colons.
        if (ParseAddressLiteral(std::string_view(work).substr(i, close - i + 1))) {
          i = close;
          continue;
        }
      }
    }
    if (work[i] != ':') continue;
    if (count++ == 0) first = i;
  }
  return count;
}

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
// a!b!c becomes c@b@a. One step takes the first "!": with left the text before it (after
// the last "@" there), right the text after it (up to the next "@") and rest what
// follows right, prefix + left + "!" + right + rest becomes
// prefix + right + "@" + left + (the first 255 characters of rest).
// Every "!" of right belongs to the following steps, which each move the first hop of
// right to the front of the tail; those are done in one pass, so that a long path costs
// linear time, not a copy of the whole address per hop.
void ResolveBangPaths(std::string& address) {
  for (size_t bang = address.find('!'); bang != std::string::npos; bang = address.find('!')) {
    std::string_view text = address;
    std::string_view left = text.substr(0, bang);
    size_t lastAt = left.rfind('@');
    if (lastAt != std::string_view::npos) left.remove_prefix(lastAt + 1);
    std::string_view right = text.substr(bang + 1);
    size_t firstAt = right.find('@');
    if (firstAt != std::string_view::npos) right = right.substr(0, firstAt);
    std::string_view rest = text.substr(bang + 1 + right.size());

    std::string tail = "@";
    tail += left;
    tail += rest.substr(0, kMaxCopy);
    for (size_t hop = right.find('!'); hop != std::string_view::npos; hop = right.find('!')) {
      std::string next = "@";
      next += right.substr(0, hop);
      next += std::string_view(tail).substr(0, kMaxCopy);
      tail = std::move(next);
      right.remove_prefix(hop + 1);
    }
    std::string result(text.substr(0, bang - left.size()));
    result += right;
    result += tail;
    address = std::move(result);
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

namespace {

// The argument without its prefix and comment, split at its angle brackets: the text
// between them (all of it when there are none), and the display name around them.
struct TAddressText {
  std::string work;
  std::string name;
  std::string comment;
};

TAddressText SplitAddressText(const std::string& arg) {
  TAddressText t;
  std::string s = arg;
  StripAddressPrefix(s);

  // A comment in parentheses; everything from the "(" on is dropped.
  size_t lp = s.find('(');
  size_t rp = s.find(')');
  if (lp != std::string::npos && rp != std::string::npos) {
    if (rp > lp + 1) t.comment = s.substr(lp + 1, rp - lp - 1);
    s.erase(lp);
  }

  Trim(s);
  t.work = s;

  // Angle brackets; what stands around them is the display name.
  size_t la = s.find('<');
  size_t ra = s.find('>');
  if (la != std::string::npos && ra != std::string::npos) {
    t.work = ra > la + 1 ? s.substr(la + 1, ra - la - 1) : std::string();
    t.name = s.substr(0, la) + s.substr(ra + 1);
    Trim(t.name);
    RemoveChar(t.name, '"');
    Trim(t.name);
  }
  return t;
}

}  // namespace

bool PathTooLong(const std::string& arg) {
  // The path as RFC 5321 counts it: the address with its angle brackets.
  return SplitAddressText(arg).work.size() + 2 > kMaxPathLength;
}

bool ParseAddress(const std::string& arg, std::string& domain, std::string& display,
                  std::string& address) {
  bool result = true;
  TAddressText text = SplitAddressText(arg);
  std::string& work = text.work;
  const std::string& name = text.name;
  const std::string& comment = text.comment;

  size_t c = std::string::npos;
  size_t colons = ColonsOutsideLiterals(work, c);
  if (colons >= 2) {
    address = work;
    return false;
  }
  // Source route: @relay1,@relay2:user@host becomes user@host@relay1,@relay2.
  if (colons == 1) {
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

bool HasStrayAddressSyntax(const std::string& arg) {
  std::string domain, display, address;
  ParseAddress(arg, domain, display, address);
  if (address.find_first_of("<>") != std::string::npos) return true;
  // The same parse with every quoted blank turned into another character that trims
  // alike: the blanks left in its address stood outside quotes.
  constexpr char kQuotedBlank = '\x01';
  std::string masked = arg;
  bool quoted = false;
  for (char& c : masked) {
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && (c == ' ' || c == '\t')) {
      c = kQuotedBlank;
    }
  }
  ParseAddress(masked, domain, display, address);
  return address.find_first_of(" \t") != std::string::npos;
}

bool ParseRecipient(const std::string& arg, const std::string& postmasterDomain,
                    std::string& domain, std::string& display, std::string& address) {
  std::string bare = arg;
  StripAddressPrefix(bare);
  if (UpperAscii(bare) == "<POSTMASTER>")
    return ParseAddress("<postmaster@" + postmasterDomain + ">", domain, display, address);
  return ParseAddress(arg, domain, display, address) && !HasStrayAddressSyntax(arg);
}

}  // namespace kestran
