#include "deliver/smtp_transport.h"

#include <map>

#include "deliver/delivery_state.h"

namespace kestran {

namespace {

constexpr size_t kBodyBlock = 64 * 1024;

}  // namespace

TSmtpTransport::TSmtpTransport(TNextHop hop, TTransportOptions options)
    : hop_(std::move(hop)),
      options_(std::move(options)),
      conn_(options_.timeoutMs),
      lmtp_(hop_.kind == TNextHop::Kind::Lmtp) {}

TSmtpTransport::~TSmtpTransport() {
  Close();
}

void TSmtpTransport::Close() {
  if (open_) {
    try {
      conn_.SetTimeout(std::min(options_.timeoutMs, 5000));
      Command("QUIT\r\n");
      ReadReply();
    } catch (const Exception&) {
    }
  }
  conn_.Close();
  open_ = false;
}

TReply TSmtpTransport::ReadReply(bool allow354) {
  parser_.Reset();
  conn_.StartClock();
  TReply reply = ReadHopReply(conn_, parser_);
  if (reply.code / 100 == 3 && !(allow354 && reply.code == 354))
    throw EPeerProtocolError("a reply of class 3 where none was due: " + reply.text);
  if (allow354 && reply.code / 100 == 2)
    throw EPeerProtocolError("DATA answered without 354: " + reply.text);
  if (reply.code == 421) peerClosing_ = true;
  return reply;
}

void TSmtpTransport::Command(const std::string& line) {
  if (conn_.InputPending()) throw EPeerProtocolError("a reply while no command was outstanding");
  conn_.StartClock();
  conn_.Write(line);
}

void TSmtpTransport::Hello() {
  const std::string verb = lmtp_ ? "LHLO " : "EHLO ";
  Command(verb + options_.heloName + "\r\n");
  // The lines after the first name the extensions.
  ext_ = THopExtensions{};
  conn_.StartClock();
  bool first = true;
  const TReply reply = ReadHopReply(conn_, parser_, [&](const std::string& line) {
    if (!first) ext_.TakeLine(line);
    first = false;
  });
  if (reply.code / 100 == 3) throw EPeerProtocolError("a reply of class 3 to " + verb + reply.text);
  if (reply.Success()) return;
  // A peer that does not know EHLO is asked with HELO (SMTP only).
  if (lmtp_ || !reply.Permanent()) throw EPeerError("greeting refused: " + reply.text);
  ext_ = THopExtensions{};
  Command("HELO " + options_.heloName + "\r\n");
  const TReply helo = ReadReply();
  if (!helo.Success()) throw EPeerError("HELO refused: " + helo.text);
}

void TSmtpTransport::Open() {
  conn_.Close();
  conn_.SetTimeout(options_.timeoutMs);
  ConnectToHop(conn_, hop_);
  peerClosing_ = false;
  const TReply greeting = ReadReply();
  if (!greeting.Success()) throw EPeerError("greeting refused: " + greeting.text);
  Hello();
  const bool plainForNow = tlsFailedAt_ && std::chrono::steady_clock::now() - *tlsFailedAt_ <
                                               std::chrono::seconds(options_.tlsRetrySeconds);
  if (ext_.startTls && !conn_.Secure() && (options_.tlsVerify || !plainForNow)) {
    Command("STARTTLS\r\n");
    const TReply r = ReadReply();
    if (r.code == 220) {
      try {
        conn_.StartTls(hop_.host.empty() ? "localhost" : hop_.host, options_.tlsVerify);
      } catch (const EPeerError&) {
        // Opportunistic TLS that fails is given up for a while: the next connections go
        // in plain text, and a later one tries again. A checked one is never given up.
        if (!options_.tlsVerify) tlsFailedAt_ = std::chrono::steady_clock::now();
        throw;
      }
      tlsFailedAt_.reset();
      Hello();
    } else if (options_.tlsVerify) {
      throw EPeerError("STARTTLS refused: " + r.text);
    }
  }
  open_ = true;
  used_ = false;
}

void TSmtpTransport::SendBody(TMessageToSend& message) {
  // The hop takes each 64 KiB of the message within the time-out, or the transfer ends.
  size_t sinceClock = 0;
  conn_.StartClock();
  const bool read =
      EncodeBody(message.read, message.size, TBodyMode::Data, [&](const char* p, size_t n) {
        while (n > 0) {
          if (sinceClock >= kBodyBlock) {
            conn_.StartClock();
            sinceClock = 0;
          }
          const size_t piece = std::min(n, kBodyBlock - sinceClock);
          conn_.Write(p, piece);
          p += piece;
          n -= piece;
          sinceClock += piece;
        }
        return true;
      });
  if (!read) throw EPeerError("the message file could not be read");
}

void TSmtpTransport::Transaction(TMessageToSend& message,
                                 std::vector<std::optional<TReply>>& replies) {
  // Each address is asked for once; a recipient listed again shares the first one's reply.
  std::vector<size_t> first(message.recipients.size());
  std::vector<size_t> distinct;
  {
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < message.recipients.size(); ++i) {
      auto [it, inserted] = seen.emplace(message.recipients[i], i);
      first[i] = it->second;
      if (inserted) distinct.push_back(i);
    }
  }
  auto answerAll = [&](size_t i, const TReply& r) {
    for (size_t j = 0; j < first.size(); ++j)
      if (first[j] == i && !replies[j]) replies[j] = r;
  };

  // What the hop cannot take is refused here, before any transaction.
  bool utf8 = NeedsUtf8(message.sender);
  for (const auto& r : message.recipients) utf8 = utf8 || NeedsUtf8(r);
  if (utf8 && !ext_.smtpUtf8) {
    const TReply refused{553,
                         "553 5.6.7 The address needs SMTPUTF8, which the next hop does not offer"};
    for (size_t i : distinct) answerAll(i, refused);
    return;
  }
  if (ext_.sizeLimit > 0 && message.size > ext_.sizeLimit) {
    const TReply refused{552, "552 5.3.4 The message (" + std::to_string(message.size) +
                                  " octets) is larger than the next hop takes (" +
                                  std::to_string(ext_.sizeLimit) + " octets)"};
    for (size_t i : distinct) answerAll(i, refused);
    return;
  }

  std::string mail = "MAIL FROM:<" + message.sender + ">";
  if (ext_.sizeOffered) mail += " SIZE=" + std::to_string(message.size);
  if (message.eightBit && ext_.eightBitMime) mail += " BODY=8BITMIME";
  if (utf8) mail += " SMTPUTF8";
  std::vector<std::string> commands;
  commands.push_back(mail + "\r\n");
  for (size_t i : distinct) commands.push_back("RCPT TO:<" + message.recipients[i] + ">\r\n");
  commands.push_back("DATA\r\n");

  if (ext_.pipelining) {
    std::string all;
    for (const auto& c : commands) all += c;
    Command(all);
  }
  auto send = [&](size_t n) {
    if (!ext_.pipelining) Command(commands[n]);
  };

  send(0);
  const TReply mailReply = ReadReply();
  std::vector<size_t> accepted;
  for (size_t k = 0; k < distinct.size(); ++k) {
    if (!mailReply.Success() && !ext_.pipelining) {
      answerAll(distinct[k], mailReply);
      continue;
    }
    send(k + 1);
    TReply rcpt = ReadReply();
    rcpt.atRcpt = true;
    if (!mailReply.Success())
      answerAll(distinct[k], mailReply);
    else if (rcpt.Success())
      accepted.push_back(distinct[k]);
    else
      answerAll(distinct[k], rcpt);
  }
  if (accepted.empty() && !ext_.pipelining) return;  // the next message starts with RSET
  send(commands.size() - 1);
  const TReply data = ReadReply(true);
  // Every command of the group has its reply now; one more is a hop out of step.
  if (conn_.HasBufferedInput()) throw EPeerProtocolError("more replies than commands");
  if (data.code != 354) {
    for (size_t i : accepted) answerAll(i, data);
    return;
  }
  if (accepted.empty()) {
    // A peer that opened the data for no recipient gets an empty message, never this one.
    Command(".\r\n");
    ReadReply();
    return;
  }
  SendBody(message);
  if (lmtp_) {
    // One reply per accepted recipient, in their order.
    for (size_t i : accepted) answerAll(i, ReadReply());
  } else {
    const TReply r = ReadReply();
    for (size_t i : accepted) answerAll(i, r);
  }
}

void TSmtpTransport::Send(TMessageToSend& message) {
  std::vector<std::optional<TReply>> replies(message.recipients.size());
  try {
    if (open_ && used_) {
      // The connection is reused when the hop said nothing unasked and answers RSET.
      try {
        Command("RSET\r\n");
        if (!ReadReply().Success()) throw EPeerError("RSET refused");
      } catch (const EPeerError&) {
        conn_.Close();
        open_ = false;
      }
    } else if (open_ && conn_.InputPending()) {
      conn_.Close();
      open_ = false;
    }
    if (!open_) Open();
    used_ = true;
    peerClosing_ = false;
    Transaction(message, replies);
    if (peerClosing_) {
      conn_.Close();
      open_ = false;
    }
  } catch (const EPeerProtocolError& e) {
    // Nothing this hop said in this transaction counts: the stream is out of step.
    conn_.Close();
    open_ = false;
    const TReply failure{0, "protocol error: " + OneLineReply(e.Message())};
    for (size_t i = 0; i < replies.size(); ++i) message.onReply(i, failure);
    return;
  } catch (const EPeerError& e) {
    conn_.Close();
    open_ = false;
    const TReply failure{0, OneLineReply(e.Message())};
    for (auto& r : replies)
      if (!r) r = failure;
  }
  // The peer may end the connection with any 421.
  for (size_t i = 0; i < replies.size(); ++i)
    message.onReply(i, replies[i] ? *replies[i] : TReply{0, "no reply for this recipient"});
}

}  // namespace kestran
