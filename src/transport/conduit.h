#pragma once
// The buffered connection: a TCP socket with a receive buffer, line reading, whole-string
// writing and the mapping of socket failures to exceptions.
//
// TConduitBase -> TConduit (socket handle, port, bound address, bind and listen, local-host
// lookups) -> TConduitSocket (buffered input and output) -> TConduitServer (server_conduit.h).
//
// A connection is used by one thread at a time. The one call allowed from another thread
// is Disconnect(): it shuts the socket down at once, which wakes a receive blocked in the
// owning thread, and releases the descriptor when the owner is done with it (next
// AllocateSocket/SetHandle, or destruction), so a descriptor number is never reused while
// the owning thread may still use it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/sockets.h"
#include "transport/conduit_errors.h"

namespace kestran {

class TConduitBase;
class TConduitSocket;
class TTlsChannel;
class TTlsServerContext;

using TStringEvent = std::function<void(TConduitBase* sender, const std::string& sOut)>;
using TProgressEvent =
    std::function<void(TConduitBase* sender, int32_t plWork, int32_t plWorkSize)>;
using TDebugWriteEvent = std::function<void(TConduitSocket* sender)>;

// The text of a bind refused because the address and port are taken; the address and
// port follow it in parentheses, "(0.0.0.0:25)" or "([::]:25)".
inline constexpr const char* kBindInUseText =
    "Could not bind socket. Address and port are already in use.";

// A component with an optional owner (not owned by it).
class TConduitBase {
 public:
  explicit TConduitBase(TConduitBase* owner = nullptr) : owner_(owner) {}
  TConduitBase(const TConduitBase&) = delete;
  TConduitBase& operator=(const TConduitBase&) = delete;
  virtual ~TConduitBase() = default;
  TConduitBase* Owner() const { return owner_; }

  // Loading from a stored description: while loading, some setters only store values;
  // Loaded() is the after-loading notification.
  void BeginLoading() { loading_ = true; }
  virtual void Loaded() { loading_ = false; }
  bool Loading() const { return loading_; }

 private:
  TConduitBase* owner_;
  bool loading_ = false;
};

class TConduit : public TConduitBase {
 public:
  static constexpr int kListenBacklog = 4096;

  explicit TConduit(TConduitBase* owner = nullptr);
  ~TConduit() override;

  int32_t Port() const { return port_; }
  void SetPort(int32_t value) { port_ = value; }
  const std::string& BoundIP() const { return boundIP_; }
  void SetBoundIP(const std::string& value) { boundIP_ = value; }
  TSocket Handle() const { return handle_.load(std::memory_order_acquire); }
  uint32_t DebugFlags() const { return debugFlags_; }
  void SetDebugFlags(uint32_t value) { debugFlags_ = value; }
  // Opens the read-side and write-side debug log files ("C:\CONDUITR.LOG",
  // "C:\CONDUITW.LOG" unless renamed) for appending; false if one cannot be opened.
  bool OpenDebugLogs();
  void SetDebugLogNames(const std::string& readLog, const std::string& writeLog);
  static const char* Version() { return "7.037B"; }

  virtual bool Connected() const { return Handle() != kInvalidSocket; }
  // Sets Handle to -1 first, then closes the old socket (see the class comment).
  virtual void CloseSocket();
  virtual void Disconnect();

  // Closes any open socket, then opens a new IPv4 socket of the given type (1 = stream).
  virtual void AllocateSocket(int32_t socketType);
  // Binds Handle to BoundIP:Port (any address when BoundIP is empty).
  void Bind();
  // Closes any open socket, then opens a new IPv6 socket of the given type, which takes
  // IPv6 only.
  void AllocateSocket6(int32_t socketType);
  // Binds that socket to address:Port (every local IPv6 address when address is empty).
  // An address that is no IPv6 address raises "Can't assign requested address." (10049).
  void Bind6(const std::string& address);
  // Listening state. The queue of connections not yet accepted holds kListenBacklog
  // (the system may cap it): a queue of 5 made clients that arrive together wait
  // seconds for their SYN to be retried, and a burst of clients could be turned away.
  void Listen();

  // False when result is not -1; true when the thread's last socket error is in ignore;
  // raises EConduitSocketError otherwise.
  static bool CheckForSocketError(int64_t result, std::initializer_list<int> ignore = {});
  static bool CheckForSocketError(int64_t result, const std::vector<int>& ignore);
  [[noreturn]] static void RaiseSocketError(int code);

  std::string LocalName();
  // The machine's IPv4 addresses in dotted form, looked up on first use.
  const std::vector<std::string>& LocalAddresses();
  std::string LocalAddress();
  // "LOCALHOST" for 127.0.0.1 and ::1; IPv6 addresses are looked up under ip6.arpa; "" when the
  // reverse lookup finds no data (11004); raises EConduitSocketError for other lookup failures.
  static std::string HostNameOf(const std::string& address);
  // Four bytes in network order to dotted decimal.
  static std::string InAddrToString(const uint8_t address[4]);
  static std::string InAddrToString(uint32_t networkOrderAddress);

 protected:
  // Makes s the open socket (releasing a socket left from an earlier Disconnect).
  void AssignHandle(TSocket s);
  // Releases a descriptor left by an earlier Disconnect.
  void ReleasePendingClose();

  TFile readLog_;
  TFile writeLog_;
  int32_t readLogMark_ = 1;
  int32_t writeMark_ = 1;

 private:
  int32_t port_ = 0;
  std::string boundIP_;
  bool localAddressesFilled_ = false;
  std::vector<std::string> localAddresses_;
  std::atomic<TSocket> handle_{kInvalidSocket};
  std::atomic<TSocket> pendingClose_{kInvalidSocket};
  uint32_t debugFlags_ = 0;
  std::string readLogName_ = "C:\\CONDUITR.LOG";
  std::string writeLogName_ = "C:\\CONDUITW.LOG";
};

class TConduitSocket : public TConduit {
 public:
  explicit TConduitSocket(TConduitBase* owner = nullptr);
  ~TConduitSocket() override;

  // Clears PeerAddress, then closes the socket if connected.
  void Disconnect() override;

  // The next line without its terminator. With a MaxLineLength set, a longer line is cut
  // to its first MaxLineLength bytes (the rest, up to and including the terminator, is
  // read and discarded) and LastLineTooLong() is true until the next ReadLn.
  std::string ReadLn();
  // ReadLn until the trimmed line is not empty; returns the trimmed line.
  std::string ReadLnSkipEmpty();
  // Exactly count bytes.
  virtual std::string ReadBuffer(int32_t count);
  // Sends every byte (after any replies still held back by coalescing).
  void Write(const std::string& data);
  void WriteLn(const std::string& text);

  // Coalescing: WriteLn holds lines back until the connection needs more input (the
  // peer has sent no further complete line), Flush or Disconnect, so that the replies to
  // a pipelined group leave together. Order and bytes are unchanged. Off by default.
  bool CoalesceWrites() const { return coalesce_; }
  void SetCoalesceWrites(bool value) { coalesce_ = value; }
  // Sends the lines held back.
  void Flush();

  // Turns the connection into a TLS server channel: sends what is held back, drops every
  // received byte not yet read (the peer may send nothing between its request and the
  // handshake), then completes the handshake within ReceiveTimeout. Reads and writes go
  // through the channel afterwards. Raises EConduitSocketError or EConduitTlsError (the
  // connection then is of no further use).
  void StartTls(std::shared_ptr<const TTlsServerContext> context);
  bool TlsActive() const { return tls_ != nullptr; }
  // The channel once StartTls succeeded (nullptr before).
  const TTlsChannel* Tls() const { return tls_.get(); }
  int16_t GetResponse();
  virtual int16_t SendCmd(const std::string& cmd, int16_t expected = -1, uint8_t indent = 0,
                          const std::string& statusText = "");

  bool LastLineTooLong() const { return lastLineTooLong_; }
  uint32_t MaxLineLength() const { return maxLineLength_; }
  // 0 (the default) = no limit.
  void SetMaxLineLength(uint32_t value) { maxLineLength_ = value; }
  // Seconds a receive may wait, and a whole Write (0, the default = no limit); a silent peer
  // or one that does not read surfaces as EConduitSocketError 10060. Once a Write has timed
  // out, later writes on the connection (a last reply before closing) do not wait again.
  // Applies to the open socket at once.
  uint32_t ReceiveTimeout() const { return receiveTimeout_; }
  void SetReceiveTimeout(uint32_t seconds);

  const std::string& PeerAddress() const { return peerAddress_; }
  void SetPeerAddress(const std::string& value) { peerAddress_ = value; }
  bool ClosedGracefully() const { return closedGracefully_; }
  const std::string& LineTerminator() const { return lineTerminator_; }
  void SetLineTerminator(const std::string& value) {
    if (!value.empty()) lineTerminator_ = value;
  }
  bool ASCIIFilter() const { return asciiFilter_; }
  void SetASCIIFilter(bool value) { asciiFilter_ = value; }
  bool UseNagle() const { return useNagle_; }
  void SetUseNagle(bool value) { useNagle_ = value; }
  const std::string& LogFile() const { return logFile_; }
  void SetLogFile(const std::string& value) { logFile_ = value; }
  int32_t BufferChunk() const { return bufferChunk_; }
  // Ignored while connected or loading; unread bytes are kept.
  void SetBufferChunk(int32_t value);
  int32_t WorkSize() const { return workSize_; }
  // -2 switches work reporting off.
  void SetWorkSize(int32_t value) { workSize_ = value; }
  int16_t ResultCode() const { return resultCode_; }
  const std::string& LastResponse() const { return lastResponse_; }
  const std::vector<std::string>& ResponseLines() const { return responseLines_; }
  // SendCmd and GetResponse copy their traffic here when set (not owned).
  void SetCaptureStream(std::ostream* stream) { capture_ = stream; }
  // Number of received bytes not read yet.
  size_t UnreadCount() const { return end_ - begin_; }
  // The received bytes not read yet; valid until the next read.
  std::string_view Unread() const { return {buffer_.data() + begin_, end_ - begin_}; }
  // One receive into the buffer, waiting at most waitMs (0: ReceiveTimeout). Fails as a
  // read does: EConduitSocketError 10060 when nothing came in time,
  // EConduitConnClosedGraceful when the peer closed and nothing is left unread.
  void ReceiveMore(uint32_t waitMs);
  // Drops the first count unread bytes (all of them when there are fewer).
  void Skip(size_t count);

  TStringEvent OnStatus;
  TProgressEvent OnWork;
  TDebugWriteEvent OnDebugWrite;
  TDebugWriteEvent OnDebugRead;

  virtual void DoStatus(const std::string& text);
  virtual void DoWork(int32_t count);
  virtual void DoDebugWrite(const std::string& data, int32_t count);
  virtual void DoDebugRead();

  // Also applies the receive/send time-out to the new socket.
  void AllocateSocket(int32_t socketType) override;

 protected:
  // Applies the receive/send time-out to the open socket.
  void ApplyTimeouts();
  // Sets the open socket's send time-out alone.
  void SetSendTimeoutMs(uint32_t ms);

 private:
  void FillBuffer();
  // One receive or send, through the TLS channel when there is one.
  int ReceiveSome(char* buf, int len);
  int SendSome(const char* buf, int len);
  void SendAll(const std::string& data);
  void CheckForDisconnect();
  std::string ExtractFromBuffer(size_t count);
  // Position of the first terminator in the unread bytes at or after begin_, or npos.
  size_t FindTerminator();
  void DiscardRestOfLine();

  bool closedGracefully_ = false;
  bool useNagle_ = true;
  std::string logFile_;
  std::string lineTerminator_ = "\r\n";
  bool asciiFilter_ = false;
  int16_t resultCode_ = 0;
  int32_t lastKilobyte_ = 0;
  int32_t bufferChunk_ = 8192;
  int32_t workCount_ = 0;
  int32_t workSize_ = 0;
  std::ostream* capture_ = nullptr;
  std::string peerAddress_;
  std::string lastResponse_;
  std::vector<std::string> responseLines_;
  uint32_t maxLineLength_ = 0;
  uint32_t receiveTimeout_ = 0;
  bool lastLineTooLong_ = false;
  bool sendTimedOut_ = false;  // a Write ran out of time: the peer does not read
  // Receive buffer: unread bytes are buffer_[begin_, end_); buffer_.size() is the
  // allocated length. scan_ is where the terminator search resumes.
  std::string buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  size_t scan_ = 0;
  // Replies held back while coalescing.
  bool coalesce_ = false;
  std::string pending_;
  std::unique_ptr<TTlsChannel> tls_;
};

}  // namespace kestran
