// Child processes, with this test program as the child: when PELLARY_CHILD_PART names a part,
// the program plays it before any test runs. The console controls are the end-to-end service
// tests' (they stop the real server with each).
#include "platform/tools/child.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr char kPartVariable[] = "PELLARY_CHILD_PART";
constexpr int kEchoStatus = 7;

std::vector<std::string> OwnArguments() {
#ifdef _WIN32
  return std::vector<std::string>(__argv + 1, __argv + __argc);
#else
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> words;
  for (std::string word; std::getline(in, word, '\0');) words.push_back(word);
  return std::vector<std::string>(words.begin() + 1, words.end());
#endif
}

// "echo": each argument in brackets on a line of standard output, then the current directory;
// "sleep": waits.
const bool g_played = [] {
  const char* part = std::getenv(kPartVariable);
  if (part == nullptr || *part == '\0') return false;
  if (std::string(part) == "sleep") std::this_thread::sleep_for(std::chrono::seconds(30));
  for (const std::string& word : OwnArguments()) std::printf("[%s]\n", word.c_str());
  std::printf("dir=%s\n", fs::current_path().string().c_str());
  std::fflush(stdout);
  std::exit(kEchoStatus);
}();

// This program as a child playing `part`, its output in `output`.
platform::ChildHandle StartPart(const char* part, const std::vector<std::string>& arguments,
                                const std::string& directory, const std::string& output) {
#ifdef _WIN32
  _putenv_s(kPartVariable, part);
#else
  setenv(kPartVariable, part, 1);
#endif
  platform::ChildHandle child =
      platform::ChildStart(platform::ProgramPath(), arguments, directory, output);
#ifdef _WIN32
  _putenv_s(kPartVariable, "");
#else
  setenv(kPartVariable, "", 1);
#endif
  return child;
}

// Words with blanks, quotes and backslashes arrive as they were; the output is appended.
TEST(ChildProcess, ArgumentsArriveWordForWordAndOutputIsAppended) {
  TempDir dir;
  TempDir work;
  WriteFileBytes(dir / "out.txt", "before\n");
  std::vector<std::string> words = {"two words", "say \"hi\"", "dir\\",          "dir\\ x\\\\",
                                    "",          "a\\\"b",     "50% $HOME *.txt"};
  platform::ChildHandle child = StartPart("echo", words, work.path(), dir / "out.txt");
  int status = -1;
  ASSERT_TRUE(platform::ChildWait(child, 30000, &status)) << platform::LastError();
  EXPECT_EQ(status, kEchoStatus);
  std::string text = ReadFileBytes(dir / "out.txt"), expected = "before\n";
  std::erase(text, '\r');  // the C runtime of Windows writes "\r\n"
  for (const std::string& word : words) expected += "[" + word + "]\n";
  size_t dir_line = text.find("dir=");
  ASSERT_NE(dir_line, std::string::npos) << text;
  EXPECT_EQ(text.substr(0, dir_line), expected);
  EXPECT_TRUE(fs::equivalent(text.substr(dir_line + 4, text.size() - dir_line - 5), work.path()));
}

TEST(ChildProcess, AWaitTimesOutAndAKillEndsAndReapsTheChild) {
  TempDir dir;
  platform::ChildHandle child = StartPart("sleep", {}, dir.path(), dir / "out.txt");
  int status = -1;
  EXPECT_FALSE(platform::ChildWait(child, 200, &status));
  // A running test program holds a few megabytes at least.
  EXPECT_GT(platform::ChildResidentBytes(child), 1 << 20);
  EXPECT_GE(platform::ChildPeakResidentBytes(child), platform::ChildResidentBytes(child));
  EXPECT_GE(platform::ChildCpuMicroseconds(child), 0);
  platform::ChildKill(child);
  EXPECT_FALSE(platform::ChildWait(child, 0, &status));  // reaped: nothing is left to wait for
  EXPECT_EQ(platform::ChildCpuMicroseconds(child), -1);
}

}  // namespace
