// kestran-deliver: takes the receiver's queue pairs on to LMTP, SMTP or sendmail.
//   -DEBUG   in the console until Ctrl-C
//   -QUEUE   lists what waits
//   -FLUSH   asks the running program to retry everything now, or makes one pass
//   -HOLD <id>, -RELEASE <id>, -DELETE <id>, -REQUEUE <id>   the operator's commands on
//            one queued pair (ALL: every pair, but for -DELETE)
// and, without a switch, as a service.

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "deliver/queue_commands.h"
#include "deliver/queue_listing.h"
#include "platform/syslog.h"
#include "programs/kestran-deliver/deliver_check.h"
#include "programs/kestran-deliver/deliver_service.h"

namespace {

using namespace kestran;

std::string Switch(int argc, char** argv) {
  if (argc < 2) return {};
  std::string s = argv[1];
  if (!s.empty() && (s[0] == '-' || s[0] == '/')) s.erase(0, 1);
  for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Files made by root in a queue that belongs to the service account would be unreadable
// to it: root works there as the directory's owner.
bool BecomeQueueOwner(const std::string& queueDir) {
  struct stat st {};
  if (::geteuid() != 0 || ::stat(queueDir.c_str(), &st) != 0 || st.st_uid == 0) return true;
  return ::setgroups(0, nullptr) == 0 && ::setgid(st.st_gid) == 0 && ::setuid(st.st_uid) == 0;
}

// The native queue directory of the settings, the process working as its owner; "" (with
// one line on standard error) when it cannot be used.
std::string OwnedQueueDir(const TDeliverSettings& s) {
  const std::string dir = NativeQueueDir(s);
  if (!dir.empty() && BecomeQueueOwner(dir)) return dir;
  std::fprintf(stderr, "kestran-deliver: the queue directory %s cannot be used\n",
               s.QueueDir.c_str());
  return {};
}

int Flush() {
  const TDeliverSettings s = LoadDeliverSettings();
  const std::string dir = OwnedQueueDir(s);
  if (dir.empty()) return 1;
  TQueueLock lock;
  if (!lock.TryLock(dir)) {
    FILE* f = std::fopen((dir + kFlushRequestName).c_str(), "w");
    if (f == nullptr) {
      std::perror(("kestran-deliver: " + dir + kFlushRequestName).c_str());
      return 1;
    }
    std::fclose(f);
    std::printf("kestran-deliver: the running program retries every pair now\n");
    return 0;
  }
  if (!s.Transport()) {
    std::fprintf(stderr, "%s\n", kNoTransportText);
    return 1;
  }
  TQueueRunner runner(MakeDeliverContext(s, dir,
                                         [](int, const std::string& text) {
                                           std::printf("%s\n", text.c_str());
                                           std::fflush(stdout);
                                         }),
                      1);
  runner.RemoveTemporaries();
  runner.RunOnce(true);
  return 0;
}

int QueueCommand(TQueueCommand command, int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "kestran-deliver: -%s takes one queue id (B0000000042) or ALL\n",
                 Switch(argc, argv).c_str());
    return 1;
  }
  const std::string dir = OwnedQueueDir(LoadDeliverSettings());
  if (dir.empty()) return 1;
  TEventSource syslog(kDeliverServiceName);
  TQueueCommandOutput out;
  out.print = [](const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  };
  out.error = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
  out.log = [&](const std::string& text) {
    std::printf("%s\n", text.c_str());
    syslog.Report(kEventInformation, 0, text);
  };
  return RunQueueCommand(command, dir, argv[2], out);
}

}  // namespace

int main(int argc, char** argv) {
  // Writes to a sendmail program that has ended fail with EPIPE instead.
  ::signal(SIGPIPE, SIG_IGN);
  const std::string sw = Switch(argc, argv);
  try {
    if (sw == "CHECK") return CheckDeliverConfiguration();
    if (sw == "QUEUE") return ListQueue(LoadDeliverSettings());
    if (sw == "FLUSH") return Flush();
    if (sw == "HOLD") return QueueCommand(TQueueCommand::Hold, argc, argv);
    if (sw == "RELEASE") return QueueCommand(TQueueCommand::Release, argc, argv);
    if (sw == "DELETE") return QueueCommand(TQueueCommand::Delete, argc, argv);
    if (sw == "REQUEUE") return QueueCommand(TQueueCommand::Requeue, argc, argv);
    if (sw.empty() || sw == "DEBUG") {
      if (!LoadDeliverSettings().Transport()) {
        std::fprintf(stderr, "%s\n", kNoTransportText);
        return 1;
      }
    }
  } catch (const Exception& e) {
    std::fprintf(stderr, "kestran-deliver: %s\n", e.Message().c_str());
    return 1;
  }
  auto& service = MakeService<TDeliverService>(kDeliverServiceName, kDeliverDisplayName);
  int status = RunServicesMain(argc, argv);
  service.ShutDown();
  std::exit(status);
}
