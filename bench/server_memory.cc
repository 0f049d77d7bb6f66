// Resident memory of the real server: idle with the default 20 MiB cache, and its growth per
// idle connection with 500 connections open. Run it from the repository after a release
// build: build/release/bench/server_memory [path to pellary] [connections]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "testing/server_process.h"

namespace {

std::vector<std::unique_ptr<StdSocket>> Connect(int port, int count) {
  std::vector<std::unique_ptr<StdSocket>> sockets;
  std::string text = std::to_string(port);
  for (int i = 0; i < count; ++i) {
    auto socket = std::make_unique<StdSocket>();
    if (socket->Connect("127.0.0.1", text.c_str())) sockets.push_back(std::move(socket));
  }
  return sockets;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = argc >= 2 ? argv[1] : "build/release/service/pellary";
  int connections = argc >= 3 ? std::atoi(argv[2]) : 500;
  ServerProcess server(std::filesystem::absolute(program).string(), "");
  if (!server.StartWith({"-console"}) || !server.Listening(30000)) {
    std::fprintf(stderr, "the server did not start:\n%s", server.Console().c_str());
    return 1;
  }
  platform::SleepMs(2000);
  int64_t idle = platform::ChildResidentBytes(server.child());
  std::vector<std::unique_ptr<StdSocket>> sockets = Connect(server.port(), connections);
  platform::SleepMs(4000);  // every session started
  int64_t loaded = platform::ChildResidentBytes(server.child());
  std::printf("idle resident: %.1f MiB\n", idle / 1048576.0);
  std::printf("with %zu idle connections: %.1f MiB, %.1f KiB per connection\n", sockets.size(),
              loaded / 1048576.0, (loaded - idle) / 1024.0 / static_cast<double>(sockets.size()));
  sockets.clear();
  server.Signal(platform::ChildControl::kCtrlC);
  server.Ended(30000);
  return 0;
}
