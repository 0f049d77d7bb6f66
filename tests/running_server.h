// The real pellary executable run for one test: a temporary program directory holding a copy
// of the executable, its profile and its file directories, free loopback ports, and a clean
// end. A server still running when the test ends is killed.
//
// PELLARY_SERVER may name another build's executable; a Windows one (".exe") runs under Wine
// and is spoken to in its own terms: Windows paths, GBK texts, text-mode console output.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
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

// The executable under test, and whether it is a Windows build that runs under Wine.
struct ServerProgram {
  std::string path;
  bool windows = false;
};
inline const ServerProgram& Program() {
  static const ServerProgram program = [] {
    const char* chosen = std::getenv("PELLARY_SERVER");
    ServerProgram made{chosen != nullptr && *chosen != '\0' ? chosen : PELLARY_EXE};
    made.windows = made.path.size() > 4 && made.path.compare(made.path.size() - 4, 4, ".exe") == 0;
    return made;
  }();
  return program;
}

// How a Windows program under Wine names a local path: below the prefix's drive_c it is C:,
// anything else is Z: (Wine's drive for "/").
inline std::string WindowsPath(const std::string& local) {
  std::string drive_c;
  if (const char* prefix = std::getenv("WINEPREFIX")) drive_c = std::string(prefix) + "/drive_c";
  std::string path = "Z:" + local;
  if (!drive_c.empty() && local.compare(0, drive_c.size(), drive_c) == 0)
    path = "C:" + local.substr(drive_c.size());
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// A text as the server writes it: UTF-8 from the POSIX build, GBK from the Windows build.
inline std::string ServerText(const std::string& utf8) {
  if (!Program().windows) return utf8;
  iconv_t convert = iconv_open("GBK", "UTF-8");
  std::string out(utf8.size() * 2, '\0');
  char* in_bytes = const_cast<char*>(utf8.data());
  char* out_bytes = out.data();
  size_t in_left = utf8.size(), out_left = out.size();
  size_t done = iconv(convert, &in_bytes, &in_left, &out_bytes, &out_left);
  iconv_close(convert);
  EXPECT_NE(done, static_cast<size_t>(-1)) << "not a GBK text: " << utf8;
  out.resize(out.size() - out_left);
  return out;
}

class RunningServer {
 public:
  // `extra_profile` lines go after the generated ones. With `start` false the directory is
  // prepared and Start runs it later.
  explicit RunningServer(const std::string& extra_profile = "", bool start = true)
      : port_(FreePort()), monitor_port_(FreePort()) {
    namespace fs = std::filesystem;
    fs::copy_file(Program().path, program_);
    fs::permissions(program_, fs::perms::owner_all);
    fs::create_directory(dir_ / "temp");
    fs::create_directory(dir_ / "files");
    std::ofstream(dir_ / "pellary.pf") << "# written by the end-to-end tests\n"
                                       << "srpc.server.addr=127.0.0.1\n"
                                       << "srpc.server.port=" << port_ << "\n"
                                       << "mon.addr=127.0.0.1\n"
                                       << "mon.port=" << monitor_port_ << "\n"
                                       << "TempDir=" << remote("temp/") << "\n"
                                       << "FileDir=" << remote("files/") << "\n"
                                       << extra_profile;
    if (start) Start();
  }
  ~RunningServer() {
    if (child_ != platform::kNoChild && !ended_) platform::ChildKill(child_);
  }

  void Start() { StartWith({"-console"}); }
  // Runs the executable with `arguments` (none: as the service manager starts it).
  void StartWith(const std::vector<std::string>& arguments) {
    std::string program = program_;
    std::vector<std::string> words = arguments;
    if (Program().windows) {
      words.insert(words.begin(), program_);
      program = "/usr/bin/wine";
    }
    child_ = platform::ChildStart(program, words, dir_.path(), dir_ / "console.txt");
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
  // What the program wrote to its console. A Windows program's C run-time writes "\n" as
  // "\r\n"; that is undone here, so both builds are checked against the same texts.
  std::string Console() const {
    std::string text = ReadFileBytes(dir_ / "console.txt");
    if (!Program().windows) return text;
    std::string written;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) written += text[i];
    return written;
  }
  // `name` in the program directory, as this process opens it.
  std::string path(const std::string& name) const { return dir_ / name; }
  // `name` in the program directory, as the server names it.
  std::string remote(const std::string& name) const {
    return Program().windows ? WindowsPath(path(name)) : path(name);
  }
  int port() const { return port_; }
  int monitor_port() const { return monitor_port_; }

 private:
  TempDir dir_;
  std::string program_ = dir_ / (Program().windows ? "pellary.exe" : "pellary");
  int port_;
  int monitor_port_;
  platform::ChildHandle child_ = platform::kNoChild;
  bool ended_ = false;
  int exit_code_ = -1;
};

}  // namespace e2e
