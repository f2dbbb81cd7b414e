#include "deliver/sendmail_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "deliver/delivery_state.h"
#include "deliver/file_util.h"

extern char** environ;

namespace kestran {

namespace {

// What the program wrote on its standard error, as one line.
std::string ErrorOutput(int fd) {
  std::string text(2048, '\0');
  ssize_t n = ::pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return OneLineReply(text);
}

}  // namespace

TReply TSendmailTransport::Run(TMessageToSend& message) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return {0, std::string("pipe: ") + std::strerror(errno)};
  TFd readEnd(in[0]), writeEnd(in[1]);
  TFd errors(::memfd_create("kestran-deliver-stderr", MFD_CLOEXEC));
  if (!errors.Valid()) return {0, std::string("memfd: ") + std::strerror(errno)};

  std::vector<std::string> args = {hop_.path, "-i", "-f",
                                   message.sender.empty() ? "<>" : message.sender, "--"};
  for (const auto& r : message.recipients) args.push_back(r);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, readEnd.Get(), 0);
  posix_spawn_file_actions_adddup2(&actions, errors.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errors.Get(), 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, hop_.path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  readEnd.Reset();
  if (rc != 0) return {0, "cannot run " + hop_.path + ": " + std::strerror(rc)};

  // The pipe is written without blocking, so that a program that stops reading is
  // ended by the time-out.
  ::fcntl(writeEnd.Get(), F_SETFL, O_NONBLOCK);
  std::string writeError;
  bool written =
      EncodeBody(message.read, message.size, TBodyMode::Sendmail, [&](const char* p, size_t n) {
        while (n > 0) {
          ssize_t w = ::write(writeEnd.Get(), p, n);
          if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
          }
          if (w < 0 && errno == EINTR) continue;
          if (w < 0 && errno == EAGAIN) {
            pollfd pfd{writeEnd.Get(), POLLOUT, 0};
            if (::poll(&pfd, 1, options_.timeoutMs) > 0) continue;
            writeError = "timed out writing to " + hop_.path;
            return false;
          }
          writeError = std::string("writing to ") + hop_.path + ": " + std::strerror(errno);
          return false;
        }
        return true;
      });
  writeEnd.Reset();

  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.timeoutMs);
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return {0, std::string("waitpid: ") + std::strerror(errno)};
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return {0, hop_.path + " timed out"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::string said = ErrorOutput(errors.Get());
  auto with = [&](std::string text) { return said.empty() ? text : text + ": " + said; };
  if (WIFSIGNALED(status))
    return {0, with(hop_.path + " killed by signal " + std::to_string(WTERMSIG(status)))};
  const int code = WEXITSTATUS(status);
  if (!written && code == 0) return {0, writeError};
  if (code == 0) return {250, "delivered via " + hop_.path};
  if (code == 75) return {451, with(hop_.path + " exit status 75")};
  return {554, with(hop_.path + " exit status " + std::to_string(code))};
}

void TSendmailTransport::Send(TMessageToSend& message) {
  const TReply reply = Run(message);
  for (size_t i = 0; i < message.recipients.size(); ++i) message.onReply(i, reply);
}

}  // namespace kestran
