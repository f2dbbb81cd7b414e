#include "deliver/hop_dialogue.h"

#include <cstdlib>

namespace kestran {

namespace {

// The keyword of an EHLO line ("250-PIPELINING", "250 SIZE 10240000") in capitals, and
// its first parameter.
std::string Keyword(const std::string& line, std::string& parameter) {
  if (line.size() < 5) return {};
  const size_t end = line.find(' ', 4);
  std::string word = line.substr(4, end == std::string::npos ? std::string::npos : end - 4);
  for (auto& c : word) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (end != std::string::npos) {
    const size_t next = line.find(' ', end + 1);
    parameter =
        line.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
  }
  return word;
}

}  // namespace

void ConnectToHop(TPeerConnection& conn, const TNextHop& hop) {
  if (hop.path.empty())
    conn.ConnectTcp(hop.host, hop.port);
  else
    conn.ConnectUnix(hop.path);
}

TReply ReadHopReply(TPeerConnection& conn, TReplyParser& parser,
                    const std::function<void(const std::string&)>& eachLine) {
  parser.Reset();
  for (;;) {
    size_t wire = 0;
    const std::string line = conn.ReadLine(parser.Room(), wire);
    const auto status = parser.Feed(line, wire);
    if (status == TReplyParser::Status::Error) throw EPeerProtocolError(parser.Error());
    if (eachLine) eachLine(line);
    if (status == TReplyParser::Status::Done) return parser.Reply();
  }
}

void THopExtensions::TakeLine(const std::string& line) {
  if (line.empty() || line[0] != '2') return;
  std::string parameter;
  const std::string word = Keyword(line, parameter);
  if (word == "PIPELINING") pipelining = true;
  if (word == "STARTTLS") startTls = true;
  if (word == "8BITMIME") eightBitMime = true;
  if (word == "SMTPUTF8") smtpUtf8 = true;
  if (word == "SIZE") {
    sizeOffered = true;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(parameter.c_str(), &end, 10);
    sizeLimit = !parameter.empty() && *end == '\0' ? n : 0;
  }
}

}  // namespace kestran
