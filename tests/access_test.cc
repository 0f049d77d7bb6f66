// The three fences of the running server: a client outside the allow-list is disconnected as
// it connects, from the SRPC port and the monitor port; an allowed client gets failure results
// for paths outside the allowed directories and for every change in read-only mode, cannot
// stop the fenced server, and gets normal service otherwise.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/remote_calls.h"
#include "testing/socket_read.h"
#include "testing/text.h"
#include "tests/running_server.h"

namespace {

namespace fs = std::filesystem;
using e2e::CallLong;
using e2e::Read;
using e2e::RunningServer;
using e2e::Write;

TEST(Access, AClientOutsideTheAllowListIsDisconnectedAtOnceFromBothPorts) {
  RunningServer server("AllowedClients=10.0.0.0/8, 192.168.7.7\n");
  SrpcClient client;
  NetValueList none, results;
  // The connection is taken and closed; nothing is answered.
  bool answered = server.Connect(client) && client.Call("plif_get_version", none, &results) == 0;
  EXPECT_FALSE(answered);
  std::string console = server.ConsoleWith(" refused: not an allowed client");
  EXPECT_NE(console.find("client:127.0.0.1,"), std::string::npos) << console;
  EXPECT_NE(console.find(" refused: not an allowed client\r\n"), std::string::npos) << console;
  EXPECT_EQ(console.find(" connected\r\n"), std::string::npos) << console;
  // The monitor port, which streams every peer and path, closes before the banner. (It may
  // open a moment after the SRPC port.)
  ASSERT_TRUE(server.MonitorListening(10000));
  StdSocket monitor;
  ASSERT_TRUE(monitor.Connect("127.0.0.1", std::to_string(server.monitor_port()).c_str()));
  bool closed = false;
  EXPECT_EQ(ReadUntilClosed(monitor, 10000, &closed), "");
  EXPECT_TRUE(closed);
  console = server.ConsoleWith("monitor:127.0.0.1,");
  EXPECT_NE(console.find("monitor:127.0.0.1,"), std::string::npos) << console;
}

TEST(Access, AllowedClientsAreServedInsideTheJailAndReadOnly) {
  RunningServer server("", false);
  fs::create_directories(server.path("files/jail"));
  fs::create_directories(server.path("files/outside"));
  std::ofstream(server.path("files/jail/in.txt")) << "inside";
  std::ofstream(server.path("files/outside/out.txt")) << "outside";
  std::ofstream(server.path("pellary.pf"), std::ios::app)
      << "AllowedClients=127.0.0.0/8\nReadOnly=1\nAllowedDirs="
      << ProfileValue(server.remote("files/jail")) << "\n";
  server.Start();
  SrpcClient client;
  ASSERT_TRUE(server.Connect(client)) << server.Console();
  std::string in = server.remote("files/jail/in.txt");
  std::string out = server.remote("files/outside/out.txt");
  // Reads inside the jail work; outside it nothing is found, though the file is there. (Which
  // paths the jail lets through is decided, and tested, in filesvc/.)
  EXPECT_EQ(Read(client, in, 0, 100), "inside");
  EXPECT_EQ(CallLong(client, "plif_file_open", out), 0);
  // Every change is refused, inside the jail too, and the disk is untouched.
  EXPECT_EQ(CallLong(client, "plif_file_create", server.remote("files/jail/new.txt")), 0);
  EXPECT_EQ(Write(client, in, 0, "X"), 0);
  EXPECT_EQ(ReadFileBytes(server.path("files/jail/in.txt")), "inside");
  EXPECT_FALSE(fs::exists(server.path("files/jail/new.txt")));
  std::string console = server.ConsoleWith(" the server is read-only\r\n");
  // File paths are logged lower-cased.
  EXPECT_NE(console.find("refused:" + Lower(out) + " outside the allowed directories\r\n"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find(" the server is read-only\r\n"), std::string::npos) << console;
  // Nor may it stop the server. (In a new second: the refusals above filled this one's
  // share of refusal lines.)
  platform::SleepMs(1100);
  NetValueList none, results;
  EXPECT_EQ(client.Call("_shutdown", none, &results), 0);
  EXPECT_EQ(CallLong(client, "plif_file_open", in), 1);
  console = server.ConsoleWith("refused:_shutdown the server is fenced\r\n");
  EXPECT_NE(console.find("refused:_shutdown the server is fenced\r\n"), std::string::npos)
      << console;
}

TEST(Access, AFenceThatCannotBeBuiltStopsTheServer) {
  RunningServer server("AllowedClients=everyone\n");
  ASSERT_TRUE(server.Ended(15000));
  EXPECT_NE(server.exit_code(), 0);
  EXPECT_NE(server.Console().find("AllowedClients: everyone is not an IPv4 address or network"),
            std::string::npos)
      << server.Console();
}

}  // namespace
