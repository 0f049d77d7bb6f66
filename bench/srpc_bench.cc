// Calls per second over loopback: an SRPC procedure that answers one NET_LONG, against a bare
// TCP ping-pong that moves the same request and answer sizes over the same number of
// connections, both in this process and this run. Each benchmark thread owns one connection.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bare_tcp.h"
#include "srpc/srpcclient.h"
#include "srpc/srpcsvr.h"

namespace {

int32_t AnswerLong(SrpcCallCtx*, int64_t, NetValueList*, NetValueList* results, CString*) {
  results->Append(1);
  results->SetLong(0, 7);
  return 0;
}

const SrpcProcEntry kTable[] = {
    {"get_long", "", AnswerLong, 0, 0, 0, nullptr, 0},
    {nullptr, nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// The request "get_long" without arguments and its answer, in bytes on the wire.
constexpr int kRequestBytes = 6 + 9 + 2;
constexpr int kAnswerBytes = 6 + 5 + 2;

int ServerPort(StdSocket& server) {
  CString address;
  int port = 0;
  server.GetLocalAddr(&address, &port);
  return port;
}

SRPCSocketSvr& SrpcServer() {
  static SRPCSocketSvr* server = [] {
    auto* made = new SRPCSocketSvr(kTable);
    made->StartInBackground("127.0.0.1", 0, 100);
    made->WaitStarted();
    return made;
  }();
  return *server;
}

void BM_SrpcCall(benchmark::State& state) {
  SrpcClient client;
  if (!client.Connect("127.0.0.1", ServerPort(SrpcServer()))) {
    state.SkipWithError("connect failed");
    return;
  }
  NetValueList none, results;
  for (auto _ : state) {
    if (client.Call("get_long", none, &results) != 0) {
      state.SkipWithError(client.error_text());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SrpcCall)->Threads(1)->Threads(16)->UseRealTime();

void BM_TcpPingPong(benchmark::State& state) {
  static int port = bench::StartBareServer(kRequestBytes, kAnswerBytes);
  bench::BareClient client(port, kRequestBytes, kAnswerBytes);
  if (!client.connected()) {
    state.SkipWithError("connect failed");
    return;
  }
  for (auto _ : state) {
    if (!client.Exchange()) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TcpPingPong)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
