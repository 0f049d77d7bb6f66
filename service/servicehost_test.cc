// The host in this process with a stand-in application: the command line, console runs, and
// a service run reporting to a notify socket of the test's own.
#include "service/servicehost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/tools/console_event.h"
#include "platform/tools/service_stand_in.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono_literals;

// The application: main records how it was called and serves until stop.
struct FakeApplication {
  std::mutex mutex;
  std::condition_variable changed;
  int mains = 0;
  int argc = -1;
  char** argv = nullptr;
  bool stopped = false;

  void Reset() {
    std::lock_guard<std::mutex> hold(mutex);
    mains = 0;
    argc = -1;
    argv = nullptr;
    stopped = false;
  }
  bool WaitServing() {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, 10s, [this] { return mains > 0; });
  }
};
FakeApplication g_app;

int FakeMain(int argc, char** argv) {
  std::unique_lock<std::mutex> hold(g_app.mutex);
  ++g_app.mains;
  g_app.argc = argc;
  g_app.argv = argv;
  g_app.changed.notify_all();
  // Bounded, so that a host that never stops fails the test instead of hanging it.
  g_app.changed.wait_for(hold, 20s, [] { return g_app.stopped; });
  return 0;
}

void FakeStop() {
  std::lock_guard<std::mutex> hold(g_app.mutex);
  g_app.stopped = true;
  g_app.changed.notify_all();
}

constexpr ServiceApplication kFake{FakeMain, FakeStop};

// RunServiceHost on a thread of its own, its console messages in a file.
class HostRun {
 public:
  explicit HostRun(std::vector<std::string> words) : words_(std::move(words)) {
    g_app.Reset();
    out_ = std::tmpfile();
    for (std::string& word : words_) argv_.push_back(word.data());
    argv_.push_back(nullptr);
    result_ = std::async(std::launch::async, [this] {
      return RunServiceHost(static_cast<int>(argv_.size()) - 1, argv_.data(), kFake, out_);
    });
  }
  ~HostRun() {
    FakeStop();
    if (result_.valid()) result_.wait();
    std::fclose(out_);
  }
  // The exit status once the host returned within 20 s, else -1.
  int Finish() {
    if (result_.wait_for(20s) != std::future_status::ready) return -1;
    return result_.get();
  }
  std::string Output() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, out_)) text.append(buffer, n);
    return text;
  }

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
  std::FILE* out_ = nullptr;
  std::future<int> result_;
};

const char kUsage[] =
    "pellary -install          to install the service\n"
    "pellary -remove           to remove the service\n"
    "pellary -debug <params>   to run as a console app for debugging\n"
    "pellary -console <params> to run as a console app  \n"
    "This may take several seconds.  Please wait.\n";

HostCommand Parse(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(words.size()), argv.data());
}

TEST(CommandLine, TheFirstArgumentChoosesWithDashOrSlashInAnyCase) {
  EXPECT_EQ(Parse({"pellary", "-install"}), HostCommand::kInstall);
  EXPECT_EQ(Parse({"pellary", "/INSTALL"}), HostCommand::kInstall);
  EXPECT_EQ(Parse({"pellary", "-ReMoVe"}), HostCommand::kRemove);
  EXPECT_EQ(Parse({"pellary", "/debug", "x"}), HostCommand::kDebug);
  EXPECT_EQ(Parse({"pellary", "-CONSOLE", "other.pf", "-install"}), HostCommand::kConsole);
  // Anything else is the service dispatcher, options in later places included.
  EXPECT_EQ(Parse({"pellary", "install"}), HostCommand::kDispatch);
  EXPECT_EQ(Parse({"pellary", "-installs"}), HostCommand::kDispatch);
  EXPECT_EQ(Parse({"pellary", ""}), HostCommand::kDispatch);
  EXPECT_EQ(Parse({"pellary", "x", "-console"}), HostCommand::kDispatch);
  EXPECT_EQ(Parse({"pellary"}), HostCommand::kDispatch);
  EXPECT_EQ(ParseCommandLine(0, nullptr), HostCommand::kDispatch);
}

// A notify socket of the test's own, where status reports arrive (POSIX: on Windows the
// manager has no stand-in to receive them).
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::kWindows) return;
    ASSERT_TRUE(manager_.Open(dir_ / "notify"));
    platform::SetServiceNotifyAddress(manager_.path());
  }
  void TearDown() override { platform::SetServiceNotifyAddress(""); }
  std::string NextReport(int ms = 10000) {
    std::string report;
    return manager_.Receive(&report, ms) ? report : "(no report)";
  }

  TempDir dir_;
  platform::ServiceNotifyListener manager_;
};

// Either key stops a console run, which reports nothing; the application gets no arguments,
// whatever the run got.
TEST_F(HostTest, CtrlCAndCtrlBreakStopAConsoleRunWhoseApplicationGotNoArguments) {
  for (auto [words, event, output] :
       {std::tuple{std::vector<std::string>{"pellary", "-console", "other.pf", "more"},
                   platform::kCtrlCEvent, "Pellary\nStopping Pellary.\n"},
        {std::vector<std::string>{"pellary", "/DEBUG"}, platform::kCtrlBreakEvent,
         "Debug Pellary\nStopping Pellary.\n"}}) {
    HostRun run(words);
    ASSERT_TRUE(g_app.WaitServing());
    if (!platform::RaiseConsoleCtrlEvent(event)) {
      // GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT) fails so under Wine, always.
      EXPECT_TRUE(platform::kWindows && event == platform::kCtrlBreakEvent &&
                  platform::LastError() == platform::kErrorInvalidHandle);
      continue;
    }
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.Output(), output);
    EXPECT_TRUE(g_app.mains == 1 && g_app.argc == 0 && g_app.argv == nullptr);
    EXPECT_TRUE(platform::kWindows || NextReport(0) == "(no report)");
  }
}

TEST_F(HostTest, AServiceRunReportsEveryStateAndStopsOnTheStopControl) {
  if (platform::kWindows) GTEST_SKIP() << "only the manager starts a Windows service (end to end)";
  HostRun run({"pellary"});
  const std::string kStartPending = "STATUS=Start pending, check point ";
  EXPECT_EQ(NextReport(), kStartPending + "1, wait hint 3000 ms\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(NextReport(), kStartPending + "2, wait hint 3000 ms\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(NextReport(), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(g_app.WaitServing());
  EXPECT_EQ(g_app.argc, 0);
  std::raise(SIGTERM);
  EXPECT_EQ(NextReport(), "STOPPING=1\nSTATUS=Stop pending, check point 3, wait hint 0 ms");
  EXPECT_EQ(NextReport(), "STATUS=Stopped, exit code 0");
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Output(), kUsage);
  EXPECT_EQ(g_app.mains, 1);
}

// Outside a service manager, or with its socket gone, the dispatcher fails: the usage stays
// on the console, the application never runs, and the run still ends with 0. (Windows: the
// address changes nothing, and both runs are outside the manager.)
TEST_F(HostTest, WithoutAManagerTheDispatcherFailsAndNothingRuns) {
  for (const std::string& address : {std::string(), dir_ / "nobody-listens"}) {
    SCOPED_TRACE(address);
    platform::SetServiceNotifyAddress(address);
    HostRun run({"pellary", "install"});
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.Output(), kUsage);
    EXPECT_EQ(g_app.mains, 0);
  }
}

}  // namespace
