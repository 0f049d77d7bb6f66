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

#include "platform/child.h"
#include "platform/clock.h"
#include "srpc/stdsocket.h"

namespace {

namespace fs = std::filesystem;

int FreePort() {
  StdSocket probe;
  probe.Bind("127.0.0.1", "0");
  CString address;
  int port = 0;
  probe.GetLocalAddr(&address, &port);
  return port;
}

// A program directory with a copy of the executable and a loopback-only profile.
fs::path MakeProgramDirectory(const std::string& program, int port) {
  fs::path dir = fs::temp_directory_path() / "pellary-memory";
  fs::remove_all(dir);
  fs::create_directories(dir / "files");
  fs::create_directories(dir / "temp");
  fs::copy_file(program, dir / "pellary");
  std::ofstream(dir / "pellary.pf") << "srpc.server.addr=127.0.0.1\nsrpc.server.port=" << port
                                    << "\nmon.addr=127.0.0.1\nTempDir=" << (dir / "temp").string()
                                    << "\nFileDir=" << (dir / "files").string() << "\n";
  return dir;
}

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
  int port = FreePort();
  fs::path dir = MakeProgramDirectory(fs::absolute(program).string(), port);
  platform::ChildHandle child = platform::ChildStart((dir / "pellary").string(), {"-console"},
                                                     dir.string(), (dir / "console.txt").string());
  platform::SleepMs(2000);
  int64_t idle = platform::ChildResidentBytes(child);
  std::vector<std::unique_ptr<StdSocket>> sockets = Connect(port, connections);
  platform::SleepMs(4000);  // every session started
  int64_t loaded = platform::ChildResidentBytes(child);
  std::printf("idle resident: %.1f MiB\n", idle / 1048576.0);
  std::printf("with %zu idle connections: %.1f MiB, %.1f KiB per connection\n", sockets.size(),
              loaded / 1048576.0, (loaded - idle) / 1024.0 / static_cast<double>(sockets.size()));
  sockets.clear();
  platform::ChildSignal(child, platform::ChildControl::kCtrlBreak);
  int status = 0;
  if (!platform::ChildWait(child, 30000, &status)) platform::ChildKill(child);
  fs::remove_all(dir);
  return 0;
}
