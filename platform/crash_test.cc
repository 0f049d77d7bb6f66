#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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

// Faults, each the first frame of its crash (the sanitizer's division check would end the
// process before the fault).
[[gnu::noinline]] __attribute__((no_sanitize("integer-divide-by-zero"))) int DivideForCrashTest(
    int dividend, int divisor) {
  return dividend / divisor;
}

[[gnu::noinline]] int ReadForCrashTest(volatile int* address) {
  return *address;
}

// Deeper than any stack: the limit keeps the compiler from calling the recursion endless.
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

TEST(Stack, CapturesStartAtTheCallerAndNameItDemangledInAnyThread) {
  void* frames[32];
  int count = CaptureHereForCrashTest(frames, 32);
  ASSERT_GT(count, 1);
  platform::FrameDescription first = platform::DescribeFrame(frames[0]);
  EXPECT_EQ(first.symbol, "CaptureHereForCrashTest(void**, int)");
  EXPECT_NE(first.module.find("platform_test"), std::string::npos) << first.module;
  EXPECT_GT(first.offset, 0u);
  EXPECT_EQ(CaptureHereForCrashTest(frames, 1), 1);
  // Another thread records its own stack when asked.
  std::atomic<bool> release{false};
  std::atomic<uint64_t> id{0};
  std::thread parked([&] {
    id = platform::CurrentThreadId();
    ParkForCrashTest(&release);
  });
  while (id.load() == 0) platform::SleepMs(1);
  count = platform::CaptureThreadStack(id, frames, 32, 2000);
  void* own[64];
  int own_count = platform::CaptureStack(own, 64, 0);
  release = true;
  parked.join();
  ASSERT_GT(count, 0);
  EXPECT_TRUE(std::any_of(frames, frames + count, [](void* frame) {
    return platform::DescribeFrame(frame).symbol.find("ParkForCrashTest") != std::string::npos;
  }));
  // The callers of this test body are the asking thread's, not in the answer.
  ASSERT_GT(own_count, 1);
  EXPECT_EQ(std::find(frames, frames + count, own[1]), frames + count);
  EXPECT_EQ(platform::CaptureThreadStack(id, frames, 8, 100), 0);  // a thread that is gone
}

int DivideByZero() {
  volatile int zero = 0;
  return DivideForCrashTest(7, zero);
}

// Each fault in a process of its own: the handler hears the fault's name and the faulting
// function first, and the process ends even when the handler faults too.
TEST(CrashDeathTest, TheHandlerGetsTheFaultsNameAndTheFaultingFunctionFirst) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<std::tuple<platform::CrashHandler, int (*)(), const char*, const char*>> rows =
      {
          {ReportCrash, DivideByZero,
           "crash:EXCEPTION_INT_DIVIDE_BY_ZERO first:DivideForCrashTest\\(int, int\\)", nullptr},
          {ReportCrash, [] { return ReadForCrashTest(reinterpret_cast<volatile int*>(16)); },
           "crash:EXCEPTION_ACCESS_VIOLATION first:ReadForCrashTest\\(int volatile\\*\\)", nullptr},
          {FaultInHandler, DivideByZero, "handling:EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr},
          // POSIX: a SIGSEGV. Windows: frames larger than a page call the stack probe first,
          // where the stack runs out (which leaves Wine room to raise the overflow).
          {ReportCrash, [] { return RecurseForCrashTest(0); },
           "crash:EXCEPTION_ACCESS_VIOLATION first:RecurseForCrashTest\\(int\\)",
           "crash:EXCEPTION_STACK_OVERFLOW first:___chkstk_ms then:RecurseForCrashTest\\(int\\)"},
      };
  for (const auto& [handler, fault, posix, win32] : rows) {  // win32: where it differs
    const char* expected = platform::kWindows && win32 != nullptr ? win32 : posix;
    EXPECT_EXIT(
        {
          platform::InstallCrashHandler(handler);
          std::printf("%d", fault());
        },
        [](int status) { return status != 0; }, expected);
  }
}

}  // namespace
