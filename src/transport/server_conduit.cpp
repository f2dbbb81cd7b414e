#include "transport/server_conduit.h"

#include <chrono>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/ip_address.h"
#include "transport/proxy_address.h"
#include "transport/proxy_header.h"
#include "transport/winsock_intf.h"

namespace kestran {

namespace {

// Failures of single connections in a row after which the accept thread pauses all the
// same: a failure that recurs on every call is not one connection's.
constexpr uint32_t kConnectionFailuresBeforePause = 64;
constexpr int kTimedOut = 10060;
constexpr int kConnectionReset = 10054;
constexpr int kInterrupted = 10004;
// How long a balancer's connection that sends nothing must have waited before its close
// counts as a health check that expected a greeting.
constexpr std::chrono::seconds kGreetingCheckWait{1};

// The PROXY header at the start of what conn receives, read within timeoutSeconds in all
// (0: no limit). Only the header's own bytes are taken from the connection's buffer.
TProxyParse ReceiveProxyHeader(TConduitSocket& conn, uint32_t timeoutSeconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    TProxyParse parse = ParseProxyHeader(conn.Unread());
    if (parse.Status == TProxyStatus::Complete) conn.Skip(parse.Length);
    if (parse.Status != TProxyStatus::NeedMore) return parse;
    if (!conn.Connected()) {
      parse.Status = TProxyStatus::Invalid;
      parse.Error = TProxyError::Truncated;
      return parse;
    }
    uint32_t waitMs = 0;
    if (timeoutSeconds != 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) TConduit::RaiseSocketError(kTimedOut);
      waitMs = static_cast<uint32_t>(left);
    }
    conn.ReceiveMore(waitMs);
  }
}

}  // namespace

double NowDays() {
  const LocalTime t = NowLocal();
  // Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
  const int64_t y = t.year - (t.month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  constexpr int64_t kDaysFrom1899To1970 = 25569;
  const double seconds = t.hour * 3600.0 + t.minute * 60.0 + t.second + t.millisecond / 1000.0;
  return static_cast<double>(days + kDaysFrom1899To1970) + seconds / 86400.0;
}

// ---------------------------------------------------------------- session timer

// Calls the listener's CheckSessionTimeouts at a fixed interval on a thread of its own,
// one call after the other, until it is destroyed.
class TSessionTimer : public TThread {
 public:
  TSessionTimer(TConduitListener* listener, uint32_t intervalMs)
      : TThread(true), listener_(listener), intervalMs_(intervalMs) {}
  ~TSessionTimer() override {
    {
      std::lock_guard<std::mutex> g(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    EndAndWait();
  }

  // For a timer replaced from its own callback: it ends after the callback returns and
  // frees itself.
  void Abandon() {
    {
      std::lock_guard<std::mutex> g(lock_);
      stop_ = true;
    }
    SetFreeWhenDone(true);
  }

 protected:
  void Execute() override {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      if (wake_.wait_for(g, std::chrono::milliseconds(intervalMs_), [this] { return stop_; })) {
        return;
      }
      g.unlock();
      try {
        listener_->CheckSessionTimeouts();
      } catch (...) {
        // A failing check does not stop the timer.
      }
      g.lock();
    }
  }

 private:
  TConduitListener* listener_;
  uint32_t intervalMs_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
};

// ---------------------------------------------------------------- TConduitServer

TConduitServer::TConduitServer(TConduitListener* listener)
    : TConduitSocket(listener), listener_(listener) {}

void TConduitServer::SetHandle(TSocket handle) {
  AssignHandle(handle);
  ApplyTimeouts();
}

void TConduitServer::Disconnect() {
  TConduitSocket::Disconnect();
}

std::string TConduitServer::ReadBuffer(int32_t count) {
  SetLastActivity(NowDays());
  return TConduitSocket::ReadBuffer(count);
}

// ---------------------------------------------------------------- TConduitServerThread

TConduitServerThread::TConduitServerThread(TConduitServer* connection)
    : TConduitServerThread(connection, kStackSize) {}

TSessionTicket::TSessionTicket(TConduitListener* listener) : listener_(listener) {
  if (listener_ != nullptr) listener_->Threads().TakeTicket();
}

TSessionTicket::~TSessionTicket() {
  if (listener_ != nullptr) listener_->Threads().GiveBackTicket();
}

TConduitServerThread::TConduitServerThread(TConduitServer* connection, size_t stackSize)
    : TQorvThread(true, stackSize),
      ticket_(connection != nullptr ? connection->Listener() : nullptr),
      connection_(connection) {
  // Sessions come and go by the thousand: each runs on a parked system thread when one
  // is free. The thread object, its events and its place in Threads are its own as ever.
  SetPooled(true);
}

TConduitServerThread::~TConduitServerThread() {
  EndAndWait();
}

void TConduitServerThread::BeforeRun() {
  TConduitListener* listener = connection_->Listener();
  try {
    if (connection_->AwaitsProxyHeader() && !listener->TakeProxyHeader(connection_.get()))
      throw EConduitSilentException("No session without a PROXY header");
    listener->DoConnect(this);
  } catch (...) {
    // The session never started: OnDisconnect does not fire, but the connection is
    // closed and the thread leaves the list (and frees itself) at once.
    listener->Threads().RemoveThread(this);
    throw;
  }
}

void TConduitServerThread::Run() {
  TConduitListener* listener = connection_->Listener();
  try {
    listener->DoExecute(this);
  } catch (const EConduitSocketError& e) {
    // Any socket error ends the connection (10054 is the peer's reset); a connection
    // that stayed open here would fail the same way on every Run.
    (void)e.ErrorCode();
    connection_->Disconnect();
  } catch (const EConduitClosedSocket&) {
  }
  if (!connection_->Connected()) RequestStop();
}

void TConduitServerThread::AfterRun() {
  TConduitListener* listener = connection_->Listener();
  try {
    listener->DoDisconnect(this);
  } catch (...) {
    connection_->ReleaseSlot();
    listener->Threads().RemoveThread(this);
    throw;
  }
  // The session is over: its place goes back before the thread winds down.
  connection_->ReleaseSlot();
  listener->Threads().RemoveThread(this);
}

// ---------------------------------------------------------------- TConduitServerThreadList

bool TConduitServerThreadList::RemoveThread(TConduitServerThread* thread) {
  if (!Remove(thread)) return false;
  StopThread(thread);
  return true;
}

void TConduitServerThreadList::StopThread(TConduitServerThread* thread) {
  if (thread->ThreadId() == TThread::CurrentThreadId() && thread->Started()) {
    thread->Connection()->Disconnect();
    // Freed with its connection when its body returns.
    thread->SetFreeWhenDone(true);
    return;
  }
  // From another thread only the socket is closed (which wakes a blocked receive); the
  // connection's other state belongs to its own thread.
  thread->Connection()->CloseSocket();
  thread->StopAndWait();
  delete thread;
}

void TConduitServerThreadList::TakeTicket() {
  std::lock_guard<std::mutex> g(ticketLock_);
  ++tickets_;
}

void TConduitServerThreadList::GiveBackTicket() {
  std::lock_guard<std::mutex> g(ticketLock_);
  if (--tickets_ == 0) ticketsBack_.notify_all();
}

void TConduitServerThreadList::WaitForTickets() {
  std::unique_lock<std::mutex> g(ticketLock_);
  ticketsBack_.wait(g, [this] { return tickets_ == 0; });
}

void TConduitServerThreadList::StopAll() {
  for (;;) {
    TConduitServerThread* first = nullptr;
    {
      std::vector<TConduitServerThread*>& list = LockList();
      if (!list.empty()) {
        first = list.front();
        list.erase(list.begin());
      }
      UnlockList();
    }
    if (first == nullptr) return;
    StopThread(first);
  }
}

// ---------------------------------------------------------------- TConduitListenerThread

TConduitListenerThread::TConduitListenerThread(TConduitListener* listener)
    : TConduitListenerThread(listener, listener, kAfInet) {}

TConduitListenerThread::TConduitListenerThread(TConduitListener* listener, TConduit* socket,
                                               int family)
    : TQorvThread(true), listener_(listener), socket_(socket), family_(family) {}

TConduitListenerThread::~TConduitListenerThread() {
  EndAndWait();
}

void TConduitListenerThread::StopAndWait() {
  {
    std::lock_guard<std::mutex> g(pauseLock_);
    RequestStop();
  }
  pauseEnd_.notify_all();
  TQorvThread::StopAndWait();
}

void TConduitListenerThread::Pause(uint32_t ms) {
  std::unique_lock<std::mutex> g(pauseLock_);
  pauseEnd_.wait_for(g, std::chrono::milliseconds(ms), [this] { return StopRequested(); });
}

void TConduitListenerThread::Run() {
  try {
    listener_->AcceptOne(this);
  } catch (...) {
    // Whatever went wrong (even reporting it), the thread keeps accepting after a pause.
    Pause(TAcceptBackoff::kLongestMs);
  }
}

void TConduitListenerThread::AfterRun() {
  socket_->Disconnect();
}

// ---------------------------------------------------------------- TConduitListener

TConduitListener::TConduitListener(TConduitBase* owner) : TConduit(owner) {}

TConduitListener::~TConduitListener() {
  Close();
  // A thread that ended on its own may still be freeing its connection.
  threads_.WaitForTickets();
  listenerThread_.reset();
  listenerThread6_.reset();
}

void TConduitListener::Close() {
  timer_.reset();
  if (active_) {
    try {
      Deactivate();
    } catch (...) {
    }
  }
  threads_.StopAll();
}

void TConduitListener::SetActive(bool value) {
  if (Loading()) {
    active_ = value;
    return;
  }
  if (value == active_) return;
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
}

void TConduitListener::Loaded() {
  TConduitBase::Loaded();
  if (active_) {
    active_ = false;
    SetActive(true);
  }
}

void TConduitListener::Activate() {
  listenerThread_.reset();
  try {
    AllocateSocket(kSockStream);
    // Like the Windows stack, allow a new listener while old connections of the same
    // port linger in TIME_WAIT; an active listener still makes the bind fail.
    int on = 1;
    GWinsockIntf().setsockopt(Handle(), kSolSocket, kSoReuseAddr,
                              reinterpret_cast<const char*>(&on), sizeof on);
    Bind();
    Listen();
    if (Port() == 0) {
      // Port 0 asks the system for a free port: record the one it chose.
      TSockAddrIn local;
      int len = sizeof local;
      if (SockGetSockName(Handle(), &local, &len) == 0) SetPort(SockNtohs(local.sin_port));
    }
    ActivateIPv6();
  } catch (...) {
    Disconnect();
    socket6_.reset();
    throw;
  }
  auto thread = std::make_unique<TConduitListenerThread>(this);
  try {
    thread->Resume();
    if (socket6_) {
      listenerThread6_ = std::make_unique<TConduitListenerThread>(this, socket6_.get(), kAfInet6);
      listenerThread6_->Resume();
    }
  } catch (...) {
    Disconnect();
    if (socket6_) socket6_->Disconnect();
    listenerThread6_.reset();
    socket6_.reset();
    throw;
  }
  listenerThread_ = std::move(thread);
  active_ = true;
}

void TConduitListener::ActivateIPv6() {
  socket6_.reset();
  if (!ipv6_) return;
  auto socket = std::make_unique<TConduit>(this);
  socket->SetPort(Port());
  try {
    socket->AllocateSocket6(kSockStream);
  } catch (const EConduitInvalidSocket&) {
    // A system without IPv6 still serves IPv4 when no IPv6 address was asked for.
    const int code = GWinsockIntf().WSAGetLastError();
    const bool noIPv6 = code == 10047 || code == 10043 || code == 10046;
    if (!noIPv6 || !boundIPv6_.empty()) throw;
    if (OnListenerEvent)
      OnListenerEvent(TEventSeverity::Warning,
                      "IPv6 is not available on this system; listening on IPv4 only.");
    return;
  }
  int on = 1;
  GWinsockIntf().setsockopt(socket->Handle(), kSolSocket, kSoReuseAddr,
                            reinterpret_cast<const char*>(&on), sizeof on);
  socket->Bind6(boundIPv6_);
  socket->Listen();
  socket6_ = std::move(socket);
}

void TConduitListener::Deactivate() {
  Disconnect();
  if (socket6_) socket6_->Disconnect();
  if (listenerThread_) {
    listenerThread_->StopAndWait();
    listenerThread_.reset();
  }
  if (listenerThread6_) {
    listenerThread6_->StopAndWait();
    listenerThread6_.reset();
  }
  socket6_.reset();
  // The accept thread has ended: nothing uses the listening descriptor any more, so the
  // port is given back to the system now, not at the next activation.
  ReleasePendingClose();
  active_ = false;
}

TSocket TConduitListener::Accept(TConduitListenerThread* acceptThread, std::string& peerAddress) {
  TSocket listening = acceptThread->Socket()->Handle();
  if (acceptThread->Family() == kAfInet6) {
    TSockAddrIn6 peer;
    int len = sizeof peer;
    TSocket s = GWinsockIntf().accept6(listening, &peer, &len);
    if (s != kInvalidSocket) peerAddress = FormatIpAddress(IpAddressFromV6(peer.sin6_addr));
    return s;
  }
  TSockAddrIn peer;
  int len = sizeof peer;
  TSocket s = GWinsockIntf().accept(listening, &peer, &len);
  if (s != kInvalidSocket) peerAddress = InAddrToString(peer.sin_addr);
  return s;
}

void TConduitListener::AcceptOne(TConduitListenerThread* acceptThread) {
  if (acceptThread->Socket()->Handle() == kInvalidSocket) {
    acceptThread->RequestStop();
    return;
  }
  std::string peer;
  TSocket s = Accept(acceptThread, peer);
  if (s == kInvalidSocket) {
    const int code = GWinsockIntf().WSAGetLastError();
    // The listener's own close gives up the handle before it wakes the accept (which then
    // reports 10004): that alone ends the thread. Any code while the listener is still
    // open, 10004 included, is a failure to count and survive.
    if (!acceptThread->Socket()->Connected()) {
      acceptThread->RequestStop();
      return;
    }
    AcceptFailed(acceptThread, ClassifyAcceptFailure(code), SocketErrorCause(code));
  } else {
    acceptThread->Backoff.Reset();
    acceptThread->ConnectionFailuresInARow = 0;
    try {
      StartSession(s, peer);
    } catch (const std::bad_alloc&) {
      AcceptFailed(acceptThread, TAcceptFailureKind::Resources, "out of memory");
    } catch (const std::exception& e) {
      AcceptFailed(acceptThread, TAcceptFailureKind::Unexpected, e.what());
    }
  }
  // Counts left over from a burst are reported once their interval has passed.
  for (const auto& [kind, line] : failureReports_.Due()) ReportFailure(kind, line);
}

void TConduitListener::AcceptFailed(TConduitListenerThread* acceptThread, TAcceptFailureKind kind,
                                    const std::string& cause) {
  ReportFailure(kind, failureReports_.Count(kind, cause));
  bool pause = kind == TAcceptFailureKind::Resources || kind == TAcceptFailureKind::Unexpected;
  if (kind == TAcceptFailureKind::Connection)
    pause = ++acceptThread->ConnectionFailuresInARow >= kConnectionFailuresBeforePause;
  if (pause) acceptThread->Pause(acceptThread->Backoff.Next());
}

void TConduitListener::ReportFailure(TAcceptFailureKind kind, const std::string& line) {
  if (line.empty() || !OnListenerEvent) return;
  const bool warning =
      kind == TAcceptFailureKind::Connection || kind == TAcceptFailureKind::ProxyHeader;
  OnListenerEvent(warning ? TEventSeverity::Warning : TEventSeverity::Error, line);
}

void TConduitListener::Refuse(TConduitServer* connection) {
  // The accept thread never waits long on a client it turns away.
  connection->SetReceiveTimeout(1);
  try {
    DoTooManyConnections(connection);
  } catch (const std::exception&) {
    // The refusal is best effort; the connection is closed all the same.
  }
}

void TConduitListener::StartSession(TSocket s, const std::string& peerAddress) {
  std::unique_ptr<TConduitServer> connection;
  try {
    connection = std::make_unique<TConduitServer>(this);
  } catch (...) {
    GWinsockIntf().closesocket(s);
    throw;
  }
  connection->SetHandle(s);  // the connection owns the socket from here
  connection->SetMaxLineLength(maxLineLength_);
  connection->SetReceiveTimeout(receiveTimeout_);
  connection->SetBoundIP(BoundIP());
  connection->SetPeerAddress(peerAddress);
  connection->SetLastActivity(NowDays());
  connection->SetInTimeoutCheck(false);

  TConduitServer* conn = connection.get();
  // A load balancer speaks for many clients: its connections count toward the total
  // now, and under the client's address once the PROXY header has named it.
  conn->SetAwaitsProxyHeader(ExpectsProxyHeader(conn->PeerAddress()));
  TConnectionSlot slot;
  if (!limits_->TryAdmit(conn->AwaitsProxyHeader() ? std::string() : conn->PeerAddress(), slot)) {
    Refuse(conn);
    return;
  }
  conn->SetSlot(std::move(slot));
  TConduitServerThread* supplied = nullptr;
  if (OnCreateThread) {
    try {
      OnCreateThread(conn, supplied);
    } catch (const std::exception&) {
      // A failing handler costs this connection only (closed on return); a thread it
      // supplied before failing owns the connection and goes with it.
      if (supplied != nullptr) {
        connection.release();
        delete supplied;
      }
      return;
    }
  }
  std::unique_ptr<TConduitServerThread> thread;
  if (supplied != nullptr) {
    connection.release();  // owned by the supplied thread
    thread.reset(supplied);
  } else {
    thread = std::make_unique<TConduitServerThread>(conn);
    connection.release();  // owned by the thread
  }
  TConduitServerThread* raw = thread.get();
  threads_.Add(raw);
  thread.release();
  try {
    raw->Resume();
  } catch (const EThread& e) {
    // No thread for this connection: it is told so and closed, and the listener goes on.
    const std::string line = failureReports_.Count(TAcceptFailureKind::NoThread, e.Message());
    if (threads_.Remove(raw)) {
      Refuse(raw->Connection());
      delete raw;
    }
    ReportFailure(TAcceptFailureKind::NoThread, line);
  }
}

void TConduitListener::SetSessionTimeout(int32_t value) {
  if (value < 0) throw Exception("Invliad SessionTimeout value.");
  if (timer_ && timer_->ThreadId() == TThread::CurrentThreadId()) {
    timer_.release()->Abandon();
  }
  timer_.reset();
  sessionTimeout_ = value;
  if (value > 0) {
    timer_ = std::make_unique<TSessionTimer>(this, timerIntervalMs_);
    timer_->Resume();
  }
}

void TConduitListener::SetSessionTimerInterval(uint32_t ms) {
  timerIntervalMs_ = ms == 0 ? 1 : ms;
  if (timer_) SetSessionTimeout(sessionTimeout_);
}

void TConduitListener::CheckSessionTimeouts(const void* /*sender*/) {
  const int32_t limit = sessionTimeout_;
  if (limit <= 0) return;
  std::vector<TConduitServerThread*> expired;
  std::vector<TConduitServerThread*>& list = threads_.LockList();
  try {
    for (size_t i = list.size(); i-- > 0;) {
      TConduitServerThread* thread = list[i];
      TConduitServer* conn = thread->Connection();
      if (NowDays() - conn->LastActivity() >= limit / 1440.0 && !conn->InTimeoutCheck()) {
        bool keepAlive = false;
        if (OnSessionTimeout) {
          conn->SetInTimeoutCheck(true);
          try {
            OnSessionTimeout(thread, keepAlive);
          } catch (...) {
            conn->SetInTimeoutCheck(false);
            throw;
          }
          conn->SetInTimeoutCheck(false);
        }
        if (keepAlive) {
          conn->SetLastActivity(NowDays());
        } else {
          expired.push_back(thread);
          list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }
  } catch (...) {
    threads_.UnlockList();
    for (TConduitServerThread* t : expired) threads_.StopThread(t);
    throw;
  }
  threads_.UnlockList();
  for (TConduitServerThread* t : expired) threads_.StopThread(t);
}

void TConduitListener::DoConnect(TConduitServerThread* thread) {
  if (OnConnect) OnConnect(thread);
}

void TConduitListener::DoDisconnect(TConduitServerThread* thread) {
  if (OnDisconnect) OnDisconnect(thread);
}

void TConduitListener::DoTooManyConnections(TConduitServer* /*connection*/) {}

bool TConduitListener::ExpectsProxyHeader(const std::string& /*address*/) {
  return false;
}

bool TConduitListener::TakeProxyHeader(TConduitServer* connection) {
  const std::string balancer = connection->PeerAddress();
  std::string cause;
  TProxyParse parse;
  const auto waitStart = std::chrono::steady_clock::now();
  // A connection that sent nothing and was closed by the balancer after it had waited for
  // a while: a check that expected the greeting (HAProxy's smtpchk without
  // check-send-proxy). A connect-only check closes at once and is no fault.
  const auto waitedForGreeting = [&] {
    return connection->UnreadCount() == 0 &&
           std::chrono::steady_clock::now() - waitStart >= kGreetingCheckWait;
  };
  const char* const kSilentCheck = "(a health check without a PROXY header?)";
  try {
    parse = ReceiveProxyHeader(*connection, connection->ReceiveTimeout());
    if (parse.Status != TProxyStatus::Complete) cause = ProxyErrorText(parse.Error);
  } catch (const EConduitSocketError& e) {
    // The listener closing its connections as it stops wakes the wait: nothing the
    // balancer did.
    if (e.ErrorCode() == kInterrupted && !connection->Connected()) return false;
    // A balancer's connect-only health check closes (or resets) without a byte: that is
    // no fault to report.
    const bool silent = connection->UnreadCount() == 0;
    if (e.ErrorCode() == kConnectionReset && silent) {
      if (!waitedForGreeting()) return false;
      cause = std::string("nothing received before the balancer closed ") + kSilentCheck;
    } else if (e.ErrorCode() != kTimedOut) {
      cause = SocketErrorCause(e.ErrorCode());
    } else if (silent) {
      cause = std::string("nothing received within the receive time-out ") + kSilentCheck;
    } else {
      cause = "no complete PROXY header within the receive time-out";
    }
  } catch (const EConduitConnClosedGraceful&) {
    if (!waitedForGreeting()) return false;
    cause = std::string("nothing received before the balancer closed ") + kSilentCheck;
  } catch (const EConduitException&) {
    cause = ProxyErrorText(TProxyError::Truncated);
  }
  if (!cause.empty()) {
    const std::string line =
        failureReports_.Count(TAcceptFailureKind::ProxyHeader, balancer + ": " + cause);
    ReportFailure(TAcceptFailureKind::ProxyHeader, line);
    return false;
  }
  if (parse.Header.Local) return true;
  const std::string client = ProxiedClientAddress(parse.Header);
  connection->SetPeerAddress(client);
  if (!connection->ClaimAddress(client)) {
    Refuse(connection);
    return false;
  }
  return true;
}

bool TConduitListener::DoExecute(TConduitServerThread* thread) {
  if (OnExecute) {
    OnExecute(thread);
    return true;
  }
  return false;
}

}  // namespace kestran
