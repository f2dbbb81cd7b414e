#include "transport/conduit.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/ip_address.h"
#include "transport/tls_layer.h"
#include "transport/winsock_intf.h"

namespace kestran {

namespace {

constexpr int kInterrupted = 10004;
constexpr int kShutDown = 10058;
constexpr int kTimedOut = 10060;
constexpr int kAddressInUse = 10048;
constexpr int kCannotAssign = 10049;
constexpr int kNoData = 11004;
// Replies held back by coalescing are sent at the latest when they reach this size.
constexpr size_t kCoalesceLimit = 8192;

std::string TrimControls(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool SameTextNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- TConduit

TConduit::TConduit(TConduitBase* owner) : TConduitBase(owner) {}

TConduit::~TConduit() {
  if (Handle() != kInvalidSocket) TConduit::CloseSocket();
  ReleasePendingClose();
}

bool TConduit::OpenDebugLogs() {
  bool ok = readLog_.IsOpen() || readLog_.Open(readLogName_, TFile::Mode::Append);
  ok = (writeLog_.IsOpen() || writeLog_.Open(writeLogName_, TFile::Mode::Append)) && ok;
  return ok;
}

void TConduit::SetDebugLogNames(const std::string& readLog, const std::string& writeLog) {
  readLogName_ = readLog;
  writeLogName_ = writeLog;
}

void TConduit::CloseSocket() {
  TSocket old = handle_.exchange(kInvalidSocket, std::memory_order_acq_rel);
  if (old != kInvalidSocket) {
    // Shut the socket down now (the peer sees the close, a blocked receive or accept
    // wakes up); the descriptor itself is released once its owner is done with it.
    GWinsockIntf().shutdown(old, kSdBoth);
    TSocket previous = pendingClose_.exchange(old, std::memory_order_acq_rel);
    if (previous != kInvalidSocket) GWinsockIntf().closesocket(previous);
  }
  if (readLog_.IsOpen()) readLog_.Close();
  if (writeLog_.IsOpen()) writeLog_.Close();
}

void TConduit::Disconnect() {
  if (Connected()) CloseSocket();
}

void TConduit::ReleasePendingClose() {
  TSocket old = pendingClose_.exchange(kInvalidSocket, std::memory_order_acq_rel);
  if (old != kInvalidSocket) GWinsockIntf().closesocket(old);
}

void TConduit::AssignHandle(TSocket s) {
  if (Handle() != kInvalidSocket) CloseSocket();
  ReleasePendingClose();
  handle_.store(s, std::memory_order_release);
}

void TConduit::AllocateSocket(int32_t socketType) {
  if (Handle() != kInvalidSocket) CloseSocket();
  ReleasePendingClose();
  TSocket s = GWinsockIntf().socket(kAfInet, socketType, 0);
  if (s == kInvalidSocket) throw EConduitInvalidSocket("Cannot allocate socket.");
  AssignHandle(s);
}

void TConduit::Bind() {
  TSockAddrIn addr;
  addr.sin_family = kAfInet;
  addr.sin_port = GWinsockIntf().htons(static_cast<uint16_t>(port_));
  addr.sin_addr = kInAddrAny;
  if (!boundIP_.empty()) addr.sin_addr = GWinsockIntf().inet_addr(boundIP_);
  int rc = GWinsockIntf().bind(Handle(), &addr, sizeof addr);
  if (CheckForSocketError(rc, {kAddressInUse})) {
    throw EConduitException(std::string(kBindInUseText) + " (" +
                            (boundIP_.empty() ? std::string("0.0.0.0") : boundIP_) + ":" +
                            std::to_string(port_) + ")");
  }
}

void TConduit::AllocateSocket6(int32_t socketType) {
  if (Handle() != kInvalidSocket) CloseSocket();
  ReleasePendingClose();
  TSocket s = GWinsockIntf().socket(kAfInet6, socketType, 0);
  if (s == kInvalidSocket) throw EConduitInvalidSocket("Cannot allocate socket.");
  AssignHandle(s);
  int on = 1;
  CheckForSocketError(GWinsockIntf().setsockopt(Handle(), kIpprotoIpv6, kIpv6V6Only,
                                                reinterpret_cast<const char*>(&on), sizeof on));
}

void TConduit::Bind6(const std::string& address) {
  TSockAddrIn6 addr;
  addr.sin6_port = GWinsockIntf().htons(static_cast<uint16_t>(port_));
  if (!address.empty()) {
    auto a = ParseIpAddress(address);
    if (!a || !a->v6) RaiseSocketError(kCannotAssign);
    std::memcpy(addr.sin6_addr, a->bytes.data(), 16);
  }
  int rc = GWinsockIntf().bind6(Handle(), &addr, sizeof addr);
  if (CheckForSocketError(rc, {kAddressInUse})) {
    throw EConduitException(std::string(kBindInUseText) + " ([" +
                            (address.empty() ? std::string("::") : address) +
                            "]:" + std::to_string(port_) + ")");
  }
}

void TConduit::Listen() {
  CheckForSocketError(GWinsockIntf().listen(Handle(), kListenBacklog));
}

bool TConduit::CheckForSocketError(int64_t result, std::initializer_list<int> ignore) {
  if (result != kSocketError) return false;
  int code = GWinsockIntf().WSAGetLastError();
  if (std::find(ignore.begin(), ignore.end(), code) != ignore.end()) return true;
  RaiseSocketError(code);
}

bool TConduit::CheckForSocketError(int64_t result, const std::vector<int>& ignore) {
  if (result != kSocketError) return false;
  int code = GWinsockIntf().WSAGetLastError();
  if (std::find(ignore.begin(), ignore.end(), code) != ignore.end()) return true;
  RaiseSocketError(code);
}

void TConduit::RaiseSocketError(int code) {
  throw EConduitSocketError(GWinsockIntf().TranslateErrorMsg(code), code);
}

std::string TConduit::LocalName() {
  char buf[260] = {};
  CheckForSocketError(GWinsockIntf().gethostname(buf, sizeof buf));
  buf[sizeof buf - 1] = '\0';
  return std::string(buf);
}

const std::vector<std::string>& TConduit::LocalAddresses() {
  if (!localAddressesFilled_) {
    localAddresses_.clear();
    std::optional<THostEntry> host = GWinsockIntf().gethostbyname(LocalName());
    if (!host) CheckForSocketError(kSocketError);
    for (const auto& a : host->h_addr_list) {
      uint32_t in;
      std::memcpy(&in, a.data(), 4);
      localAddresses_.push_back(GWinsockIntf().inet_ntoa(in));
    }
    localAddressesFilled_ = true;
  }
  return localAddresses_;
}

std::string TConduit::LocalAddress() {
  const std::vector<std::string>& list = LocalAddresses();
  return list.empty() ? std::string() : list.front();
}

std::string TConduit::HostNameOf(const std::string& address) {
  if (SameTextNoCase(address, "127.0.0.1")) return "LOCALHOST";
  if (address.find(':') != std::string::npos) {
    auto a = ParseIpAddress(address);
    if (a && a->v6) {
      if (FormatIpAddress(*a) == "::1") return "LOCALHOST";
      std::optional<THostEntry> host = GWinsockIntf().gethostbyaddr(a->bytes.data(), 16, kAfInet6);
      if (host) return host->h_name;
      int code = GWinsockIntf().WSAGetLastError();
      if (code == kNoData) return "";
      RaiseSocketError(code);
    }
  }
  uint32_t in = GWinsockIntf().inet_addr(address);
  std::optional<THostEntry> host = GWinsockIntf().gethostbyaddr(&in, 4, kAfInet);
  if (host) return host->h_name;
  int code = GWinsockIntf().WSAGetLastError();
  if (code == kNoData) return "";
  RaiseSocketError(code);
}

std::string TConduit::InAddrToString(const uint8_t address[4]) {
  return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
         std::to_string(address[2]) + "." + std::to_string(address[3]);
}

std::string TConduit::InAddrToString(uint32_t networkOrderAddress) {
  uint8_t bytes[4];
  std::memcpy(bytes, &networkOrderAddress, 4);
  return InAddrToString(bytes);
}

// ---------------------------------------------------------------- TConduitSocket

TConduitSocket::TConduitSocket(TConduitBase* owner) : TConduit(owner) {}

TConduitSocket::~TConduitSocket() {
  if (Connected()) TConduitSocket::Disconnect();
}

void TConduitSocket::Disconnect() {
  peerAddress_.clear();
  if (Connected()) {
    // Replies held back, then the closing alert, both best effort.
    try {
      Flush();
    } catch (const EConduitException&) {
    }
    if (tls_ && Connected()) tls_->Close();
  }
  pending_.clear();
  if (Connected()) CloseSocket();
  tls_.reset();
}

void TConduitSocket::AllocateSocket(int32_t socketType) {
  TConduit::AllocateSocket(socketType);
  ApplyTimeouts();
}

void TConduitSocket::SetReceiveTimeout(uint32_t seconds) {
  receiveTimeout_ = seconds;
  if (Connected()) ApplyTimeouts();
}

void TConduitSocket::ApplyTimeouts() {
  TSocket s = Handle();
  if (s == kInvalidSocket) return;
  uint32_t ms =
      receiveTimeout_ > UINT32_MAX / 1000 ? UINT32_MAX / 1000 * 1000 : receiveTimeout_ * 1000;
  const char* v = reinterpret_cast<const char*>(&ms);
  GWinsockIntf().setsockopt(s, kSolSocket, kSoRcvTimeo, v, sizeof ms);
  GWinsockIntf().setsockopt(s, kSolSocket, kSoSndTimeo, v, sizeof ms);
}

void TConduitSocket::SetSendTimeoutMs(uint32_t ms) {
  TSocket s = Handle();
  if (s == kInvalidSocket) return;
  GWinsockIntf().setsockopt(s, kSolSocket, kSoSndTimeo, reinterpret_cast<const char*>(&ms),
                            sizeof ms);
}

void TConduitSocket::SetBufferChunk(int32_t value) {
  if (Connected() || Loading() || value <= 0) return;
  bufferChunk_ = value;
  size_t unread = end_ - begin_;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
    scan_ -= begin_;
    begin_ = 0;
    end_ = unread;
  }
  buffer_.resize(std::max(static_cast<size_t>(value), unread));
}

int TConduitSocket::ReceiveSome(char* buf, int len) {
  if (tls_) return tls_->Read(buf, len, receiveTimeout_);
  return GWinsockIntf().recv(Handle(), buf, len, 0);
}

int TConduitSocket::SendSome(const char* buf, int len) {
  if (tls_) return tls_->Write(buf, len);
  return GWinsockIntf().send(Handle(), buf, len, 0);
}

void TConduitSocket::FillBuffer() {
  // The peer is waiting for the replies to what it has sent so far.
  if (!pending_.empty()) Flush();
  const size_t chunk = static_cast<size_t>(bufferChunk_);
  size_t unread = end_ - begin_;
  // Move the unread bytes to the front only when that costs no more than what has been
  // consumed since, or when the space behind them has run short.
  if (begin_ > 0 && (begin_ >= unread || buffer_.size() - end_ < chunk)) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
    scan_ -= begin_;
    begin_ = 0;
    end_ = unread;
  }
  // Capacity: grow when the free space is under half the unread bytes, shrink by one
  // chunk at a time when far more is free than needed.
  size_t len = buffer_.size();
  size_t mark = unread + 1;
  size_t freeSpace = len - end_;
  if (len < mark || len - mark < mark / 2 || freeSpace == 0) {
    buffer_.resize(len + chunk);
  } else if (begin_ == 0 && len - mark > 2 * chunk && len - chunk > chunk) {
    buffer_.resize(len - chunk);
  }
  size_t room = buffer_.size() - end_;
  if (room > static_cast<size_t>(INT_MAX)) room = INT_MAX;
  const TSocket s = Handle();
  int n = ReceiveSome(buffer_.data() + end_, static_cast<int>(room));
  if (n == 0 && s != kInvalidSocket && Handle() == kInvalidSocket) {
    // Another thread closed the connection (a listener stopping its sessions) while the
    // receive waited: that is a failure of this session, not the peer saying goodbye.
    RaiseSocketError(kInterrupted);
  }
  closedGracefully_ = (n == 0);
  if (n != 0) {
    if (CheckForSocketError(n, {kShutDown})) {
      n = 0;
      if (Connected()) Disconnect();
      if (end_ == begin_) RaiseSocketError(kShutDown);
    } else {
      int64_t total = static_cast<int64_t>(workCount_) + n;
      if (total > INT32_MAX) {
        // The running total wraps instead of overflowing.
        total = n;
        lastKilobyte_ = 0;
      }
      DoWork(static_cast<int32_t>(total));
      if (asciiFilter_) {
        for (int i = 0; i < n; ++i) buffer_[end_ + static_cast<size_t>(i)] &= 0x7f;
      }
      end_ += static_cast<size_t>(n);
    }
  }
  CheckForDisconnect();
}

void TConduitSocket::CheckForDisconnect() {
  if (!closedGracefully_) return;
  if (Connected()) Disconnect();
  if (end_ == begin_) throw EConduitConnClosedGraceful("Connection Closed Gracefully.");
}

std::string TConduitSocket::ExtractFromBuffer(size_t count) {
  if (count > end_ - begin_) throw Exception("Not enough data in buffer.");
  std::string out = buffer_.substr(begin_, count);
  begin_ += count;
  if (begin_ == end_) begin_ = end_ = 0;
  scan_ = begin_;
  return out;
}

size_t TConduitSocket::FindTerminator() {
  const size_t termLen = lineTerminator_.size();
  size_t from = std::max(scan_, begin_);
  std::string_view unread(buffer_.data() + from, end_ - from);
  size_t p = unread.find(lineTerminator_);
  if (p != std::string_view::npos) {
    scan_ = from + p;
    return from + p;
  }
  // A terminator split across receives starts in the last termLen - 1 bytes.
  size_t keep = std::min(termLen - 1, end_ - begin_);
  scan_ = std::max(begin_, end_ - keep);
  return std::string::npos;
}

std::string TConduitSocket::ReadLn() {
  lastLineTooLong_ = false;
  const size_t termLen = lineTerminator_.size();
  const size_t maxLen =
      maxLineLength_ == 0 ? std::numeric_limits<size_t>::max() : size_t{maxLineLength_};
  for (;;) {
    size_t p = FindTerminator();
    if (p != std::string::npos) {
      size_t lineLen = p - begin_;
      std::string line = ExtractFromBuffer(lineLen + termLen);
      if (lineLen > maxLen) {
        lastLineTooLong_ = true;
        line.resize(maxLen);
      } else {
        line.resize(lineLen);
      }
      return line;
    }
    size_t unread = end_ - begin_;
    if (unread >= termLen && unread - (termLen - 1) > maxLen) {
      // The line is longer than may be held: keep its head, drop the rest as it comes.
      std::string line = buffer_.substr(begin_, maxLen);
      ExtractFromBuffer(unread - (termLen - 1));
      lastLineTooLong_ = true;
      DiscardRestOfLine();
      return line;
    }
    readLogMark_ = static_cast<int32_t>(std::min<size_t>(unread, INT32_MAX - 1) + 1);
    FillBuffer();
    DoDebugRead();
  }
}

void TConduitSocket::DiscardRestOfLine() {
  const size_t termLen = lineTerminator_.size();
  for (;;) {
    readLogMark_ = static_cast<int32_t>(std::min<size_t>(end_ - begin_, INT32_MAX - 1) + 1);
    FillBuffer();
    DoDebugRead();
    size_t p = FindTerminator();
    if (p != std::string::npos) {
      ExtractFromBuffer(p - begin_ + termLen);
      return;
    }
    size_t unread = end_ - begin_;
    if (unread >= termLen) ExtractFromBuffer(unread - (termLen - 1));
  }
}

std::string TConduitSocket::ReadLnSkipEmpty() {
  for (;;) {
    std::string line = TrimControls(ReadLn());
    if (!line.empty()) return line;
  }
}

void TConduitSocket::ReceiveMore(uint32_t waitMs) {
  const TSocket s = Handle();
  const bool narrowed = waitMs != 0 && s != kInvalidSocket && !tls_;
  if (narrowed)
    GWinsockIntf().setsockopt(s, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&waitMs),
                              sizeof waitMs);
  readLogMark_ = static_cast<int32_t>(std::min<size_t>(end_ - begin_, INT32_MAX - 1) + 1);
  try {
    FillBuffer();
  } catch (...) {
    if (narrowed) ApplyTimeouts();
    throw;
  }
  if (narrowed) ApplyTimeouts();
  DoDebugRead();
}

void TConduitSocket::Skip(size_t count) {
  begin_ += std::min(count, end_ - begin_);
  if (begin_ == end_) begin_ = end_ = 0;
  scan_ = begin_;
}

std::string TConduitSocket::ReadBuffer(int32_t count) {
  if (count <= 0) return std::string();
  const size_t want = static_cast<size_t>(count);
  while (end_ - begin_ < want) FillBuffer();
  readLogMark_ = static_cast<int32_t>(std::min<size_t>(end_ - begin_, INT32_MAX - 1) + 1);
  DoDebugRead();
  return ExtractFromBuffer(want);
}

void TConduitSocket::Write(const std::string& data) {
  if (!pending_.empty()) Flush();
  SendAll(data);
}

void TConduitSocket::Flush() {
  if (pending_.empty()) return;
  std::string out;
  out.swap(pending_);
  SendAll(out);
}

void TConduitSocket::StartTls(std::shared_ptr<const TTlsServerContext> context) {
  Flush();
  // Bytes sent after the request and before the handshake are never read as commands.
  begin_ = end_ = scan_ = 0;
  auto channel = std::make_unique<TTlsChannel>(std::move(context), Handle());
  try {
    channel->Accept(receiveTimeout_);
  } catch (...) {
    ApplyTimeouts();
    throw;
  }
  ApplyTimeouts();
  tls_ = std::move(channel);
}

void TConduitSocket::SendAll(const std::string& data) {
  using Clock = std::chrono::steady_clock;
  if (data.empty()) return;
  if (!Connected()) throw EConduitClosedSocket("Socket is closed, cannot write");
  // The time-out bounds the whole write, however slowly the peer takes it: each send
  // waits only for what is left of it. A peer that already let a write run out of time
  // gets one short try.
  const bool timed = receiveTimeout_ != 0;
  const auto limit = std::chrono::milliseconds(
      sendTimedOut_ ? 1 : std::min<uint64_t>(receiveTimeout_, UINT32_MAX / 1000) * 1000);
  const Clock::time_point deadline = Clock::now() + limit;
  bool narrowed = false;
  size_t pos = 0;
  try {
    while (pos < data.size()) {
      if (timed && (pos > 0 || sendTimedOut_)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
          sendTimedOut_ = true;
          RaiseSocketError(kTimedOut);
        }
        SetSendTimeoutMs(static_cast<uint32_t>(left.count()));
        narrowed = true;
      }
      writeMark_ = static_cast<int32_t>(std::min<size_t>(pos, INT32_MAX - 1) + 1);
      size_t left = std::min<size_t>(data.size() - pos, INT_MAX);
      int n = SendSome(data.data() + pos, static_cast<int>(left));
      if (n == kSocketError && GWinsockIntf().WSAGetLastError() == kTimedOut) sendTimedOut_ = true;
      closedGracefully_ = (n == 0);
      DoDebugWrite(data, n);
      CheckForDisconnect();
      if (CheckForSocketError(n, {kShutDown})) {
        Disconnect();
        RaiseSocketError(kShutDown);
      }
      pos += static_cast<size_t>(n);
    }
  } catch (...) {
    if (narrowed && !sendTimedOut_) ApplyTimeouts();
    throw;
  }
  if (narrowed && !sendTimedOut_) ApplyTimeouts();
}

void TConduitSocket::WriteLn(const std::string& text) {
  if (!coalesce_) {
    Write(text + lineTerminator_);
    return;
  }
  if (!Connected()) throw EConduitClosedSocket("Socket is closed, cannot write");
  pending_ += text;
  pending_ += lineTerminator_;
  if (pending_.size() >= kCoalesceLimit) Flush();
}

int16_t TConduitSocket::GetResponse() {
  responseLines_.clear();
  std::string line = ReadLnSkipEmpty();
  if (capture_ != nullptr) *capture_ << "I: " << line << "\r\n";
  if (line.size() > 3 && line[3] == '-') {
    std::string endMarker = line.substr(0, 3) + " ";
    responseLines_.push_back(line);
    do {
      line = ReadLnSkipEmpty();
      if (capture_ != nullptr) *capture_ << "I: " << line << "\r\n";
      responseLines_.push_back(line);
    } while (line.compare(0, 4, endMarker) != 0);
  }
  lastResponse_ = line;
  if (line.compare(0, 3, "+OK") == 0) {
    resultCode_ = 1;
  } else if (line.compare(0, 4, "-ERR") == 0) {
    resultCode_ = 0;
  } else {
    // The first three characters (fewer on a shorter line) as a signed decimal number.
    const std::string head = line.substr(0, 3);
    size_t i = (!head.empty() && (head[0] == '+' || head[0] == '-')) ? 1 : 0;
    bool digits = i < head.size();
    int code = 0;
    for (size_t k = i; digits && k < head.size(); ++k) {
      if (head[k] < '0' || head[k] > '9') {
        digits = false;
      } else {
        code = code * 10 + (head[k] - '0');
      }
    }
    if (i == 1 && head[0] == '-') code = -code;
    resultCode_ = static_cast<int16_t>(digits ? code : 0);
  }
  return resultCode_;
}

int16_t TConduitSocket::SendCmd(const std::string& cmd, int16_t expected, uint8_t indent,
                                const std::string& statusText) {
  if (!cmd.empty()) {
    if (capture_ != nullptr) *capture_ << "O: " << cmd;
    WriteLn(cmd);
  }
  GetResponse();
  if (expected > -1 && resultCode_ != expected) throw EConduitResponseError(lastResponse_);
  std::string pad(2 * static_cast<size_t>(indent), ' ');
  if (statusText == "*") {
    DoStatus(pad + lastResponse_);
  } else if (!statusText.empty()) {
    DoStatus(pad + statusText);
  }
  return resultCode_;
}

void TConduitSocket::DoStatus(const std::string& text) {
  if (!OnStatus) return;
  try {
    OnStatus(this, text);
  } catch (const Exception& e) {
    e.RaiseWithMessage(e.Message() + " occurred in user's OnStatus Event.");
  } catch (const std::exception& e) {
    throw Exception(std::string(e.what()) + " occurred in user's OnStatus Event.");
  }
}

void TConduitSocket::DoWork(int32_t count) {
  workCount_ = count;
  if (workSize_ == -2) return;
  if (count != -1 && count / 1024 <= lastKilobyte_) return;
  lastKilobyte_ = count / 1024;
  if (OnWork) OnWork(this, count, workSize_);
}

void TConduitSocket::DoDebugWrite(const std::string& data, int32_t count) {
  if ((DebugFlags() & 2u) == 0) return;
  if (OnDebugWrite) OnDebugWrite(this);
  if (writeLog_.IsOpen() && count > 0) {
    size_t from = static_cast<size_t>(writeMark_ - 1);
    if (from < data.size()) {
      writeLog_.Write(data.data() + from, std::min(static_cast<size_t>(count), data.size() - from));
    }
  }
}

void TConduitSocket::DoDebugRead() {
  if ((DebugFlags() & 1u) == 0) return;
  if (OnDebugRead) OnDebugRead(this);
  size_t seen = static_cast<size_t>(readLogMark_ - 1);
  size_t unread = end_ - begin_;
  if (readLog_.IsOpen() && unread > seen) {
    readLog_.Write(buffer_.data() + begin_ + seen, unread - seen);
  }
}

}  // namespace kestran
