#pragma once
// What the kestran-deliver tests share: a scratch directory, queue pairs written as the
// receiver writes them, a delivery context that collects its log lines, and private
// instances of the real next hops (Dovecot LMTP, Postfix).

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "deliver/pair_delivery.h"

namespace kestran::test {

// A test that needs a program which is not installed is skipped outside CI, and fails in
// CI (CI=true), where every next hop must run.
#define KESTRAN_REQUIRE_PROGRAM(path)                                                   \
  do {                                                                                  \
    if (!::kestran::test::ProgramExists(path)) {                                        \
      if (::kestran::test::InCi()) FAIL() << (path) << " is missing in CI";             \
      GTEST_SKIP() << (path) << " is not installed (scripts/test-deps.sh installs it)"; \
    }                                                                                   \
  } while (0)

bool ProgramExists(const std::string& path);
bool InCi();

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }  // ends in "/"

 private:
  std::string path_;
};

// The message file of a body given as the client sent it after 354 (CR LF lines, without
// the final "."), with a trace header in front, as the receiver stores it.
std::string QueueMessage(const std::string& body);
std::string QueueRecipients(const std::string& returnPath, const std::vector<std::string>& to);
void WritePairFiles(const std::string& dir, const std::string& stem, const std::string& msg,
                    const std::string& rcp);

// Log lines of a delivery context, safe for several threads.
struct LogCollector {
  std::mutex m;
  std::vector<std::string> events;
  std::vector<std::string> mail;
  std::vector<std::string> Mail() {
    std::lock_guard<std::mutex> g(m);
    return mail;
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(m);
    return events;
  }
};

// What a transport answered for one message: the reply of each recipient, and the order
// in which the replies came.
struct SendOutcome {
  std::vector<TReply> replies;
  std::vector<size_t> order;
};
// Sends one message in the queue's form (queued) through the transport.
SendOutcome SendThrough(TTransport& t, const std::vector<std::string>& to,
                        const std::string& queued, const std::string& sender = "a@x.test",
                        bool eightBit = false);

TDeliverContext TestContext(const std::string& queueDir, const std::string& deliverTo,
                            LogCollector& log, double* clock = nullptr);

// A private Dovecot with LMTP on a local socket and on a loopback port; mail goes to
// Maildirs below dir.
class DovecotInstance {
 public:
  // users: lines of a passwd-file, each "name:::::::" and its extra fields
  // ("userdb_quota_rule=*:messages=1"), under a quota counted per user and checked at
  // RCPT; empty: every user exists, without a quota.
  bool Start(const std::string& dir, const std::string& users = "");
  ~DovecotInstance();
  std::string socket() const { return dir_ + "run/lmtp"; }
  uint16_t port() const { return port_; }
  // The files in the user's Maildir "new" folder (the local part of the address).
  std::vector<std::string> Mailbox(const std::string& user) const;
  std::string log() const;

 private:
  std::string dir_;
  uint16_t port_ = 0;
  bool started_ = false;
};

// The file of the message below its trace headers: everything after the first
// "Received:" header block that the receiver and Dovecot added in front (the lines
// up to and including the last line that starts the receiver's trace header).
std::string BelowTrace(const std::string& stored);

}  // namespace kestran::test
