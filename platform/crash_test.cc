#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>

#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/process.h"

// External linkage: stack descriptions name functions through the dynamic symbol table.
[[gnu::noinline]] int CaptureHereForCrashTest(void** frames, int max_frames) {
  int count = platform::CaptureStack(frames, max_frames, 0);
  asm volatile("" ::: "memory");  // keeps this frame from becoming a tail call
  return count;
}

[[gnu::noinline]] void ParkForCrashTest(std::atomic<bool>* release, std::atomic<uint64_t>* id) {
  *id = platform::CurrentThreadId();
  while (!release->load()) platform::SleepMs(1);  // a loop, so the sleep is no tail call
}

// The limit, deeper than any stack, keeps the compiler from calling the recursion endless.
volatile int g_zero = 0, g_recursion_limit = 1 << 30;

// The sanitizer's division check would end the process before the fault.
[[gnu::noinline]] __attribute__((no_sanitize("integer-divide-by-zero"))) int DivideForCrashTest() {
  return 7 / g_zero;
}

[[gnu::noinline]] int ReadForCrashTest(volatile int* address) {
  return *address;
}

[[gnu::noinline]] int RecurseForCrashTest(int depth) {
  if (depth > g_recursion_limit) return 0;
  volatile char fill[4096] = {static_cast<char>(depth)};
  return RecurseForCrashTest(depth + 1) + fill[0];
}

static void ReportCrash(const char* exception_name, void* const* frames, int count) {
  std::string first = count > 0 ? platform::DescribeFrame(frames[0]).symbol : "";
  std::string then = count > 1 ? platform::DescribeFrame(frames[1]).symbol : "";
  std::fprintf(stderr, "crash:%s first:%s then:%s\n", exception_name, first.c_str(), then.c_str());
}

static void FaultInHandler(const char* exception_name, void* const* /*frames*/, int /*count*/) {
  std::fprintf(stderr, "handling:%s\n", exception_name);
  std::printf("%d", ReadForCrashTest(reinterpret_cast<volatile int*>(32)));
}

TEST(Stack, CapturesStartAtTheCallerAndNameItDemangledInAnyThread) {
  void* frames[32];
  int count = CaptureHereForCrashTest(frames, 32);
  ASSERT_GT(count, 1);
  platform::FrameDescription first = platform::DescribeFrame(frames[0]);
  EXPECT_EQ(first.symbol, "CaptureHereForCrashTest(void**, int)");
  EXPECT_TRUE(first.module.find("platform_test") != std::string::npos && first.offset > 0u);
  EXPECT_EQ(CaptureHereForCrashTest(frames, 1), 1);
  std::atomic<bool> release{false};
  std::atomic<uint64_t> id{0};
  std::thread parked(ParkForCrashTest, &release, &id);
  while (id.load() == 0) platform::SleepMs(1);
  count = platform::CaptureThreadStack(id, frames, 32, 2000);
  void* own[64];
  EXPECT_GT(platform::CaptureStack(own, 64, 0), 1);
  release = true;
  parked.join();
  EXPECT_TRUE(std::any_of(frames, frames + count, [](void* frame) {
    return platform::DescribeFrame(frame).symbol.find("ParkForCrashTest") != std::string::npos;
  }));
  // The callers of this test body are the asking thread's, not in the answer.
  EXPECT_EQ(std::find(frames, frames + count, own[1]), frames + count);
  EXPECT_EQ(platform::CaptureThreadStack(id, frames, 8, 100), 0);  // a thread that is gone
}

TEST(CrashDeathTest, TheHandlerGetsTheFaultsNameAndTheFaultingFunctionFirst) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::tuple<platform::CrashHandler, int (*)(), const char*, const char*> rows[] = {
      {ReportCrash, [] { return ReadForCrashTest(reinterpret_cast<volatile int*>(16)); },
       "crash:EXCEPTION_ACCESS_VIOLATION first:ReadForCrashTest\\(int volatile\\*\\)", nullptr},
      {FaultInHandler, DivideForCrashTest, "handling:EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr},
      // Windows: frames over a page call the stack probe first, where the stack runs out.
      {ReportCrash, [] { return RecurseForCrashTest(0); },
       "crash:EXCEPTION_ACCESS_VIOLATION first:RecurseForCrashTest\\(int\\)",
       "crash:EXCEPTION_STACK_OVERFLOW first:___chkstk_ms then:RecurseForCrashTest\\(int\\)"},
  };
  for (const auto& [handler, fault, posix, win32] : rows) {  // win32: where it differs
    EXPECT_EXIT((platform::InstallCrashHandler(handler), std::printf("%d", fault())),
                [](int status) { return status != 0; },
                platform::kWindows && win32 ? win32 : posix);
  }
}
