#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

using platform::WaitResult;

struct Probe {
  std::atomic<uint64_t> id{0}, count{0};
  std::atomic<bool> release{false};
};

// Counts until released.
uint32_t CountUntilReleased(void* argument) {
  Probe* probe = static_cast<Probe*>(argument);
  probe->id = platform::CurrentThreadId();
  while (!probe->release) ++probe->count;
  return 42;
}

// A thread reports its id, priority and exit code; its wait times out while it runs, and
// stays signalled once it ended.
TEST(Thread, ReportsItsIdPriorityExitCodeAndEnd) {
  Probe probe;
  uint64_t id = 0;
  platform::ThreadHandle thread =
      platform::ThreadCreate(256 * 1024, CountUntilReleased, &probe, 0, &id);
  ASSERT_NE(thread, platform::kNoThread);
  EXPECT_EQ(platform::ThreadWait(thread, 20), WaitResult::kTimeout);
  uint32_t code = 0;
  EXPECT_FALSE(platform::ThreadExitCode(thread, &code));
  EXPECT_EQ(platform::ThreadGetPriority(thread), 0);
  ASSERT_TRUE(platform::ThreadSetPriority(thread, -2));  // lowering needs no privilege
  EXPECT_EQ(platform::ThreadGetPriority(thread), -2);
  probe.release = true;
  EXPECT_EQ(platform::ThreadWait(thread, platform::kInfinite), WaitResult::kSignaled);
  EXPECT_TRUE(probe.id.load() == id && id != platform::CurrentThreadId());
  ASSERT_TRUE(platform::ThreadExitCode(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(platform::ThreadWait(thread, 0), WaitResult::kSignaled);
  EXPECT_TRUE(platform::ThreadClose(thread));
  EXPECT_EQ(platform::ThreadWait(platform::kNoThread, 0), WaitResult::kFailed);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
}

// A thread created suspended runs only after the last resume; a running thread can be
// suspended from outside only on Windows.
TEST(Thread, SuspendCountsAndStopsARunningThreadOnlyOnWindows) {
  Probe probe;
  platform::ThreadHandle thread =
      platform::ThreadCreate(0, CountUntilReleased, &probe, platform::kCreateSuspended, nullptr);
  EXPECT_EQ(platform::ThreadSuspend(thread), 1u);
  EXPECT_EQ(platform::ThreadResume(thread), 2u);
  platform::SleepMs(20);
  EXPECT_EQ(probe.count.load(), 0u);
  EXPECT_EQ(platform::ThreadResume(thread), 1u);
  while (probe.count.load() < 1000) platform::SleepMs(1);
  EXPECT_EQ(platform::ThreadResume(thread), 0u);
  EXPECT_EQ(platform::ThreadSuspend(thread), platform::kWindows ? 0u : 0xFFFFFFFFu);
  EXPECT_TRUE(platform::kWindows || platform::LastError() == platform::kErrorNotSupported);
  if (platform::kWindows) {
    uint64_t stopped_at = probe.count.load();
    platform::SleepMs(30);
    EXPECT_EQ(probe.count.load(), stopped_at);
    EXPECT_EQ(platform::ThreadResume(thread), 1u);
  }
  probe.release = true;
  EXPECT_EQ(platform::ThreadWait(thread, platform::kInfinite), WaitResult::kSignaled);
  EXPECT_EQ(platform::ThreadSuspend(thread), 0xFFFFFFFFu);  // an ended thread
  platform::ThreadClose(thread);
}

// A semaphore counts between zero and its maximum; a release from another thread wakes an
// infinite wait.
TEST(Semaphore, CountsBetweenZeroAndItsMaximum) {
  EXPECT_EQ(platform::SemaphoreCreate(2, 1), platform::kNoSync);
  EXPECT_EQ(platform::SemaphoreCreate(0, 0), platform::kNoSync);
  platform::SyncHandle semaphore = platform::SemaphoreCreate(1, 2);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kSignaled);
  EXPECT_EQ(platform::SyncWait(semaphore, 10), WaitResult::kTimeout);
  int32_t previous = -1;
  std::thread releaser([&] {
    platform::SleepMs(20);
    EXPECT_TRUE(platform::SemaphoreRelease(semaphore, 2, &previous));
  });
  EXPECT_EQ(platform::SyncWait(semaphore, platform::kInfinite), WaitResult::kSignaled);
  releaser.join();
  EXPECT_EQ(previous, 0);
  EXPECT_TRUE(platform::SemaphoreRelease(semaphore, 1, nullptr));
  EXPECT_FALSE(platform::SemaphoreRelease(semaphore, 1, nullptr));
  EXPECT_EQ(platform::LastError(), platform::kErrorTooManyPosts);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kSignaled);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kSignaled);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kTimeout);
  EXPECT_TRUE(platform::SyncClose(semaphore));
}

// A mutex is reentrant for its owner and released only by it. An owner that ends without
// releasing leaves it abandoned: Windows hands it to the next waiter, POSIX keeps it held.
TEST(Mutex, IsReentrantForItsOwnerAndReleasedOnlyByIt) {
  platform::SyncHandle mutex = platform::MutexCreate();
  auto other_waits = [&](uint32_t ms, bool release) {
    WaitResult result = WaitResult::kFailed;
    std::thread([&] {
      result = platform::SyncWait(mutex, ms);
      EXPECT_FALSE(release && platform::MutexRelease(mutex));
    }).join();
    return result;
  };
  ASSERT_EQ(platform::SyncWait(mutex, 0), WaitResult::kSignaled);
  ASSERT_EQ(platform::SyncWait(mutex, 0), WaitResult::kSignaled);
  EXPECT_EQ(other_waits(10, true), WaitResult::kTimeout);  // nor may it release
  EXPECT_TRUE(platform::MutexRelease(mutex));
  EXPECT_EQ(other_waits(0, false), WaitResult::kTimeout);  // one entry is still to be released
  EXPECT_TRUE(platform::MutexRelease(mutex));
  EXPECT_FALSE(platform::MutexRelease(mutex));
  EXPECT_EQ(platform::LastError(), platform::kErrorNotOwner);
  EXPECT_EQ(other_waits(0, false), WaitResult::kSignaled);  // and ends without releasing
  EXPECT_EQ(platform::SyncWait(mutex, 10),
            platform::kWindows ? WaitResult::kSignaled : WaitResult::kTimeout);
  EXPECT_EQ(platform::MutexRelease(mutex), platform::kWindows);
  platform::SyncClose(mutex);
}

}  // namespace
