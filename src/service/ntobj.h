#pragma once
// Kernel-object wrappers, the waits over them, and the event-log writer of the service
// host.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/exception.h"
#include "platform/thread.h"
#include "platform/waitable.h"

namespace kestran {

KESTRAN_ERROR_CLASS(EKernelObject, Exception);

// A kernel object whose handle is created on first use.
class TKernelObject {
 public:
  TKernelObject() = default;
  TKernelObject(const TKernelObject&) = delete;
  TKernelObject& operator=(const TKernelObject&) = delete;
  // Closes the handle unless KeepHandle; a kept handle stays valid until the process
  // ends.
  virtual ~TKernelObject();

  // The handle, created on first use (by whichever thread comes first); raises EKernelObject "Can't
  // create <class>" when the object cannot be created (and tries again at the next call).
  Waitable* GetHandle();
  Waitable* Handle() const { return handlePtr_.load(std::memory_order_acquire); }
  virtual const char* ClassName() const { return "TKernelObject"; }

  bool KeepHandle = false;
  // Creation attributes, passed to CreateHandle. Nothing in the program sets them: the
  // objects are unnamed, with default security, and names are not shared here.
  const void* SecurityAttributes = nullptr;
  const char* ObjectName = nullptr;

 protected:
  // Creates the kernel object; null on failure.
  virtual std::unique_ptr<Waitable> CreateHandle() = 0;

 private:
  std::mutex createLock_;
  std::unique_ptr<Waitable> handle_;
  std::atomic<Waitable*> handlePtr_{nullptr};
};

// A manual-reset, initially non-signalled event.
class TEvent : public TKernelObject {
 public:
  TEvent() = default;
  const char* ClassName() const override { return "TEvent"; }
  bool Signal();
  bool Reset();

  uint32_t ManualReset = 0xFFFFFFFFu;
  uint32_t InitialState = 0;

 protected:
  std::unique_ptr<Waitable> CreateHandle() override;
};

// One event that nothing signals; stands in for objects without a handle of their own.
TEvent& FallbackEvent();

// A reference to anything that can be put into a wait: a kernel object, a thread
// object (signalled when its thread has ended) or any other object (waited for through
// FallbackEvent).
class TWaitObject {
 public:
  TWaitObject(TKernelObject* object) : kernel_(object) {}
  TWaitObject(TKernelObject& object) : kernel_(&object) {}
  TWaitObject(TThread* thread) : thread_(thread) {}
  TWaitObject(TThread& thread) : thread_(&thread) {}
  template <class T,
            std::enable_if_t<!std::is_base_of_v<TKernelObject, T> && !std::is_base_of_v<TThread, T>,
                             int> = 0>
  TWaitObject(T* /*other*/) {}
  TKernelObject* Kernel() const { return kernel_; }
  TThread* Thread() const { return thread_; }

 private:
  TKernelObject* kernel_ = nullptr;
  TThread* thread_ = nullptr;
};

// The waitable handle of an object (creating a kernel object's handle if needed).
Waitable* HandleOf(const TWaitObject& object);

// Waits for any or all of objects[0..last]. Results as WaitForWaitables: kWaitObject0
// (+ index when waiting for any), kWaitTimeout, kWaitFailed. timeoutMs kInfinite waits
// without a time-out.
uint32_t WaitForObjects(const TWaitObject* objects, int last, bool waitAll, uint32_t timeoutMs);
uint32_t WaitForAny(const TWaitObject* objects, int last, uint32_t timeoutMs);
uint32_t WaitForList(const std::vector<TWaitObject>& list, bool waitAll, uint32_t timeoutMs);
uint32_t WaitForAllInList(const std::vector<TWaitObject>& list, uint32_t timeoutMs);

// Event kinds of TEventLog::Report.
constexpr int kLogSuccess = 0;
constexpr int kLogInformation = 1;
constexpr int kLogWarning = 2;
constexpr int kLogError = 3;
constexpr int kLogException = 4;

// Writes entries to the event log under one source, and registers or removes that
// source in the registry.
class TEventLog {
 public:
  explicit TEventLog(const std::string& sourceName);
  // Copies at most 63 characters.
  void SetSourceName(const std::string& name);
  const char* SourceName() const { return sourceName_; }
  // Writes one entry of kind 0-4 (another kind is written as information); an event
  // log that cannot be reached drops it silently.
  void Report(int kind, const std::string& text) const;
  // Creates or updates the source's key with "EventMessageFile" = messageFile
  // (REG_EXPAND_SZ) and "TypesSupported" = 7; true when both were set.
  bool RegisterSource(const std::string& messageFile) const;
  // Deletes the source's key; true when it was deleted.
  bool UnregisterSource() const;
  // SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>
  std::string SourceKey() const;

  // Event type and identifier of a kind.
  static uint16_t EventType(int kind);
  static uint32_t EventId(int kind);

 private:
  char sourceName_[64] = {};
};

}  // namespace kestran
