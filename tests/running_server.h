// The real pellary executable run for one test: a temporary program directory holding a copy
// of the executable, its profile and its file directories, free loopback ports, and a clean
// end. A server still running when the test ends is killed.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/srpcclient.h"
#include "platform/child.h"
#include "platform/clock.h"
#include "srpc/stdsocket.h"
#include "testing/temp_dir.h"

namespace e2e {

// A port that was free a moment ago.
inline int FreePort() {
  StdSocket probe;
  EXPECT_TRUE(probe.Bind("127.0.0.1", "0"));
  CString address;
  int port = 0;
  probe.GetLocalAddr(&address, &port);
  return port;
}

class RunningServer {
 public:
  // `extra_profile` lines go after the generated ones. With `start` false the directory is
  // prepared and Start runs it later.
  explicit RunningServer(const std::string& extra_profile = "", bool start = true)
      : port_(FreePort()), monitor_port_(FreePort()) {
    namespace fs = std::filesystem;
    fs::copy_file(PELLARY_EXE, dir_ / "pellary");
    fs::permissions(dir_ / "pellary", fs::perms::owner_all);
    fs::create_directory(dir_ / "temp");
    fs::create_directory(dir_ / "files");
    std::ofstream(dir_ / "pellary.pf") << "# written by the end-to-end tests\n"
                                       << "srpc.server.addr=127.0.0.1\n"
                                       << "srpc.server.port=" << port_ << "\n"
                                       << "mon.addr=127.0.0.1\n"
                                       << "mon.port=" << monitor_port_ << "\n"
                                       << "TempDir=" << dir_.path() << "/temp/\n"
                                       << "FileDir=" << dir_.path() << "/files/\n"
                                       << extra_profile;
    if (start) Start();
  }
  ~RunningServer() {
    if (child_ != platform::kNoChild && !ended_) platform::ChildKill(child_);
  }

  void Start() { StartWith({"-console"}); }
  // Runs the executable with `arguments` (none: as the service manager starts it).
  void StartWith(const std::vector<std::string>& arguments) {
    child_ = platform::ChildStart(dir_ / "pellary", arguments, dir_.path(), dir_ / "console.txt");
    ASSERT_NE(child_, platform::kNoChild);
  }
  // Sends a console control event (SIGINT, SIGTERM, SIGHUP); only before Ended saw the end.
  bool Signal(platform::ChildControl control) { return platform::ChildSignal(child_, control); }
  // Connects a client, retrying while the server starts.
  bool Connect(SrpcClient& client, uint32_t within_ms = 10000) {
    for (uint32_t start = platform::GetTickCount(); platform::GetTickCount() - start < within_ms;
         platform::SleepMs(20)) {
      if (client.Connect("127.0.0.1", port_)) return true;
      if (Ended(0)) return false;
    }
    return false;
  }
  // True once the process ended (within `ms`); its status is in exit_code().
  bool Ended(uint32_t ms) {
    if (!ended_) ended_ = platform::ChildWait(child_, ms, &exit_code_);
    return ended_;
  }
  int exit_code() const { return exit_code_; }
  std::string Console() const { return ReadFileBytes(dir_ / "console.txt"); }
  std::string path(const std::string& name) const { return dir_ / name; }
  int port() const { return port_; }
  int monitor_port() const { return monitor_port_; }

 private:
  TempDir dir_;
  int port_;
  int monitor_port_;
  platform::ChildHandle child_ = platform::kNoChild;
  bool ended_ = false;
  int exit_code_ = -1;
};

}  // namespace e2e
