// The deployment of README.md's "Several servers over one directory": HAProxy in front of two
// servers with SharedFiles=1 over one directory, a striped pellary-cli put and get of a large
// file through it, whose connections the balancer spreads over both servers. Skipped where
// HAProxy is not installed (scripts/test.sh installs it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "platform/tools/child.h"
#include "testing/remote_calls.h"
#include "testing/text.h"
#include "tests/running_server.h"

namespace {

namespace fs = std::filesystem;
using e2e::RunningServer;

constexpr size_t kFileBytes = 64 << 20;
constexpr uint32_t kCommandMs = 600000;

// The program found on PATH, or "".
std::string OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    fs::path candidate = fs::path(dir) / name;
    if (!dir.empty() && fs::exists(candidate)) return candidate.string();
  }
  return "";
}

// README.md's configuration, with the test's ports.
std::string HaproxyConfig(int port, int a, int b) {
  std::ostringstream config;
  config << "global\n  maxconn 4096\n"
         << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 1h\n"
         << "  timeout server 1h\n"
         << "frontend pellary\n  bind 127.0.0.1:" << port << "\n  default_backend servers\n"
         << "backend servers\n  balance roundrobin\n  option tcp-check\n"
         << "  server a 127.0.0.1:" << a << " check inter 2s\n"
         << "  server b 127.0.0.1:" << b << " check inter 2s\n";
  return config.str();
}

// A child that is killed when the test leaves.
struct Child {
  ~Child() {
    if (handle != platform::kNoChild) platform::ChildKill(handle);
  }
  platform::ChildHandle handle = platform::kNoChild;
};

TEST(Haproxy, StripedPutAndGetThroughTwoSharedServersAreByteIdentical) {
  std::string haproxy = OnPath("haproxy");
  if (haproxy.empty()) GTEST_SKIP() << "haproxy is not installed (scripts/test.sh installs it)";
  RunningServer a("SharedFiles=1\n"), b("SharedFiles=1\n");
  SrpcClient up;
  ASSERT_TRUE(a.Connect(up) && b.Connect(up));
  TempDir work;
  int port = FreePort();
  std::ofstream(work / "haproxy.cfg") << HaproxyConfig(port, a.port(), b.port());
  Child balancer;
  balancer.handle =
      platform::ChildStart(haproxy, {"-db", "-f", work / "haproxy.cfg"}, work.path(), work / "log");
  ASSERT_NE(balancer.handle, platform::kNoChild);
  // Until its health checks find a server up, the balancer turns connections away; under a
  // loaded machine (sanitizer builds) they may also find one down for a moment later on.
  auto connect_through = [&](SrpcClient& through) {
    bool connected = false;
    for (uint32_t start = platform::GetTickCount();
         !connected && platform::GetTickCount() - start < 30000; platform::SleepMs(50)) {
      connected = through.Connect("127.0.0.1", port);
    }
    return connected;
  };
  SrpcClient probe;
  ASSERT_TRUE(connect_through(probe)) << ReadFileBytes(work / "log");

  std::string remote = a.remote("files/big.bin");
  auto cli = [&](const std::string& command, const std::string& from, const std::string& to) {
    Child run;
    run.handle = platform::ChildStart(PELLARY_CLI_EXE,
                                      {"--host", "127.0.0.1", "--port", std::to_string(port),
                                       command, "--connections", "8", from, to},
                                      work.path(), work / (command + ".txt"));
    int code = -1;
    if (platform::ChildWait(run.handle, kCommandMs, &code)) run.handle = platform::kNoChild;
    EXPECT_EQ(code, 0) << command << ": " << ReadFileBytes(work / (command + ".txt"));
  };
  // The second round replaces a file both servers have cached, removed through one of them.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1));
    std::string bytes = RandomBytes(kFileBytes, 25 + round);
    WriteFileBytes(work / "src.bin", bytes);
    SrpcClient remover;
    ASSERT_TRUE(connect_through(remover));
    ASSERT_EQ(e2e::CallLong(remover, "plif_file_remove", remote), 1);
    cli("put", work / "src.bin", remote);
    EXPECT_TRUE(ReadFileBytes(a.path("files/big.bin")) == bytes) << "put through both servers";
    cli("get", remote, work / "back.bin");
    EXPECT_TRUE(ReadFileBytes(work / "back.bin") == bytes) << "got through both servers";
  }
}

}  // namespace
