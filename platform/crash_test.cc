#include <gtest/gtest.h>

#include <atomic>
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

namespace {

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
  release = true;
  parked.join();
  ASSERT_GT(count, 0);
  EXPECT_TRUE(AnyFrameNames(frames, count, "ParkForCrashTest")) << count;
  EXPECT_FALSE(AnyFrameNames(frames, count, "AnotherThreadRecordsItsOwnStack"));
}

TEST(Stack, AThreadThatIsGoneGivesNoFrames) {
  std::atomic<uint64_t> id{0};
  std::thread([&] { id = platform::CurrentThreadId(); }).join();
  void* frames[8];
  EXPECT_EQ(platform::CaptureThreadStack(id, frames, 8, 100), 0);
}

}  // namespace
