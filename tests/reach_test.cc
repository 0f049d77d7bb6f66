// pellary-cli as a user starts it, pointed at the server and at the wrong places: it reaches
// the server by name, and where nothing or something else answers it says so at once, in one
// line that names the address and the reason.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/cli.h"
#include "platform/clock.h"
#include "platform/tools/child.h"
#include "testing/temp_dir.h"
#include "tests/running_server.h"

namespace {

struct Outcome {
  int code = -1;
  std::string output;
};

// pellary-cli --host HOST --port PORT version, as a process of its own.
Outcome Version(const std::string& host, int port, const TempDir& directory) {
  const std::string output = directory / ("output-" + std::to_string(port) + host + ".txt");
  platform::ChildHandle child = platform::ChildStart(
      PELLARY_CLI_EXE, {"--host", host, "--port", std::to_string(port), "version"},
      directory.path(), output);
  Outcome outcome;
  if (!platform::ChildWait(child, 60000, &outcome.code)) {  // a hang guard, no time limit
    platform::ChildKill(child);
    ADD_FAILURE() << "pellary-cli waited for an answer that does not come";
  }
  std::ifstream file(output, std::ios::binary);
  outcome.output.assign(std::istreambuf_iterator<char>(file), {});
  return outcome;
}

TEST(Reach, TheCliFindsTheServerByNameAndSaysAtOnceWhatAnsweredElsewhere) {
  e2e::RunningServer server;
  SrpcClient probe;
  ASSERT_TRUE(server.Connect(probe) && server.MonitorListening(10000));
  const int closed = e2e::FreePort();
  struct Case {
    std::string host;
    int port;
    int code;
    std::string output;  // what the output holds
  };
  const std::vector<Case> cases = {
      {"localhost", server.port(), kCliOk, "1.0\n"},
      {"127.0.0.1", server.monitor_port(), kCliUnreachable,
       ": the peer is not an SRPC server (it sent \"Pellary "},
      {"127.0.0.1", closed, kCliUnreachable,
       ": connect 127.0.0.1:" + std::to_string(closed) + ": Connection refused\n"},
      {"no such host", server.port(), kCliUnreachable,
       ": resolve no such host: Name or service not known\n"},
  };
  TempDir directory;
  for (const Case& c : cases) {
    Outcome outcome = Version(c.host, c.port, directory);
    EXPECT_EQ(outcome.code, c.code) << c.host << " " << c.port;
    EXPECT_NE(outcome.output.find(c.output), std::string::npos) << outcome.output;
  }
}

}  // namespace
