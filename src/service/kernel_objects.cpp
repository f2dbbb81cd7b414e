#include <mutex>

#include "service/ntobj.h"

namespace kestran {
namespace {

// Handles left open by their objects (KeepHandle) live until the process ends.
struct KeptHandles {
  std::mutex lock;
  std::vector<std::unique_ptr<Waitable>> handles;
};

KeptHandles& Kept() {
  static KeptHandles kept;
  return kept;
}

}  // namespace

TKernelObject::~TKernelObject() {
  handlePtr_.store(nullptr);
  if (handle_ && KeepHandle) {
    KeptHandles& k = Kept();
    std::lock_guard<std::mutex> g(k.lock);
    k.handles.push_back(std::move(handle_));
  }
}

Waitable* TKernelObject::GetHandle() {
  if (Waitable* h = handlePtr_.load(std::memory_order_acquire)) return h;
  std::lock_guard<std::mutex> g(createLock_);
  if (!handle_) {
    handle_ = CreateHandle();
    handlePtr_.store(handle_.get(), std::memory_order_release);
  }
  if (!handle_) throw EKernelObject(std::string("Can't create ") + ClassName());
  return handle_.get();
}

std::unique_ptr<Waitable> TEvent::CreateHandle() {
  try {
    return std::make_unique<Waitable>(ManualReset != 0, InitialState != 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool TEvent::Signal() {
  GetHandle()->Set();
  return true;
}

bool TEvent::Reset() {
  GetHandle()->Reset();
  return true;
}

TEvent& FallbackEvent() {
  static TEvent event;
  return event;
}

Waitable* HandleOf(const TWaitObject& object) {
  if (object.Kernel()) return object.Kernel()->GetHandle();
  if (object.Thread()) return &object.Thread()->EndedObject();
  return FallbackEvent().GetHandle();
}

uint32_t WaitForObjects(const TWaitObject* objects, int last, bool waitAll, uint32_t timeoutMs) {
  std::vector<Waitable*> handles;
  if (last >= 0) {
    handles.reserve(static_cast<size_t>(last) + 1);
    for (int i = 0; i <= last; ++i) handles.push_back(HandleOf(objects[i]));
  }
  return WaitForWaitables(handles, waitAll, timeoutMs);
}

uint32_t WaitForAny(const TWaitObject* objects, int last, uint32_t timeoutMs) {
  return WaitForObjects(objects, last, false, timeoutMs);
}

uint32_t WaitForList(const std::vector<TWaitObject>& list, bool waitAll, uint32_t timeoutMs) {
  return WaitForObjects(list.data(), static_cast<int>(list.size()) - 1, waitAll, timeoutMs);
}

uint32_t WaitForAllInList(const std::vector<TWaitObject>& list, uint32_t timeoutMs) {
  return WaitForList(list, true, timeoutMs);
}

}  // namespace kestran
