// Two builds of the real server side by side in one run, each started from a program
// directory of its own: typically the Linux build against the Windows build under Wine.
//   - durable write: a 64 MiB file written 64 KiB per call (every call reaches the disk);
//   - cached read: the same file read back 64 KiB per call once it is in the cache;
//   - small calls: plif_file_exists of a present file, with 1 and with 16 connections.
// Usage, from the repository after the builds:
//   build/release/bench/server_compare build/release/service/pellary
//       build/windows/service/pellary.exe
// (a Windows executable needs WINEPREFIX and WINEDEBUG=-all in the environment).
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "srpc/srpcclient.h"
#include "testing/server_process.h"

namespace {

constexpr int64_t kFileBytes = int64_t{64} << 20;
constexpr int kPiece = 64 << 10;
constexpr uint32_t kSmallCallsMs = 3000;

double Seconds(uint32_t since) {
  return (platform::GetTickCount() - since) / 1000.0;
}

// MB/s of writing the whole file through `client`, or 0 when a call failed.
double DurableWrite(SrpcClient& client, const std::string& path) {
  std::vector<char> piece(kPiece, 'w');
  NetValueList list, results;
  list.Append(3);
  list.SetString(0, path.c_str());
  uint32_t start = platform::GetTickCount();
  for (int64_t at = 0; at < kFileBytes; at += kPiece) {
    list.SetSuperLong(1, at);
    list.SetBinary(2, piece.data(), kPiece);
    if (client.Call("plif_file_write", list, &results) != 0 || results.GetLong(0) != kPiece)
      return 0;
  }
  return kFileBytes / 1e6 / Seconds(start);
}

double CachedRead(SrpcClient& client, const std::string& path) {
  NetValueList list, results;
  list.Append(3);
  list.SetString(0, path.c_str());
  list.SetLong(2, kPiece);
  uint32_t start = 0;
  for (int pass = 0; pass < 2; ++pass) {  // the first pass fills the cache
    start = platform::GetTickCount();
    for (int64_t at = 0; at < kFileBytes; at += kPiece) {
      list.SetSuperLong(1, at);
      int length = 0;
      if (client.Call("plif_file_read", list, &results) != 0) return 0;
      results.GetBinary(0, &length);
      if (length != kPiece) return 0;
    }
  }
  return kFileBytes / 1e6 / Seconds(start);
}

// plif_file_exists calls per second over `connections` connections.
double SmallCalls(const ServerProcess& server, const std::string& path, int connections) {
  std::atomic<int64_t> calls{0};
  std::vector<std::thread> clients;
  uint32_t start = platform::GetTickCount();
  for (int c = 0; c < connections; ++c) {
    clients.emplace_back([&] {
      SrpcClient client;
      if (!client.Connect("127.0.0.1", server.port())) return;
      NetValueList list, results;
      list.Append(1);
      list.SetString(0, path.c_str());
      while (platform::GetTickCount() - start < kSmallCallsMs) {
        if (client.Call("plif_file_exists", list, &results) != 0) return;
        ++calls;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  return calls / Seconds(start);
}

struct Figures {
  double write = 0, read = 0, small_one = 0, small_sixteen = 0;
};

bool Measure(const std::string& program, Figures* figures) {
  ServerProcess server(std::filesystem::absolute(program).string(), "CacheSize=128\n");
  SrpcClient client;
  if (!server.StartWith({"-console"}) || !server.Listening(30000) ||
      !client.Connect("127.0.0.1", server.port())) {
    std::fprintf(stderr, "%s did not start:\n%s", program.c_str(), server.Console().c_str());
    return false;
  }
  std::string file = server.remote("files/big.bin");
  NetValueList list, results;
  list.Append(1);
  list.SetString(0, file.c_str());
  client.Call("plif_file_create", list, &results);
  figures->write = DurableWrite(client, file);
  figures->read = CachedRead(client, file);
  figures->small_one = SmallCalls(server, file, 1);
  figures->small_sixteen = SmallCalls(server, file, 16);
  server.Signal(platform::ChildControl::kCtrlC);
  if (!server.Ended(60000)) std::fprintf(stderr, "%s did not stop\n", program.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: server_compare REFERENCE-SERVER OTHER-SERVER\n");
    return 2;
  }
  Figures reference, other;
  if (!Measure(argv[1], &reference) || !Measure(argv[2], &other)) return 1;
  std::printf("%-28s %14s %14s %7s\n", "", "reference", "other", "ratio");
  auto row = [](const char* name, double a, double b) {
    std::printf("%-28s %14.1f %14.1f %7.2f\n", name, a, b, a > 0 ? b / a : 0);
  };
  row("durable write MB/s", reference.write, other.write);
  row("cached read MB/s", reference.read, other.read);
  row("exists calls/s, 1 conn", reference.small_one, other.small_one);
  row("exists calls/s, 16 conns", reference.small_sixteen, other.small_sixteen);
  return 0;
}
