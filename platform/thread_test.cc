#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace platform {
namespace {

using enum WaitResult;

struct Probe {
  std::atomic<uint64_t> id{0}, count{0};
  std::atomic<bool> release{false};
};

uint32_t CountUntilReleased(void* argument) {
  Probe* probe = static_cast<Probe*>(argument);
  probe->id = CurrentThreadId();
  while (!probe->release) ++probe->count;
  return 42;
}

TEST(Thread, ReportsItsIdPriorityExitCodeAndEnd) {
  Probe probe;
  uint64_t id = 0;
  ThreadHandle thread = ThreadCreate(256 * 1024, CountUntilReleased, &probe, 0, &id);
  EXPECT_EQ(ThreadWait(thread, 20), kTimeout);
  uint32_t code = 0;
  EXPECT_TRUE(!ThreadExitCode(thread, &code) && ThreadGetPriority(thread) == 0);
  EXPECT_TRUE(ThreadSetPriority(thread, -2) && ThreadGetPriority(thread) == -2);  // unprivileged
  probe.release = true;
  EXPECT_EQ(ThreadWait(thread, kInfinite), kSignaled);
  EXPECT_TRUE(probe.id.load() == id && id != CurrentThreadId());
  EXPECT_TRUE(ThreadExitCode(thread, &code) && code == 42u);
  EXPECT_TRUE(ThreadWait(thread, 0) == kSignaled && ThreadClose(thread));
  EXPECT_TRUE(ThreadWait(kNoThread, 0) == kFailed && LastError() == kErrorInvalidHandle);
}

TEST(Thread, SuspendCountsAndStopsARunningThreadOnlyOnWindows) {
  Probe probe;
  ThreadHandle thread = ThreadCreate(0, CountUntilReleased, &probe, kCreateSuspended, nullptr);
  EXPECT_EQ(ThreadSuspend(thread), 1u);
  EXPECT_EQ(ThreadResume(thread), 2u);
  SleepMs(20);
  EXPECT_EQ(probe.count.load(), 0u);
  EXPECT_EQ(ThreadResume(thread), 1u);
  while (probe.count.load() < 1000) SleepMs(1);
  EXPECT_EQ(ThreadResume(thread), 0u);
  EXPECT_EQ(ThreadSuspend(thread), kWindows ? 0u : 0xFFFFFFFFu);
  EXPECT_TRUE(kWindows || LastError() == kErrorNotSupported);
  if (kWindows) {
    uint64_t stopped_at = probe.count.load();
    SleepMs(30);
    EXPECT_EQ(probe.count.load(), stopped_at);
    EXPECT_EQ(ThreadResume(thread), 1u);
  }
  probe.release = true;
  EXPECT_EQ(ThreadWait(thread, kInfinite), kSignaled);
  EXPECT_EQ(ThreadSuspend(thread), 0xFFFFFFFFu);  // an ended thread
  ThreadClose(thread);
}

TEST(Semaphore, CountsBetweenZeroAndItsMaximum) {
  EXPECT_TRUE(SemaphoreCreate(2, 1) == kNoSync && SemaphoreCreate(0, 0) == kNoSync);
  SyncHandle semaphore = SemaphoreCreate(1, 2);
  EXPECT_TRUE(SyncWait(semaphore, 0) == kSignaled && SyncWait(semaphore, 10) == kTimeout);
  int32_t previous = -1;
  std::thread releaser([&] {
    SleepMs(20);
    EXPECT_TRUE(SemaphoreRelease(semaphore, 2, &previous));
  });
  EXPECT_EQ(SyncWait(semaphore, kInfinite), kSignaled);
  releaser.join();
  EXPECT_TRUE(previous == 0 && SemaphoreRelease(semaphore, 1, nullptr));
  EXPECT_TRUE(!SemaphoreRelease(semaphore, 1, nullptr) && LastError() == kErrorTooManyPosts);
  for (WaitResult result : {kSignaled, kSignaled, kTimeout})
    EXPECT_EQ(SyncWait(semaphore, 0), result);
  EXPECT_TRUE(SyncClose(semaphore));
}

// An owner that ends without releasing: Windows hands the mutex on, POSIX keeps it held.
TEST(Mutex, IsReentrantForItsOwnerAndReleasedOnlyByIt) {
  SyncHandle mutex = MutexCreate();
  auto other_waits = [&](uint32_t ms, bool release) {
    WaitResult result = kFailed;
    std::thread([&] {
      result = SyncWait(mutex, ms);
      EXPECT_FALSE(release && MutexRelease(mutex));
    }).join();
    return result;
  };
  for (int entry = 0; entry < 2; ++entry) ASSERT_EQ(SyncWait(mutex, 0), kSignaled);
  EXPECT_EQ(other_waits(10, true), kTimeout);  // nor may it release
  EXPECT_TRUE(MutexRelease(mutex));
  EXPECT_EQ(other_waits(0, false), kTimeout);  // one entry is still to be released
  EXPECT_TRUE(MutexRelease(mutex));
  EXPECT_TRUE(!MutexRelease(mutex) && LastError() == kErrorNotOwner);
  EXPECT_EQ(other_waits(0, false), kSignaled);  // and ends without releasing
  EXPECT_EQ(SyncWait(mutex, 10), kWindows ? kSignaled : kTimeout);
  EXPECT_EQ(MutexRelease(mutex), kWindows);
  SyncClose(mutex);
}

}  // namespace
}  // namespace platform
