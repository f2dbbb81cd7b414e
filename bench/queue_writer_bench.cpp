// Writing one queue pair (header scan, trace header, both files) for 1 KB and 100 KB
// messages, with and without flushing to disk.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "smtp/queue_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace kestran;

void BM_WritePair(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const bool sync = state.range(1) != 0;
  std::random_device rd;
  fs::path dir = fs::temp_directory_path() / ("kestran-qbench-" + std::to_string(rd()));
  fs::create_directories(dir);
  TSMTPMsg msg;
  msg.SendingDomain = "client.example";
  msg.VerifiedSendingDomain = "unverified";
  msg.SendingIP = "127.0.0.1";
  msg.FromStr = "s@x.example";
  msg.Recipients.Add({"TO:<u@corp.example>", "u@corp.example", true});
  std::string body = "Subject: bench\r\n\r\n";
  while (body.size() < size) body += std::string(76, 'x') + "\r\n";
  body += ".\r\n";
  TQueueWriter writer(dir.string() + "/", sync);
  int32_t n = 0;
  for (auto _ : state) {
    msg.MsgId = FormatMsgId(++n);
    THeaderScan scan = ScanHeaders(body);
    std::string text = BuildTraceHeader(msg, "bench.host", "Mon, 07 Dec 2026 09:00:00 +0000", scan);
    text += body;
    auto outcome = writer.WritePair(msg.MsgId, text, BuildRecipientFile(msg, "bench.host"));
    if (outcome != TQueueWriter::Outcome::Written) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
  fs::remove_all(dir);
}
BENCHMARK(BM_WritePair)->Args({1024, 0})->Args({1024, 1})->Args({102400, 0})->Args({102400, 1});

}  // namespace
