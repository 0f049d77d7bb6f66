// The file service over loopback, each against its reference in the same run:
//   - reading a cached 256 MiB file 64 KiB per call, against a bare exchange of a 30-byte
//     request and a 64 KiB answer;
//   - writing a 256 MiB file 64 KiB per call (each call durable), against a local loop of a
//     64 KiB write plus fsync;
//   - plif_file_exists calls with 1 and 16 connections, against a bare ping-pong of the same
//     request and answer sizes.
// The server runs in this process with the real procedure table and disk manager. Its log
// lines go to standard output, which is sent to /dev/null; results go to standard error.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/bare_tcp.h"
#include "filesvc/pellarymng.h"
#include "filesvc/procs.h"
#include "foundation/base.h"
#include "srpc/srpcclient.h"
#include "srpc/srpcsvr.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kFileBytes = 256 << 20;
constexpr int kPiece = 64 << 10;

struct Service {
  fs::path dir;
  SRPCSocketSvr* server = nullptr;
  int port = 0;
  std::string file;
};

Service& TheService() {
  static Service* service = [] {
    auto* made = new Service;
    made->dir = fs::temp_directory_path() / "pellary-filesvc-bench";
    fs::remove_all(made->dir);
    fs::create_directories(made->dir / "temp");
    fs::create_directories(made->dir / "files");
    g_pellary_mng = new PellaryMng((made->dir / "temp").c_str(), (made->dir / "files").c_str(), 0,
                                   int64_t{320} << 20);
    made->server = new SRPCSocketSvr(PellaryProcTable());
    made->server->StartInBackground("127.0.0.1", 0, 100);
    made->server->WaitStarted();
    CString address;
    made->server->GetLocalAddr(&address, &made->port);
    made->file = (made->dir / "files" / "big.bin").string();
    std::ofstream(made->file, std::ios::binary).close();
    return made;
  }();
  return *service;
}

NetValueList& ReadArguments(NetValueList& list, const std::string& path, int64_t position) {
  list.Clear();
  list.Append(3);
  list.SetString(0, path.c_str());
  list.SetSuperLong(1, position);
  list.SetLong(2, kPiece);
  return list;
}

// Writes the whole file through the service (64 KiB per call), so that it is cached.
void WriteWholeFile(SrpcClient& client, const std::string& path, benchmark::State* state) {
  std::vector<char> piece(kPiece, 'p');
  NetValueList list, results;
  list.Append(3);
  list.SetString(0, path.c_str());
  for (int64_t at = 0; at < kFileBytes; at += kPiece) {
    list.SetSuperLong(1, at);
    list.SetBinary(2, piece.data(), kPiece);
    if (client.Call("plif_file_write", list, &results) != 0 || results.GetLong(0) != kPiece) {
      if (state != nullptr) state->SkipWithError("write failed");
      return;
    }
  }
}

void BM_WriteFile64KiBCalls(benchmark::State& state) {
  Service& service = TheService();
  SrpcClient client;
  client.Connect("127.0.0.1", service.port);
  for (auto _ : state) WriteWholeFile(client, service.file, &state);
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_WriteFile64KiBCalls)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LocalWriteFsync64KiB(benchmark::State& state) {
  std::string path = (TheService().dir / "local.bin").string();
  std::vector<char> piece(kPiece, 'l');
  for (auto _ : state) {
    BaseFile file;
    file.Open(path.c_str(), kModeCreate | kModeWrite | kTypeBinary);
    for (int64_t at = 0; at < kFileBytes; at += kPiece) {
      file.Write(piece.data(), kPiece);
      file.Flush();
    }
    file.Close();
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_LocalWriteFsync64KiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadCachedFile64KiBCalls(benchmark::State& state) {
  Service& service = TheService();
  SrpcClient client;
  client.Connect("127.0.0.1", service.port);
  WriteWholeFile(client, service.file, nullptr);  // cached from here on
  NetValueList list, results;
  for (auto _ : state) {
    for (int64_t at = 0; at < kFileBytes; at += kPiece) {
      if (client.Call("plif_file_read", ReadArguments(list, service.file, at), &results) != 0) {
        state.SkipWithError("read failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_ReadCachedFile64KiBCalls)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareExchange30BTo64KiB(benchmark::State& state) {
  static int port = bench::StartBareServer(30, kPiece);
  bench::BareClient client(port, 30, kPiece);
  for (auto _ : state) {
    for (int64_t at = 0; at < kFileBytes; at += kPiece) client.Exchange();
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_BareExchange30BTo64KiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// plif_file_exists of a 60-byte path: header 6, name and NUL 17, tag 1, path and NUL 61,
// trailer 2 = 87 bytes; its answer: header 6, one tagged long 5, trailer 2 = 13 bytes.
const std::string kExistsPath = "/" + std::string(59, 'e');
constexpr int kExistsRequest = 6 + 17 + 1 + 61 + 2;
constexpr int kExistsAnswer = 6 + 5 + 2;

void BM_FileExistsCalls(benchmark::State& state) {
  SrpcClient client;
  client.Connect("127.0.0.1", TheService().port);
  NetValueList list, results;
  list.Append(1);
  list.SetString(0, kExistsPath.c_str());
  for (auto _ : state) {
    if (client.Call("plif_file_exists", list, &results) != 0) {
      state.SkipWithError("call failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileExistsCalls)->Threads(1)->Threads(16)->UseRealTime();

void BM_BarePingPong(benchmark::State& state) {
  static int port = bench::StartBareServer(kExistsRequest, kExistsAnswer);
  bench::BareClient client(port, kExistsRequest, kExistsAnswer);
  for (auto _ : state) client.Exchange();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BarePingPong)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  std::freopen("/dev/null", "w", stdout);  // the service's log lines
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return 0;
}
