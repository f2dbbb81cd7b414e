#include "support/test_cert.h"

#include <sys/wait.h>

#include <cstdio>

namespace kestran::test {

int RunCommand(const std::string& command, std::string& output) {
  output.clear();
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool MakeSelfSignedCert(const std::string& certFile, const std::string& keyFile,
                        const std::string& commonName) {
  std::string out;
  return RunCommand(
             "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
             "-nodes -days 2 -subj '/CN=" +
                 commonName + "' -keyout '" + keyFile + "' -out '" + certFile + "'",
             out) == 0;
}

}  // namespace kestran::test
