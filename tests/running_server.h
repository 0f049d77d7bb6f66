// The server under test: the build's own pellary executable, or the one PELLARY_SERVER names
// (a Windows build runs under Wine), in a program directory of its own for one test.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "srpc/srpcclient.h"
#include "testing/server_process.h"

namespace e2e {

using ::FreePort;

inline const std::string& ServerPath() {
  static const std::string path = [] {
    const char* chosen = std::getenv("PELLARY_SERVER");
    return std::string(chosen != nullptr && *chosen != '\0' ? chosen : PELLARY_EXE);
  }();
  return path;
}
inline bool WindowsServer() {
  return IsWindowsProgram(ServerPath());
}

// A text as the server writes it: UTF-8 from the POSIX build, GBK from the Windows build.
inline std::string ServerText(const std::string& utf8) {
  if (!WindowsServer()) return utf8;
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

class RunningServer : public ServerProcess {
 public:
  // With `start` false the directory is prepared and Start runs it later.
  explicit RunningServer(const std::string& extra_profile = "", bool start = true)
      : ServerProcess(ServerPath(), extra_profile) {
    if (start) Start();
  }
  ~RunningServer() {
    std::string report = SanitizerReport();
    if (!report.empty()) ADD_FAILURE() << "the server reported:\n" << report;
  }

  void Start() { StartWith({"-console"}); }
  void StartWith(const std::vector<std::string>& arguments) {
    ASSERT_TRUE(ServerProcess::StartWith(arguments));
  }
  // Connects a client, retrying while the server starts.
  bool Connect(SrpcClient& client, uint32_t within_ms = 30000) {
    for (uint32_t start = platform::GetTickCount(); platform::GetTickCount() - start < within_ms;
         platform::SleepMs(20)) {
      if (client.Connect("127.0.0.1", port())) return true;
      if (Ended(0)) return false;
    }
    return false;
  }
};

}  // namespace e2e
