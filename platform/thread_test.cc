#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

using platform::WaitResult;

struct Probe {
  std::atomic<uint64_t> id{0};
  std::atomic<bool> release{false};
  std::atomic<bool> ran{false};
};

uint32_t RecordAndWait(void* argument) {
  Probe* probe = static_cast<Probe*>(argument);
  probe->id = platform::CurrentThreadId();
  probe->ran = true;
  while (!probe->release) platform::SleepMs(1);
  return 42;
}

TEST(Thread, ReportsItsIdExitCodeAndEndAfterWaitTimesOutWhileRunning) {
  Probe probe;
  uint64_t id = 0;
  platform::ThreadHandle thread = platform::ThreadCreate(256 * 1024, RecordAndWait, &probe, 0, &id);
  ASSERT_NE(thread, platform::kNoThread);
  EXPECT_EQ(platform::ThreadWait(thread, 20), WaitResult::kTimeout);
  uint32_t code = 0;
  EXPECT_FALSE(platform::ThreadExitCode(thread, &code));
  probe.release = true;
  EXPECT_EQ(platform::ThreadWait(thread, platform::kInfinite), WaitResult::kSignaled);
  EXPECT_EQ(probe.id.load(), id);
  EXPECT_NE(id, platform::CurrentThreadId());
  ASSERT_TRUE(platform::ThreadExitCode(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(platform::ThreadWait(thread, 0), WaitResult::kSignaled);  // stays signalled
  EXPECT_TRUE(platform::ThreadClose(thread));
  EXPECT_EQ(platform::ThreadWait(platform::kNoThread, 0), WaitResult::kFailed);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
}

TEST(Thread, CreatedSuspendedRunsOnlyAfterTheLastResume) {
  Probe probe;
  probe.release = true;
  platform::ThreadHandle thread =
      platform::ThreadCreate(0, RecordAndWait, &probe, platform::kCreateSuspended, nullptr);
  ASSERT_NE(thread, platform::kNoThread);
  EXPECT_EQ(platform::ThreadSuspend(thread), 1u);
  EXPECT_EQ(platform::ThreadResume(thread), 2u);
  platform::SleepMs(20);
  EXPECT_FALSE(probe.ran);
  EXPECT_EQ(platform::ThreadResume(thread), 1u);
  EXPECT_EQ(platform::ThreadWait(thread, 5000), WaitResult::kSignaled);
  EXPECT_TRUE(probe.ran);
  EXPECT_EQ(platform::ThreadResume(thread), 0u);
  EXPECT_EQ(platform::ThreadSuspend(thread), 0xFFFFFFFFu);  // cannot stop a thread from outside
  platform::ThreadClose(thread);
}

TEST(Thread, PriorityLevelIsKeptWhereTheProcessMayLowerIt) {
  Probe probe;
  platform::ThreadHandle thread = platform::ThreadCreate(0, RecordAndWait, &probe, 0, nullptr);
  EXPECT_EQ(platform::ThreadGetPriority(thread), 0);
  ASSERT_TRUE(platform::ThreadSetPriority(thread, -2));  // lowering needs no privilege
  EXPECT_EQ(platform::ThreadGetPriority(thread), -2);
  probe.release = true;
  platform::ThreadWait(thread, platform::kInfinite);
  platform::ThreadClose(thread);
}

struct Counter {
  std::atomic<uint64_t> count{0};
  std::atomic<bool> stop{false};
};

uint32_t CountUntilStopped(void* argument) {
  Counter* counter = static_cast<Counter*>(argument);
  while (!counter->stop.load()) ++counter->count;
  return 0;
}

TEST(Thread, SuspendingARunningThreadStopsItOnlyOnWindows) {
  Counter counter;
  platform::ThreadHandle thread =
      platform::ThreadCreate(0, CountUntilStopped, &counter, 0, nullptr);
  ASSERT_NE(thread, platform::kNoThread);
  while (counter.count.load() < 1000) platform::SleepMs(1);
#ifdef _WIN32
  ASSERT_EQ(platform::ThreadSuspend(thread), 0u);
  EXPECT_EQ(platform::ThreadSuspend(thread), 1u);
  uint64_t stopped_at = counter.count.load();
  platform::SleepMs(30);
  EXPECT_EQ(counter.count.load(), stopped_at);
  EXPECT_EQ(platform::ThreadResume(thread), 2u);
  EXPECT_EQ(platform::ThreadResume(thread), 1u);
  while (counter.count.load() == stopped_at) platform::SleepMs(1);  // counts again
#else
  EXPECT_EQ(platform::ThreadSuspend(thread), 0xFFFFFFFFu);
  EXPECT_EQ(platform::LastError(), platform::kErrorNotSupported);
  EXPECT_EQ(platform::ThreadResume(thread), 0u);
#endif
  counter.stop = true;
  EXPECT_EQ(platform::ThreadWait(thread, platform::kInfinite), WaitResult::kSignaled);
  platform::ThreadClose(thread);
}

TEST(Semaphore, CountsBetweenZeroAndItsMaximum) {
  EXPECT_EQ(platform::SemaphoreCreate(2, 1), platform::kNoSync);
  EXPECT_EQ(platform::SemaphoreCreate(0, 0), platform::kNoSync);
  platform::SyncHandle semaphore = platform::SemaphoreCreate(1, 2);
  ASSERT_NE(semaphore, platform::kNoSync);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kSignaled);
  EXPECT_EQ(platform::SyncWait(semaphore, 10), WaitResult::kTimeout);
  int32_t previous = -1;
  ASSERT_TRUE(platform::SemaphoreRelease(semaphore, 2, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(platform::SemaphoreRelease(semaphore, 1, nullptr));
  EXPECT_EQ(platform::LastError(), platform::kErrorTooManyPosts);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kSignaled);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kSignaled);
  EXPECT_EQ(platform::SyncWait(semaphore, 0), WaitResult::kTimeout);
  EXPECT_TRUE(platform::SyncClose(semaphore));
}

TEST(Semaphore, AReleaseFromAnotherThreadWakesAnInfiniteWait) {
  platform::SyncHandle semaphore = platform::SemaphoreCreate(0, 1);
  std::thread releaser([&] {
    platform::SleepMs(20);
    platform::SemaphoreRelease(semaphore, 1, nullptr);
  });
  EXPECT_EQ(platform::SyncWait(semaphore, platform::kInfinite), WaitResult::kSignaled);
  releaser.join();
  platform::SyncClose(semaphore);
}

TEST(Mutex, IsReentrantForItsOwnerAndReleasedOnlyByIt) {
  platform::SyncHandle mutex = platform::MutexCreate();
  ASSERT_EQ(platform::SyncWait(mutex, 0), WaitResult::kSignaled);
  ASSERT_EQ(platform::SyncWait(mutex, 0), WaitResult::kSignaled);
  WaitResult other_wait = WaitResult::kFailed;
  bool other_release = true;
  std::thread other([&] {
    other_wait = platform::SyncWait(mutex, 10);
    other_release = platform::MutexRelease(mutex);
  });
  other.join();
  EXPECT_EQ(other_wait, WaitResult::kTimeout);
  EXPECT_FALSE(other_release);
  EXPECT_TRUE(platform::MutexRelease(mutex));
  std::thread still_held([&] { other_wait = platform::SyncWait(mutex, 0); });
  still_held.join();
  EXPECT_EQ(other_wait, WaitResult::kTimeout);  // one entry is still to be released
  EXPECT_TRUE(platform::MutexRelease(mutex));
  EXPECT_FALSE(platform::MutexRelease(mutex));
  EXPECT_EQ(platform::LastError(), platform::kErrorNotOwner);
  std::thread free_now([&] {
    other_wait = platform::SyncWait(mutex, 0);
    platform::MutexRelease(mutex);
  });
  free_now.join();
  EXPECT_EQ(other_wait, WaitResult::kSignaled);
  platform::SyncClose(mutex);
}

TEST(Mutex, AnOwnerThatEndsWithoutReleasingLeavesItAbandoned) {
  platform::SyncHandle mutex = platform::MutexCreate();
  std::thread([&] { EXPECT_EQ(platform::SyncWait(mutex, 0), WaitResult::kSignaled); }).join();
#ifdef _WIN32
  // The system hands an abandoned mutex to the next waiter, who owns it from then on.
  EXPECT_EQ(platform::SyncWait(mutex, 0), WaitResult::kSignaled);
  EXPECT_TRUE(platform::MutexRelease(mutex));
  EXPECT_FALSE(platform::MutexRelease(mutex));
  EXPECT_EQ(platform::LastError(), platform::kErrorNotOwner);
#else
  // No owner but the ended thread can release it: it stays held.
  EXPECT_EQ(platform::SyncWait(mutex, 10), WaitResult::kTimeout);
  EXPECT_FALSE(platform::MutexRelease(mutex));
#endif
  platform::SyncClose(mutex);
}

}  // namespace
