// NextMessageId per second, on a registry file of a few hundred values: every draw reads,
// increments and atomically rewrites the file under the cross-process lock.
//
//   cmake -S . -B build-bench -G Ninja -DKESTRAN_BENCH=ON && cmake --build build-bench
//   build-bench/bench/config_bench
// KESTRAN_BENCH_DIR names the directory of the temporary data root (default: the
// system's temporary directory), so that the disk under test can be chosen.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "config/message_id.h"
#include "platform/registry.h"

namespace {

class TBenchRoot {
 public:
  TBenchRoot() {
    const char* base = ::getenv("KESTRAN_BENCH_DIR");
    std::string tmpl =
        (std::filesystem::path(base != nullptr ? base
                                               : std::filesystem::temp_directory_path().string()) /
         "kestran-bench-XXXXXX")
            .string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir_ = tmpl;
    ::setenv("KESTRAN_ROOT", dir_.c_str(), 1);
    // 300 values in 30 keys, and the counter.
    std::string text = "REGEDIT4\r\n\r\n";
    for (int k = 0; k < 30; ++k) {
      text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key" + std::to_string(k) + "]\r\n";
      for (int v = 0; v < 10; ++v)
        text += "\"Value" + std::to_string(v) + "\"=\"C:\\\\some\\\\path\\\\of\\\\text\"\r\n";
      text += "\r\n";
    }
    text +=
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"LastMsgId\"=dword:00000000\r\n";
    if (kestran::ImportRegText(text, "bench.reg") != kestran::kRegSuccess) std::abort();
  }
  ~TBenchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::string dir_;
};

TBenchRoot& Root() {
  static TBenchRoot root;
  return root;
}

void BM_NextMessageId(benchmark::State& state) {
  Root();
  for (auto _ : state) benchmark::DoNotOptimize(kestran::NextMessageId());
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_NextMessageId)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
