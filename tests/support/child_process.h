#pragma once
// Runs a program as a child process for end-to-end tests: arguments, extra environment,
// standard output and error into a file, signals, a bounded wait for its end. A child
// still running when the object goes is killed.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kestran::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Starts program with args; env entries are added to (or replace in) the environment.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env, const std::string& outputFile);
  bool Signal(int sig);
  // Waits at most timeoutMs; true when it ended (exitStatus() then holds its status).
  bool Wait(int timeoutMs);
  bool running() const { return pid_ > 0; }
  // Exit status, or 128 + signal number when a signal ended it.
  int exitStatus() const { return status_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Everything in a file ("" when it cannot be read).
std::string ReadFileText(const std::string& path);
// Writes text to a file, replacing it.
bool WriteFileText(const std::string& path, const std::string& text);
// Waits until 127.0.0.1:port accepts a connection.
bool WaitForPort(uint16_t port, int timeoutMs);
// Connects to 127.0.0.1:port from the local address source (for example 127.0.0.2), or
// to [::1]:port from an IPv6 source; returns a connected socket or -1.
int ConnectFrom(const std::string& source, uint16_t port);

}  // namespace kestran::test
