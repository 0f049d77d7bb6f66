// The real pellary executable run from a temporary program directory of its own: a copy of the
// executable, a loopback-only profile on free ports, and its file directories. Used by the
// end-to-end tests and by the benchmarks that measure the whole server. A process still running
// when the object goes is killed.
//
// A Windows build (a path ending in ".exe") runs under Wine and is spoken to in its own terms:
// Windows paths as Wine maps them, and its console output as the program wrote it.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/tools/child.h"
#include "srpc/stdsocket.h"
#include "testing/temp_dir.h"

// A port that was free a moment ago.
inline int FreePort() {
  StdSocket probe;
  if (!probe.Bind("127.0.0.1", "0")) return 0;
  CString address;
  int port = 0;
  probe.GetLocalAddr(&address, &port);
  return port;
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

// A value as a profile line must spell it: the profile reads `\` as an escape, so a Windows
// path's separators are doubled.
inline std::string ProfileValue(const std::string& value) {
  std::string escaped;
  for (char c : value) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return escaped;
}

inline bool IsWindowsProgram(const std::string& program) {
  return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

class ServerProcess {
 public:
  // `extra_profile` lines go after the generated ones.
  ServerProcess(const std::string& program, const std::string& extra_profile)
      : windows_(IsWindowsProgram(program)),
        program_(dir_ / (windows_ ? "pellary.exe" : "pellary")),
        port_(FreePort()),
        monitor_port_(FreePort()) {
    namespace fs = std::filesystem;
    fs::copy_file(program, program_);
    fs::permissions(program_, fs::perms::owner_all);
    fs::create_directory(dir_ / "temp");
    fs::create_directory(dir_ / "files");
    std::ofstream(dir_ / "pellary.pf") << "# written for one run by a test or benchmark\n"
                                       << "srpc.server.addr=127.0.0.1\n"
                                       << "srpc.server.port=" << port_ << "\n"
                                       << "mon.addr=127.0.0.1\n"
                                       << "mon.port=" << monitor_port_ << "\n"
                                       << "TempDir=" << ProfileValue(remote("temp/")) << "\n"
                                       << "FileDir=" << ProfileValue(remote("files/")) << "\n"
                                       << extra_profile;
  }
  ~ServerProcess() {
    if (child_ != platform::kNoChild && !ended_) platform::ChildKill(child_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Runs the executable with `arguments` (none: as the service manager starts it); again after
  // it ended, in the same directory.
  bool StartWith(const std::vector<std::string>& arguments) {
    ended_ = false;
    exit_code_ = -1;
    std::string program = program_;
    std::vector<std::string> words = arguments;
    if (windows_) {
      words.insert(words.begin(), program_);
      program = "/usr/bin/wine";
    }
    child_ = platform::ChildStart(program, words, dir_.path(), dir_ / "console.txt");
    return child_ != platform::kNoChild;
  }
  // Sends a console control event (SIGINT, SIGTERM, SIGHUP); only before Ended saw the end.
  bool Signal(platform::ChildControl control) { return platform::ChildSignal(child_, control); }
  // Ends the process at once, as a power cut would end the program (SIGKILL); it has no
  // exit status then (-1).
  void Kill() {
    platform::ChildKill(child_);
    ended_ = true;
  }
  // True once the process ended (within `ms`); its status is in exit_code().
  bool Ended(uint32_t ms) {
    if (!ended_) ended_ = platform::ChildWait(child_, ms, &exit_code_);
    return ended_;
  }
  // Waits up to `ms` for the server's port to take a connection.
  bool Listening(uint32_t ms) { return Accepts(port_, ms); }
  // The same for the monitor port, which may open a moment after the server's port.
  bool MonitorListening(uint32_t ms) { return Accepts(monitor_port_, ms); }
  int exit_code() const { return exit_code_; }
  // What the program wrote to its console. A Windows program's C run-time writes "\n" as
  // "\r\n"; that is undone here, so both builds are checked against the same texts.
  std::string Console() const {
    std::string text = ReadFileBytes(dir_ / "console.txt");
    if (!windows_) return text;
    std::string written;
    for (size_t i = 0; i < text.size(); ++i)
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) written += text[i];
    return written;
  }
  // The console once it holds `text`, or as it is after `ms`: a running server writes its
  // console from a thread of its own (when it is not a terminal), a little after the call.
  std::string ConsoleWith(const std::string& text, uint32_t ms = 10000) const {
    uint32_t start = platform::GetTickCount();
    std::string console = Console();
    while (console.find(text) == std::string::npos && platform::GetTickCount() - start < ms) {
      platform::SleepMs(10);
      console = Console();
    }
    return console;
  }
  // What a sanitizer build of the program reported on its console (it may have carried on, or
  // ended in a way the client only saw as a broken connection): the console from the first
  // report on, up to 20,000 characters; empty when there is none.
  std::string SanitizerReport() const {
    std::string text = Console();
    size_t first = std::string::npos;
    for (const char* mark :
         {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
      first = std::min(first, text.find(mark));
    return first == std::string::npos ? "" : text.substr(first, 20000);
  }
  // `name` in the program directory, as this process opens it.
  std::string path(const std::string& name) const { return dir_ / name; }
  // `name` in the program directory, as the server names it.
  std::string remote(const std::string& name) const {
    return windows_ ? WindowsPath(path(name)) : path(name);
  }
  int port() const { return port_; }
  int monitor_port() const { return monitor_port_; }
  platform::ChildHandle child() const { return child_; }

 private:
  bool Accepts(int port, uint32_t ms) {
    for (uint32_t start = platform::GetTickCount(); platform::GetTickCount() - start < ms;
         platform::SleepMs(20)) {
      StdSocket probe;
      if (probe.Connect("127.0.0.1", std::to_string(port).c_str())) return true;
      if (Ended(0)) return false;
    }
    return false;
  }

  TempDir dir_;
  bool windows_;
  std::string program_;
  int port_;
  int monitor_port_;
  platform::ChildHandle child_ = platform::kNoChild;
  bool ended_ = false;
  int exit_code_ = -1;
};
