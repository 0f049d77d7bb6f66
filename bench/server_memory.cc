// Resident memory of the real server with a 1 MiB cache (so that the cache's pages, which the
// writes below would fill, stay out of the figures): idle, its growth per idle
// connection with 500 connections open, and again once every connection has made a 64 KiB read
// and a 1 MiB write and gone idle (the shared pool of large packet buffers, at most
// SrpcPacketReader::kPooledBytes, is part of that growth). Run it from the repository after a
// release build: build/release/bench/server_memory [path to pellary] [connections]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "srpc/srpcclient.h"
#include "testing/server_process.h"

namespace {

std::vector<std::unique_ptr<SrpcClient>> Connect(int port, int count) {
  std::vector<std::unique_ptr<SrpcClient>> clients;
  for (int i = 0; i < count; ++i) {
    auto client = std::make_unique<SrpcClient>();
    if (client->Connect("127.0.0.1", port)) clients.push_back(std::move(client));
  }
  return clients;
}

// Each client writes 1 MiB of its own and reads 64 KiB back → the clients whose calls worked.
size_t MoveLargeCalls(const ServerProcess& server, std::vector<std::unique_ptr<SrpcClient>>& all) {
  std::string data(1 << 20, 'm');
  size_t worked = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    std::string path = server.remote("files/m" + std::to_string(i));
    NetValueList list, results;
    list.Append(1);
    list.SetString(0, path.c_str());
    bool done = all[i]->Call("plif_file_create", list, &results) == 0;
    list.Append(2);
    list.SetSuperLong(1, 0);
    list.LendBinary(2, data.data(), static_cast<int>(data.size()), nullptr);
    done = done && all[i]->Call("plif_file_write", list, &results) == 0;
    list.SetLong(2, 64 << 10);
    done = done && all[i]->Call("plif_file_read", list, &results) == 0;
    worked += done ? 1 : 0;
  }
  return worked;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = argc >= 2 ? argv[1] : "build/release/service/pellary";
  int connections = argc >= 3 ? std::atoi(argv[2]) : 500;
  ServerProcess server(std::filesystem::absolute(program).string(), "CacheSize=1\n");
  if (!server.StartWith({"-console"}) || !server.Listening(30000)) {
    std::fprintf(stderr, "the server did not start:\n%s", server.Console().c_str());
    return 1;
  }
  platform::SleepMs(2000);
  int64_t idle = platform::ChildResidentBytes(server.child());
  std::vector<std::unique_ptr<SrpcClient>> clients = Connect(server.port(), connections);
  platform::SleepMs(4000);  // every session started
  int64_t loaded = platform::ChildResidentBytes(server.child());
  auto per_client = [&](int64_t bytes) {
    return (bytes - idle) / 1024.0 / static_cast<double>(clients.size());
  };
  std::printf("idle resident: %.1f MiB\n", idle / 1048576.0);
  std::printf("with %zu idle connections: %.1f MiB, %.1f KiB per connection\n", clients.size(),
              loaded / 1048576.0, per_client(loaded));
  size_t worked = MoveLargeCalls(server, clients);
  platform::SleepMs(2000);
  int64_t after = platform::ChildResidentBytes(server.child());
  std::printf(
      "after a 1 MiB write and a 64 KiB read on %zu of them: %.1f MiB, %.1f KiB per "
      "connection\n",
      worked, after / 1048576.0, per_client(after));
  clients.clear();
  server.Signal(platform::ChildControl::kCtrlC);
  server.Ended(30000);
  return 0;
}
