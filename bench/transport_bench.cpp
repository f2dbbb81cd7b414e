// ReadLn over a real socket pair on 127.0.0.1: a writer thread keeps the peer side full of
// lines of one length; every iteration reads one line.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/sockets.h"
#include "transport/conduit.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

void BM_ReadLn(benchmark::State& state) {
  const size_t lineLength = static_cast<size_t>(state.range(0));
  TSocket listening = SockSocket(kAfInet, kSockStream, 0);
  TSockAddrIn a;
  a.sin_addr = SockInetAddr("127.0.0.1");
  SockBind(listening, &a, sizeof a);
  SockListen(listening, 5);
  int len = sizeof a;
  SockGetSockName(listening, &a, &len);
  auto owned = std::make_unique<TConduitSocket>();
  TConduitSocket& conn = *owned;
  conn.SetReceiveTimeout(0);
  conn.AllocateSocket(kSockStream);
  if (GWinsockIntf().connect(conn.Handle(), &a, sizeof a) != 0) {
    state.SkipWithError("connect failed");
    return;
  }
  TSocket peer = SockAccept(listening, nullptr, nullptr);
  SockClose(listening);

  std::string line(lineLength, 'x');
  line += "\r\n";
  std::string block;
  while (block.size() < 256 * 1024) block += line;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      size_t done = 0;
      while (done < block.size()) {
        int n = SockSend(peer, block.data() + done, static_cast<int>(block.size() - done), 0);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
      }
    }
  });

  for (auto _ : state) {
    std::string got = conn.ReadLn();
    benchmark::DoNotOptimize(got.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));

  stop = true;
  owned.reset();  // closes the socket: the writer's send fails
  writer.join();
  SockClose(peer);
}

BENCHMARK(BM_ReadLn)->Arg(80)->Arg(1000);

}  // namespace
}  // namespace kestran
