#include "deliver/smtp_transport.h"

#include <map>

#include "deliver/delivery_state.h"

namespace kestran {

namespace {

bool HasKeyword(const std::string& line, const char* keyword) {
  // "250-PIPELINING" or "250 STARTTLS": the keyword is the first word after the code.
  if (line.size() < 4) return false;
  std::string word = line.substr(
      4, line.find(' ', 4) == std::string::npos ? std::string::npos : line.find(' ', 4) - 4);
  for (auto& c : word) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return word == keyword;
}

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
      conn_.Write("QUIT\r\n");
      ReadReply();
    } catch (const Exception&) {
    }
  }
  conn_.Close();
  open_ = false;
}

TReply TSmtpTransport::ReadReply() {
  TReply reply;
  std::string lines;
  for (int count = 0;; ++count) {
    std::string line = conn_.ReadLine();
    if (line.size() < 3 || !isdigit(static_cast<unsigned char>(line[0])) ||
        !isdigit(static_cast<unsigned char>(line[1])) ||
        !isdigit(static_cast<unsigned char>(line[2])) ||
        (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
      throw EPeerError("malformed reply: " + OneLineReply(line));
    reply.code = std::stoi(line.substr(0, 3));
    if (!lines.empty()) lines += ' ';
    lines += count == 0 ? line : line.substr(std::min<size_t>(4, line.size()));
    if (line.size() == 3 || line[3] == ' ' || count > 1000) break;
  }
  // A multi-line reply keeps its code once: "250 first second".
  if (!lines.empty() && lines.size() > 3 && lines[3] == '-') lines[3] = ' ';
  reply.text = OneLineReply(lines);
  if (reply.code == 421) peerClosing_ = true;
  return reply;
}

void TSmtpTransport::Hello() {
  const std::string verb = lmtp_ ? "LHLO " : "EHLO ";
  conn_.Write(verb + options_.heloName + "\r\n");
  pipelining_ = false;
  startTls_ = false;
  for (int count = 0;; ++count) {
    std::string line = conn_.ReadLine();
    if (line.size() < 3 || count > 1000) throw EPeerError("malformed reply: " + OneLineReply(line));
    if (line[0] != '2') {
      // A peer that does not know EHLO is asked with HELO (SMTP only).
      while (line.size() > 3 && line[3] == '-') line = conn_.ReadLine();
      if (lmtp_ || line[0] != '5') throw EPeerError("greeting refused: " + OneLineReply(line));
      conn_.Write("HELO " + options_.heloName + "\r\n");
      TReply r = ReadReply();
      if (!r.Success()) throw EPeerError("HELO refused: " + r.text);
      return;
    }
    if (count > 0 && HasKeyword(line, "PIPELINING")) pipelining_ = true;
    if (count > 0 && HasKeyword(line, "STARTTLS")) startTls_ = true;
    if (line.size() == 3 || line[3] == ' ') break;
  }
}

void TSmtpTransport::Open() {
  conn_.Close();
  conn_.SetTimeout(options_.timeoutMs);
  if (hop_.path.empty())
    conn_.ConnectTcp(hop_.host, hop_.port);
  else
    conn_.ConnectUnix(hop_.path);
  TReply greeting = ReadReply();
  if (!greeting.Success()) throw EPeerError("greeting refused: " + greeting.text);
  Hello();
  if (startTls_ && !conn_.Secure() && !plainAfterTlsFailure_) {
    conn_.Write("STARTTLS\r\n");
    TReply r = ReadReply();
    if (r.code == 220) {
      try {
        conn_.StartTls(hop_.host.empty() ? "localhost" : hop_.host, options_.tlsVerify);
      } catch (const EPeerError&) {
        // Opportunistic TLS that fails is not tried again on this transport's next
        // connection, which goes on in plain text; a checked one is never given up.
        if (!options_.tlsVerify) plainAfterTlsFailure_ = true;
        throw;
      }
      Hello();
    } else if (options_.tlsVerify) {
      throw EPeerError("STARTTLS refused: " + r.text);
    }
  }
  open_ = true;
  used_ = false;
}

void TSmtpTransport::Transaction(TMessageToSend& message, std::vector<bool>& answered) {
  auto answer = [&](size_t i, const TReply& r) {
    if (answered[i]) return;
    answered[i] = true;
    message.onReply(i, r);
  };
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
      if (first[j] == i) answer(j, r);
  };

  std::vector<std::string> commands;
  commands.push_back("MAIL FROM:<" + message.sender + ">\r\n");
  for (size_t i : distinct) commands.push_back("RCPT TO:<" + message.recipients[i] + ">\r\n");
  commands.push_back("DATA\r\n");

  if (pipelining_) {
    std::string all;
    for (const auto& c : commands) all += c;
    conn_.Write(all);
  }
  auto send = [&](size_t n) {
    if (!pipelining_) conn_.Write(commands[n]);
  };

  send(0);
  TReply mail = ReadReply();
  std::vector<size_t> accepted;
  for (size_t k = 0; k < distinct.size(); ++k) {
    if (!mail.Success() && !pipelining_) {
      answerAll(distinct[k], mail);
      continue;
    }
    send(k + 1);
    TReply rcpt = ReadReply();
    if (!mail.Success())
      answerAll(distinct[k], mail);
    else if (rcpt.Success())
      accepted.push_back(distinct[k]);
    else
      answerAll(distinct[k], rcpt);
  }
  if (accepted.empty() && !pipelining_) return;  // the next message starts with RSET
  send(commands.size() - 1);
  TReply data = ReadReply();
  if (data.code != 354) {
    for (size_t i : accepted) answerAll(i, data);
    return;
  }
  if (accepted.empty()) {
    // A peer that opened the data for no recipient gets an empty message, never this one.
    conn_.Write(".\r\n");
    ReadReply();
    return;
  }
  if (!EncodeBody(message.read, message.size, TBodyMode::Data, [&](const char* p, size_t n) {
        conn_.Write(p, n);
        return true;
      }))
    throw EPeerError("the message file could not be read");
  if (lmtp_) {
    for (size_t i : accepted) answerAll(i, ReadReply());
  } else {
    TReply r = ReadReply();
    for (size_t i : accepted) answerAll(i, r);
  }
}

void TSmtpTransport::Send(TMessageToSend& message) {
  std::vector<bool> answered(message.recipients.size(), false);
  try {
    if (open_ && used_) {
      // The connection is reused when the peer still answers RSET.
      try {
        conn_.Write("RSET\r\n");
        if (!ReadReply().Success()) throw EPeerError("RSET refused");
      } catch (const EPeerError&) {
        conn_.Close();
        open_ = false;
      }
    }
    if (!open_) Open();
    used_ = true;
    peerClosing_ = false;
    Transaction(message, answered);
    if (peerClosing_) {
      conn_.Close();
      open_ = false;
    }
  } catch (const EPeerError& e) {
    conn_.Close();
    open_ = false;
    TReply failure{0, e.Message()};
    for (size_t i = 0; i < answered.size(); ++i)
      if (!answered[i]) {
        answered[i] = true;
        message.onReply(i, failure);
      }
    return;
  }
  // The peer may end the connection with any 421.
  for (size_t i = 0; i < answered.size(); ++i)
    if (!answered[i]) {
      answered[i] = true;
      message.onReply(i, TReply{0, "no reply for this recipient"});
    }
}

}  // namespace kestran
