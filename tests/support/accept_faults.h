#pragma once
// The platform's socket binding with failures put into accept, in place of the
// process-wide socket interface while the object lives. Each planned failure makes one
// accept call fail at once with its code, taking no connection; afterwards accept works
// as before. Every accept call is recorded. Header only: the Win32 tests use it too.

#include <chrono>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "transport/winsock_intf.h"

namespace kestran::test {

class AcceptFaults : public TWinsockIntf11 {
 public:
  using Clock = std::chrono::steady_clock;
  struct Call {
    Clock::time_point at;
    int failedWith;  // 0: passed on to the system
  };

  AcceptFaults() : previous_(SetGWinsockIntf(this)) {}
  ~AcceptFaults() override { SetGWinsockIntf(previous_); }
  AcceptFaults(const AcceptFaults&) = delete;
  AcceptFaults& operator=(const AcceptFaults&) = delete;

  // The next `times` accepts (after those planned before) fail with code.
  void Fail(int code, int times) {
    std::lock_guard<std::mutex> g(lock_);
    for (int i = 0; i < times; ++i) plan_.push_back(code);
  }
  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
  }
  // Whether a call passed on to the system has not returned yet: an accept thread that
  // waits there takes a connection before any failure planned now.
  bool InSystemAccept() const {
    std::lock_guard<std::mutex> g(lock_);
    return inSystem_;
  }
  size_t Planned() const {
    std::lock_guard<std::mutex> g(lock_);
    return plan_.size();
  }

  TSocket accept(TSocket s, TSockAddrIn* addr, int* addrlen) override {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!plan_.empty()) {
        const int code = plan_.front();
        plan_.pop_front();
        calls_.push_back({Clock::now(), code});
        SockSetLastError(code);
        return kInvalidSocket;
      }
      calls_.push_back({Clock::now(), 0});
      inSystem_ = true;
    }
    const TSocket result = TWinsockIntf11::accept(s, addr, addrlen);
    const int code = SockLastError();
    {
      std::lock_guard<std::mutex> g(lock_);
      inSystem_ = false;
    }
    SockSetLastError(code);
    return result;
  }

 private:
  TWinsockIntfBase* previous_;
  mutable std::mutex lock_;
  std::deque<int> plan_;
  std::vector<Call> calls_;
  bool inSystem_ = false;
};

}  // namespace kestran::test
