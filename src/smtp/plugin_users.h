#pragma once
// The names of the plug-in list file as the sessions see them: replaced as a whole while
// sessions run (the file is read again when it changes), each lookup seeing one whole
// list, the one before or the one after.

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace kestran {

class TPluginUsers {
 public:
  // users: local parts; skipDomains: domains whose every recipient is valid.
  void Replace(const std::vector<std::string>& users, const std::vector<std::string>& skipDomains);
  // upperLocal, upperDomain: trimmed and in capitals; upperDomain empty for a bare name.
  bool Valid(const std::string& upperLocal, const std::string& upperDomain) const;

 private:
  struct TLists {
    std::unordered_set<std::string> users;
    std::unordered_set<std::string> domains;
  };
  mutable std::mutex lock_;
  std::shared_ptr<const TLists> lists_;
};

}  // namespace kestran
