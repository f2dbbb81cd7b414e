#include <algorithm>

#include "service/servroot.h"

namespace kestran {

TServiceList::TServiceList() {
  // Objects the services use while they are destroyed at process end must be
  // constructed before the list, so that they are destroyed after it.
  Waitable touch;
  touch.Set();
  WriteOut("");
}

TServiceList::~TServiceList() {
  std::vector<std::unique_ptr<TService>> owned;
  std::vector<TService*> order;
  {
    std::lock_guard<std::mutex> g(lock_);
    owned.swap(owned_);
    order = items_;
  }
  for (TService* s : order) {
    auto it = std::find_if(owned.begin(), owned.end(),
                           [s](const std::unique_ptr<TService>& p) { return p.get() == s; });
    if (it != owned.end()) it->reset();
  }
  owned.clear();
}

std::vector<TService*> TServiceList::Items() const {
  std::lock_guard<std::mutex> g(lock_);
  return items_;
}

size_t TServiceList::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return items_.size();
}

void TServiceList::Adopt(std::unique_ptr<TService> service) {
  std::lock_guard<std::mutex> g(lock_);
  owned_.push_back(std::move(service));
}

void TServiceList::Add(TService* service) {
  std::lock_guard<std::mutex> g(lock_);
  items_.push_back(service);
}

void TServiceList::Remove(TService* service) {
  std::lock_guard<std::mutex> g(lock_);
  items_.erase(std::remove(items_.begin(), items_.end(), service), items_.end());
}

TServiceList& ServiceList() {
  static TServiceList list;
  return list;
}

}  // namespace kestran
