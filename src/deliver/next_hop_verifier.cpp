#include "deliver/next_hop_verifier.h"

#include <algorithm>
#include <chrono>
#include <functional>

#include "deliver/hop_dialogue.h"

namespace kestran {

namespace {

// An address that can be put into a command line as it is.
bool Sendable(const std::string& address) {
  if (address.empty() || address.size() > 1000) return false;
  for (unsigned char c : address)
    if (c < 32 || c == 127) return false;
  return true;
}

}  // namespace

struct TNextHopVerifier::TSession {
  explicit TSession(int timeoutMs) : conn(timeoutMs) {}
  TPeerConnection conn;
  TReplyParser parser;
  bool pipelining = false;  // the hop offered PIPELINING: a question is one round trip

  // One whole reply; a reply of class 3, or lines that are no reply, end the connection.
  TReply Read(const std::function<void(const std::string&)>& eachLine = nullptr) {
    TReply reply = ReadHopReply(conn, parser, eachLine);
    if (reply.code / 100 == 3) throw EPeerProtocolError("a reply of class 3: " + reply.text);
    return reply;
  }
  TReply Command(const std::string& line) {
    if (conn.InputPending()) throw EPeerProtocolError("a reply while no command was outstanding");
    conn.Write(line + "\r\n");
    return Read();
  }
};

TNextHopVerifier::TNextHopVerifier(TNextHop hop, std::string heloName, int timeoutMs,
                                   size_t poolSize)
    : hop_(std::move(hop)),
      heloName_(std::move(heloName)),
      timeoutMs_(timeoutMs),
      poolSize_(std::max<size_t>(1, poolSize)) {}

TNextHopVerifier::~TNextHopVerifier() {
  std::lock_guard<std::mutex> g(lock_);
  for (auto& s : idle_) {
    try {
      s->conn.SetTimeout(std::min(timeoutMs_, 1000));
      s->conn.StartClock();
      s->conn.Write("QUIT\r\n");
    } catch (const Exception&) {
    }
  }
  idle_.clear();
}

std::unique_ptr<TNextHopVerifier::TSession> TNextHopVerifier::Take(int timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (idle_.empty() && busy_ >= poolSize_)
    if (freed_.wait_until(g, until) == std::cv_status::timeout && idle_.empty() &&
        busy_ >= poolSize_)
      return nullptr;
  ++busy_;
  if (idle_.empty()) return std::make_unique<TSession>(timeoutMs_);
  auto s = std::move(idle_.back());
  idle_.pop_back();
  return s;
}

void TNextHopVerifier::Give(std::unique_ptr<TSession> session) {
  {
    std::lock_guard<std::mutex> g(lock_);
    --busy_;
    if (session && session->conn.IsOpen()) idle_.push_back(std::move(session));
  }
  freed_.notify_one();
}

void TNextHopVerifier::Open(TSession& s) {
  ConnectToHop(s.conn, hop_);
  opened_.fetch_add(1);
  s.conn.StartClock();
  const TReply greeting = s.Read();
  if (!greeting.Success()) throw EPeerError("greeting refused: " + greeting.text);
  const bool lmtp = hop_.kind == TNextHop::Kind::Lmtp;
  s.conn.Write((lmtp ? "LHLO " : "EHLO ") + heloName_ + "\r\n");
  THopExtensions ext;
  bool first = true;
  const TReply hello = s.Read([&](const std::string& line) {
    if (!first) ext.TakeLine(line);
    first = false;
  });
  s.pipelining = ext.pipelining;
  const uint64_t limit = ext.sizeLimit;
  if (!hello.Success()) {
    if (lmtp || !hello.Permanent()) throw EPeerError("greeting refused: " + hello.text);
    // A hop without EHLO is asked after HELO; it names no size.
    s.pipelining = false;
    if (!s.Command("HELO " + heloName_).Success()) throw EPeerError("HELO refused");
    sizeLimit_.store(0);
    return;
  }
  sizeLimit_.store(limit);
}

TVerifyAnswer TNextHopVerifier::Ask(TSession& s, const std::string& address) {
  s.conn.StartClock();  // one deadline for the question
  TReply mail, rcpt, rset;
  if (s.pipelining) {
    // The three commands in one write: one round trip to the hop.
    if (s.conn.InputPending()) throw EPeerProtocolError("a reply while no command was outstanding");
    s.conn.Write("MAIL FROM:<>\r\nRCPT TO:<" + address + ">\r\nRSET\r\n");
    mail = s.Read();
    rcpt = s.Read();
    rset = s.Read();
  } else {
    mail = s.Command("MAIL FROM:<>");
    if (mail.Success()) rcpt = s.Command("RCPT TO:<" + address + ">");
    rset = s.Command("RSET");
  }
  if (!rset.Success()) s.conn.Close();
  if (!mail.Success()) return TVerifyAnswer::Unknown;
  if (rcpt.Success()) return TVerifyAnswer::Valid;
  if (rcpt.Permanent()) return TVerifyAnswer::Invalid;
  return TVerifyAnswer::Unknown;
}

TVerifyAnswer TNextHopVerifier::Verify(const std::string& address) {
  if (hop_.kind == TNextHop::Kind::Sendmail || !Sendable(address)) return TVerifyAnswer::Unknown;
  std::unique_ptr<TSession> s = Take(timeoutMs_);
  if (!s) return TVerifyAnswer::Unknown;
  TVerifyAnswer answer = TVerifyAnswer::Unknown;
  // A kept connection the hop has closed meanwhile is opened again once.
  const bool wasOpen = s->conn.IsOpen();
  for (int attempt = 0; attempt < (wasOpen ? 2 : 1); ++attempt) {
    try {
      if (!s->conn.IsOpen() || attempt > 0) Open(*s);
      answer = Ask(*s, address);
      break;
    } catch (const Exception&) {
      s->conn.Close();
      answer = TVerifyAnswer::Unknown;
    }
  }
  Give(std::move(s));
  return answer;
}

}  // namespace kestran
