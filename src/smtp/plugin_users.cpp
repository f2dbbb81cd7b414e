#include "smtp/plugin_users.h"

namespace kestran {

namespace {

// Trimmed (codes 32 and below) and in capitals (a to z only), as names are compared.
std::string Key(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  std::string k = s.substr(b, e - b);
  for (auto& c : k)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return k;
}

}  // namespace

void TPluginUsers::Replace(const std::vector<std::string>& users,
                           const std::vector<std::string>& skipDomains) {
  auto lists = std::make_shared<TLists>();
  for (const auto& u : users) lists->users.insert(Key(u));
  for (const auto& d : skipDomains) lists->domains.insert(Key(d));
  std::lock_guard<std::mutex> g(lock_);
  lists_ = std::move(lists);
}

bool TPluginUsers::Valid(const std::string& upperLocal, const std::string& upperDomain) const {
  std::shared_ptr<const TLists> lists;
  {
    std::lock_guard<std::mutex> g(lock_);
    lists = lists_;
  }
  if (!lists) return false;
  if (!upperDomain.empty() && lists->domains.count(upperDomain) != 0) return true;
  return lists->users.count(upperLocal) != 0;
}

}  // namespace kestran
