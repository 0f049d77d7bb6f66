#include "runtime/dumpstack.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "platform/process.h"
#include "runtime/jthread.h"
#include "testing/temp_dir.h"

// Outside the anonymous namespace so that stack dumps can name them; out of line, with a
// barrier behind their last call so that it does not become a jump that drops their frame.
// The sanitizer's own division check would end the process before the fault wanted.
[[gnu::noinline]] __attribute__((no_sanitize("integer-divide-by-zero"))) int DivideForDumpTest(
    int dividend, int divisor) {
  return dividend / divisor;
}

[[gnu::noinline]] uint32_t DivideByZeroOnThread(JThread* /*thread*/) {
  volatile int zero = 0;
  int quotient = DivideForDumpTest(7, zero);
  asm volatile("" ::: "memory");
  return static_cast<uint32_t>(quotient);
}

[[gnu::noinline]] void DumpHereForDumpTest() {
  DumpStack("dumpstack.log");
  asm volatile("" ::: "memory");
}

namespace {

const std::regex kBlock(
    "!!!dump stack time:\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d -{34}\r\n"
    "=== begin DumpStack output ===\r\n"
    "([0-9A-F]{8,}: [^\r\n]+\r\n)*"
    "=== end DumpStack\\(\\) output ===\r\n\r\n");

int CountBlocks(const std::string& text) {
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), kBlock),
                                        std::sregex_iterator()));
}

// Dying children work in the test's current directory and send their console output to a file
// there, in binary mode (a text-mode stream on Windows would turn "\n" into "\r\n").
class DumpStackDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
  DeathTestDir dir_;
};

void ConsoleToFile() {
  std::freopen("console.txt", "wb", stdout);
}

TEST(DumpStack, BlocksAppendAndNameTheCallingFunction) {
  CurrentTempDir dir;
  DumpHereForDumpTest();
  DumpHereForDumpTest();
  std::string dump = ReadFileBytes("dumpstack.log");
  EXPECT_EQ(CountBlocks(dump), 2) << dump;
  EXPECT_TRUE(std::regex_search(
      dump, std::regex("\r\n[0-9A-F]{8,}: [^ ]+ DumpHereForDumpTest\\(\\) \\+ \\d+ bytes\r\n")));
  for (const char* text : {"one", "", "two"}) AppendText("out.log", text);
  EXPECT_EQ(ReadFileBytes("out.log"), "onetwo");
  testing::internal::CaptureStdout();
  AppendText("missing/out.log", "x");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "cannot create dumpstack.log \n");
}

// A failed internal check writes its line and a dump, then ends; so does ExitDump, with
// status -1 (the whole exit code on Windows; POSIX keeps its low byte).
TEST_F(DumpStackDeathTest, InternalErrorAndExitDumpWriteADumpThenEnd) {
  InternalError(true, false, "PellaryMng", 28);  // a holding condition returns
  InternalError(false, true, "PellaryMng", 28);
  EXPECT_DEATH((ConsoleToFile(), InternalError(false, false, "PellaryMng", 29)), "");
  EXPECT_EQ(ReadFileBytes("corvexaerror.log"), "internal error:PellaryMng 29\n");
  EXPECT_EQ(ReadFileBytes("console.txt"), "internal error:PellaryMng 29\n");
  EXPECT_EQ(CountBlocks(ReadFileBytes("dumpstack.log")), 1);
  EXPECT_EXIT(ExitDump(), testing::ExitedWithCode(platform::kWindows ? -1 : 255), "");
  EXPECT_EQ(CountBlocks(ReadFileBytes("dumpstack.log")), 2);
  testing::internal::CaptureStdout();
  InternalNotice(false, false, "PellaryMng", 29);
  InternalNotice(true, false, "PellaryMng", 30);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "internal error:PellaryMng 29 occured\n");
}

// The first frame is the instruction that divided.
TEST_F(DumpStackDeathTest, ADivisionByZeroOnAThreadIsNamedAndDumped) {
  EXPECT_EXIT(
      {
        ConsoleToFile();
        InstallDumpStack("dumpstack.log");
        JThread thread;
        thread.StartRoutine(DivideByZeroOnThread);
        thread.Wait();
      },
      [](int status) { return status != 0; }, "");
  const std::string kHead = "EXCEPTION OCCURED:EXCEPTION_INT_DIVIDE_BY_ZERO\r\n";
  EXPECT_EQ(ReadFileBytes("console.txt"), kHead + "dump stack to:dumpstack.log\r\n");
  std::string dump = ReadFileBytes("dumpstack.log");
  ASSERT_EQ(dump.rfind(kHead, 0), 0u) << dump;
  EXPECT_EQ(CountBlocks(dump.substr(kHead.size())), 1) << dump;
  size_t first = dump.find("=== begin DumpStack output ===\r\n") + 32;
  EXPECT_NE(dump.substr(first, dump.find("\r\n", first) - first).find("DivideForDumpTest"),
            std::string::npos);
  EXPECT_NE(dump.find("DivideByZeroOnThread"), std::string::npos);
}

}  // namespace
