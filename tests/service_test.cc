// The executable under its three masters: a console whose Ctrl+C stops it, a service manager
// that starts it with a notify socket and stops it with SIGTERM, and no one at all (started
// without arguments outside a service manager). Each stop must go through the whole shutdown
// and end with status 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/service.h"
#include "platform/tools/service_stand_in.h"
#include "tests/running_server.h"

namespace {

using e2e::RunningServer;

const char kUsage[] =
    "pellary -install          to install the service\n"
    "pellary -remove           to remove the service\n"
    "pellary -debug <params>   to run as a console app for debugging\n"
    "pellary -console <params> to run as a console app  \n"
    "This may take several seconds.  Please wait.\n";
// The last line of the application's shutdown.
const char kShutDown[] = "SafeClose....\r\n";

class ServiceHost : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetServiceNotifyAddress(""); }
  void TearDown() override { platform::SetServiceNotifyAddress(""); }
};

bool Serves(RunningServer& server) {
  SrpcClient client;
  return server.Connect(client);
}

TEST_F(ServiceHost, CtrlCStopsAConsoleRunThatIgnoredItsOtherArguments) {
  RunningServer server("", false);
  // Were "missing.pf" handed on, the application would end at once for want of a profile.
  server.StartWith({"/CONSOLE", "missing.pf", "-install"});
  ASSERT_TRUE(Serves(server)) << server.Console();
  ASSERT_TRUE(server.Signal(platform::ChildControl::kCtrlC));
  ASSERT_TRUE(server.Ended(30000)) << server.Console();
  EXPECT_EQ(server.exit_code(), 0);
  std::string console = server.Console();
  EXPECT_EQ(console.rfind("Pellary\n", 0), 0u) << console;
  size_t stopping = console.find("Stopping Pellary.\n");
  EXPECT_NE(stopping, std::string::npos) << console;
  EXPECT_GT(console.find(kShutDown), stopping) << console;
}

// Closing the console is not a stop request: the signal's own action ends the process.
TEST_F(ServiceHost, TheConsoleCloseEventIsLeftToTheSystem) {
  RunningServer server;
  ASSERT_TRUE(Serves(server)) << server.Console();
  ASSERT_TRUE(server.Signal(platform::ChildControl::kClose));
  ASSERT_TRUE(server.Ended(30000));
  EXPECT_NE(server.exit_code(), 0);
  EXPECT_EQ(server.Console().find("Stopping"), std::string::npos) << server.Console();
}

TEST_F(ServiceHost, UnderAServiceManagerItReportsEachStateAndStopsOnSigterm) {
  if (e2e::WindowsServer()) GTEST_SKIP() << "systemd's notify protocol; see WineServiceManager";
  TempDir manager_dir;
  platform::ServiceNotifyListener manager;
  ASSERT_TRUE(manager.Open(manager_dir / "notify"));
  platform::SetServiceNotifyAddress(manager.path());
  RunningServer server("", false);
  server.StartWith({});
  std::string report;
  auto next = [&manager, &report] {
    return manager.Receive(&report, 15000) ? report : "(no report)";
  };
  EXPECT_EQ(next().rfind("STATUS=Start pending, check point 1,", 0), 0u) << report;
  EXPECT_EQ(next().rfind("STATUS=Start pending, check point 2,", 0), 0u) << report;
  EXPECT_EQ(next(), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(Serves(server)) << server.Console();

  ASSERT_TRUE(server.Signal(platform::ChildControl::kCtrlBreak));
  EXPECT_EQ(next().rfind("STOPPING=1\nSTATUS=Stop pending, check point 3,", 0), 0u) << report;
  EXPECT_EQ(next(), "STATUS=Stopped, exit code 0");
  ASSERT_TRUE(server.Ended(30000)) << server.Console();
  EXPECT_EQ(server.exit_code(), 0);
  std::string console = server.Console();
  EXPECT_EQ(console.rfind(kUsage, 0), 0u) << console;
  EXPECT_NE(console.find(kShutDown), std::string::npos) << console;
}

// The event-log entry also reaches standard error (the console file here), where it can be seen.
TEST_F(ServiceHost, WithoutArgumentsOutsideAServiceManagerItShowsTheUsageAndLogsTheFailure) {
  RunningServer server("", false);
  server.StartWith({});
  ASSERT_TRUE(server.Ended(15000)) << server.Console();
  EXPECT_EQ(server.exit_code(), 0);
  std::string console = server.Console();
  EXPECT_EQ(console.rfind(kUsage, 0), 0u) << console;
  // The POSIX event log also writes to standard error; Wine's event log keeps nothing.
  if (!e2e::WindowsServer()) {
    EXPECT_NE(console.find("pellary error: 1063 - StartServiceCtrlDispatcher failed.\n"),
              std::string::npos)
        << console;
  }
  // The application never ran.
  EXPECT_EQ(console.find("mon.port"), std::string::npos) << console;
}

// A command run to its end: its exit status and what it wrote.
struct Command {
  int code = -1;
  std::string output;
};
Command RunCommand(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& directory, uint32_t timeout_ms = 180000) {
  TempDir scratch;
  Command done;
  platform::ChildHandle child =
      platform::ChildStart(program, arguments, directory, scratch / "output");
  if (child == platform::kNoChild) return done;
  if (!platform::ChildWait(child, timeout_ms, &done.code)) platform::ChildKill(child);
  done.output = ReadFileBytes(scratch / "output");
  return done;
}

// A Wine prefix of the test's own, made in full before anything else starts: a Wine program
// started while wineboot still works starts a second service manager, and a service is then
// installed with one and started with the other. Wine ends its service manager, and the
// services with it, once no other program of the prefix runs: a keeper runs alongside.
// However the test ends, the prefix's session ends with it.
class WinePrefix {
 public:
  explicit WinePrefix(const std::string& work_dir) : work_dir_(work_dir) {
    setenv("WINEPREFIX", dir_.path().c_str(), 1);
    made_ = RunCommand("/usr/bin/wineboot", {"-i"}, work_dir_).code == 0 &&
            RunCommand("/usr/bin/wineserver", {"-w"}, work_dir_).code == 0;
    keeper_ = platform::ChildStart("/usr/bin/wine", {"ping", "-n", "600", "127.0.0.1"}, work_dir_,
                                   dir_ / "keeper.txt");
  }
  ~WinePrefix() {
    if (keeper_ != platform::kNoChild) platform::ChildKill(keeper_);
    RunCommand("/usr/bin/wineserver", {"-k"}, work_dir_);
    unsetenv("WINEPREFIX");
  }
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  bool made() const { return made_ && keeper_ != platform::kNoChild; }
  Command Run(const std::vector<std::string>& arguments) const {
    return RunCommand("/usr/bin/wine", arguments, work_dir_);
  }

 private:
  TempDir dir_;
  std::string work_dir_;
  bool made_ = false;
  platform::ChildHandle keeper_ = platform::kNoChild;
};

// The Windows build under Wine's own service manager. Wine's event log stores nothing, so what
// the service reports there cannot be checked here; its states can.
TEST(WineServiceManager, InstallStartServeStopAndRemove) {
  if (!e2e::WindowsServer()) GTEST_SKIP() << "the Windows service manager needs the .exe";
  RunningServer server("", false);
  WinePrefix prefix(server.path(""));
  ASSERT_TRUE(prefix.made());
  auto wine = [&prefix](const std::vector<std::string>& arguments) {
    return prefix.Run(arguments);
  };
  auto state = [&wine] { return wine({"sc", "query", "pellary"}).output; };
  Command install = wine({server.path("pellary.exe"), "-install"});
  EXPECT_EQ(install.code, 0) << install.output;
  EXPECT_NE(install.output.find(e2e::ServerText("安装成功.")), std::string::npos) << install.output;
  Command start = wine({"sc", "start", "pellary"});
  EXPECT_EQ(start.code, 0) << start.output;
  SrpcClient client;
  bool connected = false;
  for (int n = 0; n < 300 && !connected; ++n, platform::SleepMs(100))
    connected = client.Connect("127.0.0.1", server.port());
  ASSERT_TRUE(connected) << state();
  NetValueList none, results;
  ASSERT_EQ(client.Call("plif_get_version", none, &results), 0);
  EXPECT_STREQ(results.GetString(0), "1.0");
  EXPECT_NE(state().find("RUNNING"), std::string::npos) << state();

  Command stop = wine({"sc", "stop", "pellary"});
  EXPECT_EQ(stop.code, 0) << stop.output;
  std::string stopped;
  for (int n = 0; n < 60 && stopped.find("STOPPED") == std::string::npos; ++n) {
    platform::SleepMs(500);
    stopped = state();
  }
  EXPECT_NE(stopped.find("STOPPED"), std::string::npos) << stopped;
  // The whole shutdown ran: the cache's index files are gone and the port is closed.
  EXPECT_TRUE(std::filesystem::is_empty(server.path("temp")));
  SrpcClient late;
  EXPECT_FALSE(late.Connect("127.0.0.1", server.port()));

  Command remove = wine({server.path("pellary.exe"), "-remove"});
  EXPECT_EQ(remove.code, 0) << remove.output;
  EXPECT_NE(remove.output.find(e2e::ServerText("拆除成功.")), std::string::npos) << remove.output;
  // Wine's sc says nothing of a service that does not exist; it fails.
  EXPECT_NE(wine({"sc", "query", "pellary"}).code, 0) << state();
}

}  // namespace
