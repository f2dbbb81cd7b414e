// Throughput of the MAIL/RCPT argument parser for the shapes clients send.
#include <benchmark/benchmark.h>

#include <string>

#include "smtp/address_parser.h"

namespace {

void ParseOne(benchmark::State& state, const std::string& arg) {
  std::string domain, display, address;
  for (auto _ : state) {
    bool ok = kestran::ParseAddress(arg, domain, display, address);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(address.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(arg.size()));
}

void BM_ParsePlain(benchmark::State& state) {
  ParseOne(state, "TO:<Bob@Mail.EXAMPLE>");
}
void BM_ParseDisplayNameAndComment(benchmark::State& state) {
  ParseOne(state, "FROM:\"Sales Desk\" <desk@x.example> (office)");
}
void BM_ParseSourceRoute(benchmark::State& state) {
  ParseOne(state, "TO:<@relay1.example,@relay2.example:user@host.example>");
}
void BM_ParseBangPath(benchmark::State& state) {
  std::string path;
  for (int64_t i = 0; i < state.range(0); ++i) path += "hop" + std::to_string(i) + "!";
  ParseOne(state, "TO:<" + path + "user>");
}

BENCHMARK(BM_ParsePlain);
BENCHMARK(BM_ParseDisplayNameAndComment);
BENCHMARK(BM_ParseSourceRoute);
BENCHMARK(BM_ParseBangPath)->Arg(1)->Arg(8)->Arg(64)->Arg(4096);

}  // namespace
