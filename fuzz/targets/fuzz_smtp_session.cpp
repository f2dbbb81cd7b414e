// A whole SMTP session fed from the fuzzer over a socket pair: the server greets,
// classifies the client, reads commands and bodies and writes queue pairs into a
// directory of its own. After each session: every "250 Message received OK" has exactly
// one complete pair, no pair was written without it, no temporary file is left, and no
// client text has added a line to a recipient file or a log entry.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "smtp/smtp_server.h"
#include "targets/fuzz_check.h"
#include "targets/socket_pair.h"

namespace {

namespace fs = std::filesystem;

struct Harness {
  std::string dir;  // native
  kestran::TConduitSMTPServer server;
  int32_t nextId = 0;
  std::vector<std::string> logEntries;

  Harness() {
    const std::string base = fs::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    dir = base + "/kestran-fuzz-session-" + std::to_string(::getpid());
    fs::create_directories(dir);
    server.SetHostName("fuzz.example");
    server.SetMailWriteDir(dir + "\\");
    server.SetSyncQueueFiles(false);
    server.SetLocalDomains({"example.test", "Local.Example"});
    server.SetLocalUsers({"bob", "alice"});
    server.SetSkipUserVerify({"any.example"});
    server.SetLocalBlackListNotice("local black list");
    server.LocalNets().push_back(*kestran::ParseNet("127.0.0.0/8"));
    server.LocalBlackList().push_back(*kestran::ParseNet("10.0.0.0/8"));
    server.WhiteList().push_back(*kestran::ParseNet("10.9.0.0/16"));
    server.SetExtendedErrorRecording(true);
    server.OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = ++nextId;
      handled = true;
    };
    server.OnLogFileEvent = [this](const std::string& entry) { logEntries.push_back(entry); };
  }
  ~Harness() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Harness& TheHarness() {
  static Harness h;
  return h;
}

size_t CountLines(const std::string& text, const std::string& wanted) {
  size_t n = 0, pos = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    if (e == std::string::npos) break;
    if (text.compare(pos, e - pos, wanted) == 0) ++n;
    pos = e + 2;
  }
  return n;
}

// The file's bytes (an absolute path is used as it stands); empty when it cannot be read.
std::string ReadAll(const fs::path& p) {
  std::string s;
  if (!kestran::ReadWholeFile(p.string(), s)) s.clear();
  return s;
}

// Every line of a recipient file is one of its three kinds.
void CheckRecipientFile(const std::string& text) {
  FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
  size_t pos = 0, count = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    FUZZ_CHECK(e != std::string::npos);
    std::string line = text.substr(pos, e - pos);
    FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    if (count == 0)
      FUZZ_CHECK(line.rfind("Message-ID: <B", 0) == 0);
    else if (count == 1)
      FUZZ_CHECK(line.rfind("Return-path: ", 0) == 0);
    else
      FUZZ_CHECK(line.rfind("Recipient: ", 0) == 0);
    ++count;
    pos = e + 2;
  }
  FUZZ_CHECK(count >= 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Harness& h = TheHarness();
  static const char* const kPeers[] = {"127.0.0.1", "10.0.0.5", "192.0.2.7", "10.9.1.1"};
  const uint8_t flags = data[0];
  h.server.SetLogDebug(flags & 1);
  h.server.SetForwardMail(flags & 2);
  h.server.SetCheckUser(flags & 4);
  h.server.SetMaxMessageSize(flags & 32 ? 400 : 0);
  const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
  h.logEntries.clear();

  fuzz::SocketPair pair;
  if (pair.server < 0) return 0;
  auto* conn = new kestran::TConduitServer(&h.server);
  kestran::TConduitServerThread thread(conn);  // owns conn; never started: the session runs here
  conn->SetMaxLineLength(8 + data[1]);
  conn->SetReceiveTimeout(10);
  conn->SetHandle(pair.server);
  conn->SetPeerAddress(kPeers[(flags >> 3) & 3]);

  std::string replies;
  std::thread client([&] {
    replies = fuzz::Converse(pair.client, input);
    pair.CloseClient();
  });
  try {
    h.server.DoConnect(&thread);
    h.server.DoExecute(&thread);
  } catch (const kestran::EConduitException&) {
    // The session ended with its connection.
  }
  conn->Disconnect();
  client.join();

  const size_t acknowledged = CountLines(replies, "250 Message received OK");
  std::set<std::string> msgs, rcps;
  for (const auto& e : fs::directory_iterator(h.dir)) {
    const std::string name = e.path().filename().string();
    const std::string ext = e.path().extension().string();
    if (ext == ".MSG") {
      msgs.insert(e.path().stem().string());
      FUZZ_CHECK(ReadAll(e.path()).rfind("Received: from ", 0) == 0);
    } else if (ext == ".RCP") {
      rcps.insert(e.path().stem().string());
      CheckRecipientFile(ReadAll(e.path()));
    } else {
      FUZZ_CHECK(name == "Smtp.Txt");
    }
  }
  FUZZ_CHECK(msgs == rcps);
  FUZZ_CHECK(msgs.size() == acknowledged);
  for (const auto& entry : h.logEntries)
    FUZZ_CHECK(entry.find_first_of("\r\n") == std::string::npos);
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(h.dir)) fs::remove(e.path(), ec);
  return 0;
}
