#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/process.h"

// Outside the anonymous namespace: stack descriptions name functions through the dynamic
// symbol table, which holds only symbols with external linkage.
[[gnu::noinline]] int CaptureHereForCrashTest(void** frames, int max_frames) {
  int count = platform::CaptureStack(frames, max_frames, 0);
  asm volatile("" ::: "memory");  // keeps this frame from becoming a tail call
  return count;
}

[[gnu::noinline]] void ParkForCrashTest(std::atomic<bool>* release) {
  while (!release->load()) platform::SleepMs(1);
  asm volatile("" ::: "memory");
}

// Faults for the crash handler tests; each one is the first frame of its crash. (The
// sanitizer's own division check would end the process before the fault.)
[[gnu::noinline]] __attribute__((no_sanitize("integer-divide-by-zero"))) int DivideForCrashTest(
    int dividend, int divisor) {
  return dividend / divisor;
}

[[gnu::noinline]] int ReadForCrashTest(volatile int* address) {
  return *address;
}

// Deeper than any stack: the limit only keeps the compiler from calling the recursion endless.
volatile int g_recursion_limit = 1 << 30;

[[gnu::noinline]] int RecurseForCrashTest(int depth) {
  if (depth > g_recursion_limit) return 0;
  volatile char fill[4096];
  fill[0] = static_cast<char>(depth);
  return RecurseForCrashTest(depth + 1) + fill[0];
}

namespace {

// Prints what the handler is given, for the dying child's output to be matched.
void ReportCrash(const char* exception_name, void* const* frames, int count) {
  std::string first = count > 0 ? platform::DescribeFrame(frames[0]).symbol : "";
  std::string then = count > 1 ? platform::DescribeFrame(frames[1]).symbol : "";
  std::fprintf(stderr, "crash:%s first:%s then:%s\n", exception_name, first.c_str(), then.c_str());
  std::fflush(stderr);
}

// A handler that faults itself: the process must still end.
void FaultInHandler(const char* exception_name, void* const* /*frames*/, int /*count*/) {
  std::fprintf(stderr, "handling:%s\n", exception_name);
  std::fflush(stderr);
  std::printf("%d", ReadForCrashTest(reinterpret_cast<volatile int*>(32)));
}

bool AnyFrameNames(void* const* frames, int count, const std::string& name) {
  for (int i = 0; i < count; ++i) {
    if (platform::DescribeFrame(frames[i]).symbol.find(name) != std::string::npos) return true;
  }
  return false;
}

TEST(Stack, OwnCaptureStartsAtTheCallerAndNamesItDemangled) {
  void* frames[32];
  int count = CaptureHereForCrashTest(frames, 32);
  ASSERT_GT(count, 1);
  platform::FrameDescription first = platform::DescribeFrame(frames[0]);
  EXPECT_EQ(first.symbol, "CaptureHereForCrashTest(void**, int)");
  EXPECT_NE(first.module.find("platform_test"), std::string::npos) << first.module;
  EXPECT_GT(first.offset, 0u);
  EXPECT_EQ(CaptureHereForCrashTest(frames, 1), 1);
}

TEST(Stack, AnotherThreadRecordsItsOwnStackWhenAsked) {
  std::atomic<bool> release{false};
  std::atomic<uint64_t> id{0};
  std::thread parked([&] {
    id = platform::CurrentThreadId();
    ParkForCrashTest(&release);
  });
  while (id.load() == 0) platform::SleepMs(1);
  void* frames[64];
  int count = platform::CaptureThreadStack(id, frames, 64, 2000);
  void* own[64];
  int own_count = platform::CaptureStack(own, 64, 0);
  release = true;
  parked.join();
  ASSERT_GT(count, 0);
  EXPECT_TRUE(AnyFrameNames(frames, count, "ParkForCrashTest")) << count;
  // The frames that called this test body (own[0] is the body itself, at another call) are
  // the asking thread's: none of them is in the answer. (The outermost frames that start
  // every thread may be shared.)
  ASSERT_GT(own_count, 3);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(std::find(frames, frames + count, own[i]), frames + count) << "own frame " << i;
  }
}

TEST(Stack, AThreadThatIsGoneGivesNoFrames) {
  std::atomic<uint64_t> id{0};
  std::thread([&] { id = platform::CurrentThreadId(); }).join();
  void* frames[8];
  EXPECT_EQ(platform::CaptureThreadStack(id, frames, 8, 100), 0);
}

int DivideByZero() {
  volatile int zero = 0;
  return DivideForCrashTest(7, zero);
}
int ReadAddress16() {
  return ReadForCrashTest(reinterpret_cast<volatile int*>(16));
}
int Overflow() {
  return RecurseForCrashTest(0);
}

// Each fault in a process of its own: the handler hears the fault's name and the faulting
// function first, and the process ends even when the handler faults too.
TEST(CrashDeathTest, TheHandlerGetsTheFaultsNameAndTheFaultingFunctionFirst) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Row {
    platform::CrashHandler handler;
    int (*fault)();
    const char* posix;
    const char* win32;
  };
  const Row rows[] = {
      {ReportCrash, DivideByZero,
       "crash:EXCEPTION_INT_DIVIDE_BY_ZERO first:DivideForCrashTest\\(int, int\\)", nullptr},
      {ReportCrash, ReadAddress16,
       "crash:EXCEPTION_ACCESS_VIOLATION first:ReadForCrashTest\\(int volatile\\*\\)", nullptr},
      {FaultInHandler, DivideByZero, "handling:EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr},
      // POSIX: a SIGSEGV like any other bad access. Windows: the recursing function's frames
      // are larger than a page, so each one calls the stack probe first, and that is where
      // the stack runs out. (Wine cannot raise the overflow at all when it is a push or call
      // that meets the last page; the probe leaves it room.)
      {ReportCrash, Overflow, "crash:EXCEPTION_ACCESS_VIOLATION first:RecurseForCrashTest\\(int\\)",
       "crash:EXCEPTION_STACK_OVERFLOW first:___chkstk_ms then:RecurseForCrashTest\\(int\\)"},
  };
  for (const Row& row : rows) {
    const char* expected = platform::kWindows && row.win32 != nullptr ? row.win32 : row.posix;
    EXPECT_EXIT(
        {
          platform::InstallCrashHandler(row.handler);
          std::printf("%d", row.fault());
        },
        [](int status) { return status != 0; }, expected);
  }
}

}  // namespace
