// The host in this process with a stand-in application; the service reports to our own socket.
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
    std::tie(mains, argc, argv, stopped) = std::tuple(0, -1, nullptr, false);
  }
  bool WaitServing() {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, 10s, [this] { return mains > 0; });
  }
};
FakeApplication g_app;

int FakeMain(int argc, char** argv) {
  std::unique_lock<std::mutex> hold(g_app.mutex);
  std::tie(g_app.argc, g_app.argv) = std::tuple(argc, argv);
  ++g_app.mains;
  g_app.changed.notify_all();
  // Bounded: a host that never stops fails the test instead of hanging it.
  g_app.changed.wait_for(hold, 20s, [] { return g_app.stopped; });
  return 0;
}

void FakeStop() {
  std::lock_guard<std::mutex> hold(g_app.mutex);
  g_app.stopped = true, g_app.changed.notify_all();
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
  int Finish() { return result_.wait_for(20s) == std::future_status::ready ? result_.get() : -1; }
  std::string Output() {
    std::string text(4096, '\0');
    text.resize(
        std::fread(text.data(), 1, text.size(), (std::fflush(out_), std::rewind(out_), out_)));
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

// The first argument chooses, with "-" or "/", in any case; anything else, or nothing, is the
// dispatcher. A row: the words after the program's, split at "|".
TEST(CommandLine, TheFirstArgumentChoosesWithDashOrSlashInAnyCase) {
  using enum HostCommand;
  const std::vector<std::string> lines = {
      "-install", "/INSTALL",  "-ReMoVe", "/debug|x",  "-CONSOLE|other.pf|-install",
      "install",  "-installs", "",        "x|-console"};
  const std::vector<HostCommand> commands = {kInstall,  kInstall,  kRemove,   kDebug,   kConsole,
                                             kDispatch, kDispatch, kDispatch, kDispatch};
  for (size_t row = 0; row < lines.size(); ++row) {
    std::vector<std::string> words{"pellary"};
    for (size_t at = 0, end = 0; end != std::string::npos; at = end + 1)
      words.push_back(lines[row].substr(at, (end = lines[row].find('|', at)) - at));
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    EXPECT_EQ(ParseCommandLine(static_cast<int>(words.size()), argv.data()), commands[row])
        << lines[row];
    EXPECT_EQ(ParseCommandLine(1, argv.data()), kDispatch);
  }
  EXPECT_EQ(ParseCommandLine(0, nullptr), kDispatch);
}

// A notify socket of the test's own for status reports (POSIX: Windows has no stand-in).
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

// Either key stops a console run, which reports nothing; the application gets no arguments.
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
    EXPECT_TRUE(run.Finish() == 0 && g_app.mains == 1 && g_app.argc == 0 && !g_app.argv);
    EXPECT_EQ(run.Output(), output);
    EXPECT_TRUE(platform::kWindows || NextReport(0) == "(no report)");
  }
}

// A service run reports every state and stops on the stop control. Outside a service manager,
// or with its socket gone, the dispatcher fails: the usage stays on the console, the
// application never runs, and the run still ends with 0.
TEST_F(HostTest, AServiceRunReportsEveryStateAndWithoutAManagerNothingRuns) {
  if (!platform::kWindows) {
    HostRun run({"pellary"});
    const std::string kStartPending = "STATUS=Start pending, check point ";
    EXPECT_EQ(NextReport(), kStartPending + "1, wait hint 3000 ms\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(NextReport(), kStartPending + "2, wait hint 3000 ms\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(NextReport(), "READY=1\nSTATUS=Running");
    ASSERT_TRUE(g_app.WaitServing());
    std::raise(SIGTERM);
    EXPECT_EQ(NextReport(), "STOPPING=1\nSTATUS=Stop pending, check point 3, wait hint 0 ms");
    EXPECT_EQ(NextReport(), "STATUS=Stopped, exit code 0");
    EXPECT_TRUE(run.Finish() == 0 && run.Output() == kUsage && g_app.mains == 1 && g_app.argc == 0);
  }
  for (const std::string& address : {std::string(), dir_ / "nobody-listens"}) {
    platform::SetServiceNotifyAddress(address);
    HostRun run({"pellary", "install"});
    EXPECT_TRUE(run.Finish() == 0 && run.Output() == kUsage && g_app.mains == 0) << address;
  }
}

}  // namespace
