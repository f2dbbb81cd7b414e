#include "support/promtool.h"

#include <cstdlib>

#include "support/test_cert.h"

namespace kestran::test {

std::string PromtoolObjections(const std::string& file, bool* skipped) {
  if (skipped != nullptr) *skipped = false;
  std::string out;
  if (RunCommand("command -v promtool", out) != 0) {
    if (std::getenv("CI") != nullptr) return "promtool is missing (Debian package prometheus)";
    if (skipped != nullptr) *skipped = true;
    return "";
  }
  return RunCommand("promtool check metrics < '" + file + "'", out) == 0 ? "" : "promtool: " + out;
}

}  // namespace kestran::test
