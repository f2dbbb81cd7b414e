// The plug-in list file: lines of comma-separated names, read from a file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/plugin1.h"
#include "targets/fuzz_check.h"

namespace {

std::string ListPath() {
  static const std::string path =
      "/tmp/kestran-fuzz-plugin1-" + std::to_string(::getpid()) + ".txt";
  return path;
}

bool Holds(const std::string& s, const char* chars) {
  return s.find_first_of(chars) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ListPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  kestran::TReceiverSettings s;
  kestran::LoadPlugin1List(path, s);
  std::remove(path.c_str());
  // No name holds a blank, a quote, a comma or a line break; every name came from a
  // piece of the file.
  size_t total = 0;
  for (const auto& u : s.LocalUsers) {
    FUZZ_CHECK(!Holds(u, " \",\r\n"));
    total += u.size();
  }
  for (const auto& d : s.SkipUserVerify) {
    FUZZ_CHECK(!d.empty());
    FUZZ_CHECK(!Holds(d, " \",\r\n"));
    total += d.size();
  }
  FUZZ_CHECK(total <= size);
  return 0;
}
