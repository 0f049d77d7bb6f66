// Child processes, with this test program as the child: when PELLARY_CHILD_PART names a part,
// the program plays it before any test runs (see PlayChildPart).
#include "platform/tools/child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/tools/wine_detect.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPartVariable[] = "PELLARY_CHILD_PART";
constexpr int kEchoStatus = 7;
constexpr int kControlStatusBase = 10;  // plus the event

// ---- The child's side ----

std::vector<std::string> OwnArguments() {
#ifdef _WIN32
  return std::vector<std::string>(__argv + 1, __argv + __argc);
#else
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> words;
  std::string word;
  while (std::getline(in, word, '\0')) words.push_back(word);
  if (!words.empty()) words.erase(words.begin());
  return words;
#endif
}

std::atomic<int> g_event{-1};

bool RecordEvent(uint32_t event) {
  if (event == platform::kCtrlCloseEvent) return false;  // the close is left to the system
  g_event = static_cast<int>(event);
  return true;
}

// "echo": each argument in brackets on a line of standard output, the current directory on
// standard error. "control": reports console events through its exit status. "sleep": waits.
int PlayChildPart(const std::string& part) {
  if (part == "echo") {
    for (const std::string& word : OwnArguments()) std::printf("[%s]\n", word.c_str());
    std::fflush(stdout);  // before the unbuffered standard error
    std::fprintf(stderr, "dir=%s\n", fs::current_path().string().c_str());
    return kEchoStatus;
  }
  if (part == "control") {
    platform::SetConsoleCtrlHandler(RecordEvent, true);
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < 2000 && g_event.load() < 0; ++i) std::this_thread::sleep_for(10ms);
    return g_event.load() < 0 ? 2 : kControlStatusBase + g_event.load();
  }
  std::this_thread::sleep_for(30s);
  return 0;
}

const bool g_played = [] {
  const char* part = std::getenv(kPartVariable);
  if (part != nullptr && *part != '\0') std::exit(PlayChildPart(part));
  return false;
}();

// ---- The parent's side ----

void SetPart(const char* part) {
#ifdef _WIN32
  _putenv_s(kPartVariable, part);
#else
  setenv(kPartVariable, part, 1);
#endif
}

// This program as a child playing `part`, its output in `output`.
platform::ChildHandle StartPart(const char* part, const std::vector<std::string>& arguments,
                                const std::string& directory, const std::string& output) {
  SetPart(part);
  platform::ChildHandle child =
      platform::ChildStart(platform::ProgramPath(), arguments, directory, output);
  SetPart("");
  return child;
}

// The file's text with "\n" line ends (the C runtime of Windows writes "\r\n").
std::string ReadAll(const std::string& path) {
  std::string text = ReadFileBytes(path);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

bool WaitForText(const std::string& path, const std::string& text) {
  for (int i = 0; i < 1000; ++i) {
    if (ReadAll(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(ChildProcess, ArgumentsArriveWordForWordAndOutputIsAppended) {
  TempDir dir;
  TempDir work;
  std::string output = dir / "out.txt";
  std::ofstream(output) << "before\n";
  std::vector<std::string> words = {
      "plain", "two words", "say \"hi\"", "dir\\",    "dir\\ x\\\\",
      "",      "tab\there", "a\\\"b",     "-install", "50% $HOME *.txt"};
  platform::ChildHandle child = StartPart("echo", words, work.path(), output);
  ASSERT_NE(child, platform::kNoChild) << platform::LastError();
  int status = -1;
  ASSERT_TRUE(platform::ChildWait(child, 30000, &status));
  EXPECT_EQ(status, kEchoStatus);

  std::string text = ReadAll(output);
  std::string expected = "before\n";
  for (const std::string& word : words) expected += "[" + word + "]\n";
  size_t dir_line = text.find("dir=");
  ASSERT_NE(dir_line, std::string::npos) << text;
  EXPECT_EQ(text.substr(0, dir_line), expected);
  std::string directory = text.substr(dir_line + 4);
  if (!directory.empty() && directory.back() == '\n') directory.pop_back();
  EXPECT_TRUE(fs::equivalent(directory, work.path())) << directory;
}

TEST(ChildProcess, AWaitTimesOutAndAKillEndsAndReapsTheChild) {
  TempDir dir;
  platform::ChildHandle child = StartPart("sleep", {}, dir.path(), dir / "out.txt");
  ASSERT_NE(child, platform::kNoChild);
  int status = -1;
  EXPECT_FALSE(platform::ChildWait(child, 200, &status));
  // A running test program holds a few megabytes at least.
  EXPECT_GT(platform::ChildResidentBytes(child), 1 << 20);
  EXPECT_GE(platform::ChildPeakResidentBytes(child), platform::ChildResidentBytes(child));
  platform::ChildKill(child);
  // Reaped: nothing is left to wait for.
  EXPECT_FALSE(platform::ChildWait(child, 0, &status));
}

// Windows refuses to start it; POSIX forks, and the exec in the child fails.
TEST(ChildProcess, AProgramThatIsMissingDoesNotRun) {
  TempDir dir;
  platform::ChildHandle child =
      platform::ChildStart(dir / "missing", {}, dir.path(), dir / "out.txt");
  int status = -1;
  EXPECT_TRUE(platform::kWindows ? child == platform::kNoChild &&
                                       platform::LastError() == platform::kErrorFileNotFound
                                 : platform::ChildWait(child, 30000, &status) && status == 127);
}

// Starts a child that handles console events, sends it `control` once it is ready, and gives
// the child's exit status (its event plus kControlStatusBase), or -1 when the control could
// not be sent (the error in *error).
int StatusAfterControl(platform::ChildControl control, uint32_t* error) {
  TempDir dir;
  std::string output = dir / "out.txt";
  platform::ChildHandle child = StartPart("control", {}, dir.path(), output);
  EXPECT_NE(child, platform::kNoChild);
  if (child == platform::kNoChild) return -1;
  EXPECT_TRUE(WaitForText(output, "ready")) << ReadAll(output);
  if (!platform::ChildSignal(child, control)) {
    *error = platform::LastError();
    platform::ChildKill(child);
    return -1;
  }
  int status = -1;
  EXPECT_TRUE(platform::ChildWait(child, 30000, &status));
  return status;
}

// The child's handler sees Ctrl+C and Ctrl+Break each as its own kind (and this process hears
// nothing); the closing of its console ends it as the system ends it, whatever its handlers.
TEST(ChildProcess, ConsoleControlsReachTheChild) {
#ifdef _WIN32
  const int closed = static_cast<int>(0xC000013A);  // STATUS_CONTROL_C_EXIT
#else
  const int closed = 128 + SIGHUP;
#endif
  for (auto [control, status] : {std::pair{platform::ChildControl::kCtrlC, kControlStatusBase},
                                 {platform::ChildControl::kCtrlBreak, kControlStatusBase + 1},
                                 {platform::ChildControl::kClose, closed}}) {
    uint32_t error = 0;
    int got = StatusAfterControl(control, &error);
    if (got == -1 && platform::RunsUnderWine() && error == platform::kErrorInvalidHandle &&
        control == platform::ChildControl::kCtrlBreak) {
      continue;  // Wine fails GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT) so, always
    }
    EXPECT_EQ(got, status) << error;
  }
}

}  // namespace
