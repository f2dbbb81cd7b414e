#pragma once
// The server side of the transport: the listener with its accept thread, the server-side
// connection, one thread per accepted connection, the locked list of live connection
// threads, and the optional session time-out with its timer thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/sync.h"
#include "transport/accept_failures.h"
#include "transport/conduit.h"
#include "transport/connection_limits.h"
#include "transport/qorv_thread.h"

namespace kestran {

class TConduitListener;
class TConduitServerThread;
class TConduitServer;

using TServerEvent = std::function<void(TConduitServerThread* thread)>;
// May set pThread to a thread of its own, created suspended for pConnection; the listener
// takes ownership of it and resumes it.
using TCreateThreadEvent =
    std::function<void(TConduitServer* pConnection, TConduitServerThread*& pThread)>;
using TTimeoutEvent = std::function<void(TConduitServerThread* thread, bool& keepAlive)>;
enum class TEventSeverity { Warning, Error };
// A line for the event log.
using TListenerEvent = std::function<void(TEventSeverity severity, const std::string& text)>;

// The current local time as a date-time: days (with fraction) since 30 December 1899.
double NowDays();

// An accepted connection. Owned by its connection thread.
class TConduitServer : public TConduitSocket {
 public:
  explicit TConduitServer(TConduitListener* listener);

  // The listener that accepted the connection.
  TConduitListener* Listener() const { return listener_; }
  // Stores an accepted socket handle: the connection becomes open.
  virtual void SetHandle(TSocket handle);
  void Disconnect() override;
  // Sets LastActivity to now, then reads.
  std::string ReadBuffer(int32_t count) override;

  double LastActivity() const { return lastActivity_.load(); }
  void SetLastActivity(double days) { lastActivity_.store(days); }
  bool InTimeoutCheck() const { return inTimeoutCheck_.load(); }
  void SetInTimeoutCheck(bool value) { inTimeoutCheck_.store(value); }

  // The connection's place under the listener's connection limits.
  void SetSlot(TConnectionSlot slot) { slot_ = std::move(slot); }
  void ReleaseSlot() { slot_.Release(); }
  // Counts a place taken without an address under address (see TConnectionSlot::Claim).
  bool ClaimAddress(const std::string& address) { return slot_.Claim(address); }

  // The peer is a trusted load balancer: the connection begins with a PROXY header.
  bool AwaitsProxyHeader() const { return awaitsProxyHeader_; }
  void SetAwaitsProxyHeader(bool value) { awaitsProxyHeader_ = value; }

 private:
  TConduitListener* listener_;
  bool awaitsProxyHeader_ = false;
  TConnectionSlot slot_;
  std::atomic<double> lastActivity_{0.0};
  std::atomic<bool> inTimeoutCheck_{false};
};

// One thread per accepted connection; owns its connection. Runs with a 256 KiB stack, on
// a pooled system thread (see TThread::SetPooled).
// Held by a connection thread from its creation until its connection is gone. A thread
// that ends on its own leaves the list first and frees itself afterwards; the listener
// waits for the last of these before it goes, as the connection still closes its socket.
class TSessionTicket {
 public:
  explicit TSessionTicket(TConduitListener* listener);
  ~TSessionTicket();
  TSessionTicket(const TSessionTicket&) = delete;
  TSessionTicket& operator=(const TSessionTicket&) = delete;

 private:
  TConduitListener* listener_;
};

class TConduitServerThread : public TQorvThread {
 public:
  static constexpr size_t kStackSize = 256 * 1024;

  // Created suspended; takes ownership of connection.
  explicit TConduitServerThread(TConduitServer* connection);
  ~TConduitServerThread() override;

  TConduitServer* Connection() const { return connection_.get(); }

 protected:
  // With a stack size of its own (0: the system's default).
  TConduitServerThread(TConduitServer* connection, size_t stackSize);
  void BeforeRun() override;
  void Run() override;
  void AfterRun() override;

 private:
  // Declared before the connection, so it is given back after the connection is freed.
  TSessionTicket ticket_;
  std::unique_ptr<TConduitServer> connection_;
};

// Live connection threads under one lock.
class TConduitServerThreadList : public TThreadList<TConduitServerThread> {
 public:
  // Removes thread under the lock; if it was there, stops it. Returns whether it was there.
  bool RemoveThread(TConduitServerThread* thread);
  // Disconnects the thread's connection; on the thread itself marks it to free itself
  // when its body returns, otherwise waits for it to end and frees it.
  void StopThread(TConduitServerThread* thread);
  // Takes out and stops every thread; the lock is never held while one is stopped.
  void StopAll();

  // Counts connection threads that exist, in the list or winding down on their own.
  void TakeTicket();
  void GiveBackTicket();
  // Waits until every ticket is given back.
  void WaitForTickets();

 private:
  std::mutex ticketLock_;
  std::condition_variable ticketsBack_;
  size_t tickets_ = 0;
};

// The accept thread of one listening socket. Only the socket's close ends it.
class TConduitListenerThread : public TQorvThread {
 public:
  // Accepts on the listener's own socket.
  explicit TConduitListenerThread(TConduitListener* listener);
  // Accepts on socket, another listening socket of the listener (IPv6 when
  // socket->Family() says so).
  TConduitListenerThread(TConduitListener* listener, TConduit* socket, int family);
  ~TConduitListenerThread() override;
  TConduitListener* Listener() const { return listener_; }
  TConduit* Socket() const { return socket_; }
  int Family() const { return family_; }

  // Also cuts a pause short.
  void StopAndWait() override;
  // Waits ms milliseconds, or less when a stop is requested meanwhile.
  void Pause(uint32_t ms);

  // This thread's own back-off after failed accepts (each listening socket has its own).
  TAcceptBackoff Backoff;
  uint32_t ConnectionFailuresInARow = 0;

 protected:
  void Run() override;
  void AfterRun() override;

 private:
  TConduitListener* listener_;
  TConduit* socket_;
  int family_;
  std::mutex pauseLock_;
  std::condition_variable pauseEnd_;
};

class TSessionTimer;

class TConduitListener : public TConduit {
 public:
  static constexpr uint32_t kDefaultSessionTimerIntervalMs = 50000;

  explicit TConduitListener(TConduitBase* owner = nullptr);
  // Deactivates, then stops every session and waits for their threads.
  ~TConduitListener() override;

  bool Active() const { return active_; }
  // Activation binds, listens and starts the accept thread (errors reach the caller and
  // leave Active false; with Port 0 the system picks a port and Port then tells it); deactivation
  // closes the listening socket and waits for the accept thread. Sessions already running are not
  // touched.
  void SetActive(bool value);
  void Loaded() override;
  // Deactivates and stops every session, waiting for their threads. A class that
  // overrides the hooks calls this first in its destructor, so that no session runs its
  // hooks while the derived part is being destroyed.
  void Close();

  // Idle limit in minutes; 0 = none; negative raises "Invliad SessionTimeout value.".
  int32_t SessionTimeout() const { return sessionTimeout_; }
  void SetSessionTimeout(int32_t value);
  // Interval of the session timer (50000 ms unless changed; for tests).
  uint32_t SessionTimerInterval() const { return timerIntervalMs_; }
  void SetSessionTimerInterval(uint32_t ms);
  // Ends sessions idle for SessionTimeout minutes unless OnSessionTimeout keeps them.
  // The timer's handler; sender (the timer) is not used.
  void CheckSessionTimeouts(const void* sender = nullptr);

  // Copied into every accepted connection (0, the default = no limit).
  uint32_t MaxLineLength() const { return maxLineLength_; }
  void SetMaxLineLength(uint32_t value) { maxLineLength_ = value; }
  uint32_t ReceiveTimeout() const { return receiveTimeout_; }
  void SetReceiveTimeout(uint32_t seconds) { receiveTimeout_ = seconds; }

  // Connections admitted at the same time, in all and from one client address (0, the
  // default = no limit). A connection beyond either, or one for which no thread can be
  // created, is handed to DoTooManyConnections on the accept thread and closed: it gets
  // no thread, no OnConnect and no session.
  uint32_t MaxConnections() const { return limits_->MaxConnections(); }
  void SetMaxConnections(uint32_t value) { limits_->SetMaxConnections(value); }
  uint32_t MaxConnectionsPerIP() const { return limits_->MaxConnectionsPerIP(); }
  void SetMaxConnectionsPerIP(uint32_t value) { limits_->SetMaxConnectionsPerIP(value); }
  // Leading bits of an IPv6 client address that make one client for MaxConnectionsPerIP.
  uint32_t IPv6PrefixLength() const { return limits_->IPv6PrefixLength(); }
  void SetIPv6PrefixLength(uint32_t bits) { limits_->SetIPv6PrefixLength(bits); }

  // Also listen for IPv6 on Port, with a socket and accept thread of its own beside the
  // IPv4 ones: on BoundIPv6, or every local IPv6 address when it is empty. Read at
  // activation. When the system has no IPv6 at all and BoundIPv6 is empty, the listener
  // goes on with IPv4 and tells OnListenerEvent.
  bool IPv6() const { return ipv6_; }
  void SetIPv6(bool value) { ipv6_ = value; }
  const std::string& BoundIPv6() const { return boundIPv6_; }
  void SetBoundIPv6(const std::string& value) { boundIPv6_ = value; }
  // The IPv6 listening socket while active with IPv6 (nullptr otherwise).
  TConduit* IPv6Socket() const { return socket6_.get(); }
  const TConnectionLimits& ConnectionLimits() const { return *limits_; }

  // Failed accepts and connections without a thread, counted by kind. Each kind reaches
  // OnListenerEvent at most once per interval (a minute unless changed), with the count
  // since the line before.
  const TAcceptFailureReports& AcceptFailures() const { return failureReports_; }
  void SetFailureReportInterval(std::chrono::milliseconds interval) {
    failureReports_.SetInterval(interval);
  }

  TConduitServerThreadList& Threads() { return threads_; }
  TConduitListenerThread* ListenerThread() const { return listenerThread_.get(); }

  TTimeoutEvent OnSessionTimeout;
  TServerEvent OnExecute;
  TServerEvent OnConnect;
  TServerEvent OnDisconnect;
  TCreateThreadEvent OnCreateThread;
  // Lines for the event log, from the accept thread.
  TListenerEvent OnListenerEvent;

  virtual void DoConnect(TConduitServerThread* thread);
  virtual void DoDisconnect(TConduitServerThread* thread);
  // Calls OnExecute and returns true when it is assigned; false otherwise.
  virtual bool DoExecute(TConduitServerThread* thread);
  // A connection refused by the connection limits or for want of a thread, on the accept
  // thread, before it is closed: a protocol may tell the client (without waiting on it).
  // Does nothing here.
  virtual void DoTooManyConnections(TConduitServer* connection);

  // Whether connections from address come from a trusted load balancer and begin with a
  // PROXY header (asked on the accept thread). None do here.
  virtual bool ExpectsProxyHeader(const std::string& address);
  // On the connection thread, before the session: reads the PROXY header within
  // ReceiveTimeout. The client address it names becomes the connection's PeerAddress
  // and is counted under MaxConnectionsPerIP (the balancer's own address never is); a
  // LOCAL header (or a version 1 UNKNOWN line) keeps the balancer's address. False when
  // the connection is to be closed without a session: no usable header (reported like
  // accept failures, at most once per interval) or too many connections from the client
  // (refused as by the limits). Whatever the client sent behind the header stays unread.
  bool TakeProxyHeader(TConduitServer* connection);

 private:
  friend class TConduitListenerThread;
  // One accept and the start of its session; a stop request when the listener is closed.
  void AcceptOne(TConduitListenerThread* acceptThread);
  // Accepts one connection on the accept thread's socket; kInvalidSocket on failure.
  TSocket Accept(TConduitListenerThread* acceptThread, std::string& peerAddress);
  // Gives the accepted socket s its connection and thread.
  void StartSession(TSocket s, const std::string& peerAddress);
  // Opens the IPv6 listening socket and its accept thread when IPv6 is set.
  void ActivateIPv6();
  // Counts a failure of kind (reported when due) and pauses when the kind calls for it.
  void AcceptFailed(TConduitListenerThread* acceptThread, TAcceptFailureKind kind,
                    const std::string& cause);
  // Tells a connection it is refused (best effort, never waiting long on the client).
  void Refuse(TConduitServer* connection);
  void ReportFailure(TAcceptFailureKind kind, const std::string& line);
  void Activate();
  void Deactivate();

  bool active_ = false;
  std::atomic<int32_t> sessionTimeout_{0};
  uint32_t timerIntervalMs_ = kDefaultSessionTimerIntervalMs;
  // Taken by each new connection; may change while the listener runs.
  std::atomic<uint32_t> maxLineLength_{0};
  std::atomic<uint32_t> receiveTimeout_{0};
  std::unique_ptr<TSessionTimer> timer_;
  std::unique_ptr<TConduitListenerThread> listenerThread_;
  bool ipv6_ = false;
  std::string boundIPv6_;
  std::unique_ptr<TConduit> socket6_;
  std::unique_ptr<TConduitListenerThread> listenerThread6_;
  TConduitServerThreadList threads_;
  std::shared_ptr<TConnectionLimits> limits_ = std::make_shared<TConnectionLimits>();
  TAcceptFailureReports failureReports_;
};

}  // namespace kestran
