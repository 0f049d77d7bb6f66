#include "runtime/mt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "testing/temp_dir.h"

// Outside the anonymous namespace so that the creation text can name it: stack descriptions
// see only symbols with external linkage.
[[gnu::noinline]] std::unique_ptr<CCriticalSection> MakeTracedLockForMtTest() {
  return std::make_unique<CCriticalSection>(1);
}

namespace {

constexpr char kUnit[] = "mt_test";
constexpr char kSeparator[] = "*************************************************\r\n\r\n";

std::string ReportText() {
  CString text;
  syn_base::Report(&text);
  return std::string(text.GetString(), text.GetLength());
}

int RegisteredLocks() {
  std::string report = ReportText();
  return report.empty() ? 0 : std::stoi(report.substr(6));
}

// Traced or not: a try fails at once while another thread holds the lock, and leaves no
// waiting record; only a traced lock is in the registry, for its lifetime.
TEST(CCriticalSection, ExcludesAndTryLockFailsWhileAnotherThreadHolds) {
  int before = RegisteredLocks();
  for (int traced : {0, 1}) {
    {
      CCriticalSection lock(traced);
      EXPECT_EQ(RegisteredLocks(), before + traced);
      ASSERT_EQ(lock.Lock(kUnit, __LINE__), 1);
      auto try_elsewhere = [&] {
        int result = -1;
        std::thread([&] { (result = lock.TryLock(kUnit, __LINE__)) && lock.Unlock(); }).join();
        return result;
      };
      EXPECT_EQ(try_elsewhere(), 0);
      std::string report = ReportText();
      EXPECT_EQ(report.find("Owner:") != std::string::npos, traced == 1) << report;
      EXPECT_EQ(report.find("Waitting:"), std::string::npos) << report;
      lock.Unlock();
      long counter = 0;
      auto work = [&] {
        for (int i = 0; i < 5000; ++i) {
          ScopedLock hold(lock, kUnit, __LINE__);
          ++counter;
        }
      };
      std::thread other(work);
      work();
      other.join();
      EXPECT_EQ(counter, 10000);
      EXPECT_EQ(try_elsewhere(), 1);
    }
    EXPECT_EQ(RegisteredLocks(), before);
  }
}

// Locking twice, trying a lock one holds, unlocking a free lock; impossible semaphore counts.
TEST(CCriticalSectionDeathTest, MisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int traced : {0, 1}) {
    for (int misuse = 0; misuse < 3; ++misuse) {
      EXPECT_DEATH(
          {
            CCriticalSection lock(traced);
            if (misuse < 2) lock.Lock(kUnit, __LINE__);
            misuse == 0   ? lock.Lock(kUnit, __LINE__)
            : misuse == 1 ? lock.TryLock(kUnit, 0)
                          : lock.Unlock();
          },
          "");
    }
  }
  for (auto [count, maximum] : {std::pair{2, 1}, {0, 0}, {-1, 1}}) {
    EXPECT_DEATH(CSemaphore(count, maximum), "");
  }
}

// The dying child writes the holder's id: where the child is a program started afresh
// (Windows), its thread is not this one.
TEST(CCriticalSectionDeathTest, UnlockByAThreadThatDoesNotHoldItNamesBothThreads) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir dir;
  EXPECT_DEATH(
      {
        std::freopen("console.txt", "w", stdout);
        WriteFileBytes("holder.txt", std::to_string(static_cast<int>(platform::CurrentThreadId())));
        CCriticalSection lock(1);
        lock.Lock(kUnit, __LINE__);
        std::thread([&] { lock.Unlock(); }).join();
      },
      "");
  std::string holder = ReadFileBytes("holder.txt");
  ASSERT_FALSE(holder.empty());
  EXPECT_EQ(ReadFileBytes("console.txt").rfind("not same thread:" + holder + " ", 0), 0u);
}

// The report names the owner and the waiter with their files and lines, in a block whose
// creation text names the constructing function.
TEST(TracedLock, ReportShowsTheOwnerAndTheWaiterWithTheirFilesAndLines) {
  int before = RegisteredLocks();
  std::unique_ptr<CCriticalSection> lock = MakeTracedLockForMtTest();
  ASSERT_EQ(RegisteredLocks(), before + 1);
  int owner_line = __LINE__ + 1;
  lock->Lock("owner_unit", owner_line);
  std::atomic<uint64_t> waiter_id{0};
  std::thread waiter([&] {
    waiter_id = platform::CurrentThreadId();
    lock->Lock("waiter_unit", 77);
    lock->Unlock();
  });
  std::string report;  // a waiter records itself before it blocks
  for (int ms = 0; ms < 5000 && report.find("Waitting:") == std::string::npos; ms += 2) {
    platform::SleepMs(2);
    report = ReportText();
  }
  std::string expected_lines =
      "Locked: CCriticalSection\r\nOwner:Thread:" + std::to_string(platform::CurrentThreadId()) +
      ",FILE:owner_unit LINE:" + std::to_string(owner_line) +
      "\r\n--\r\nWaitting:Thread:" + std::to_string(waiter_id.load()) +
      ",FILE:waiter_unit LINE:77\r\n" + kSeparator;
  EXPECT_EQ(report.rfind("total:" + std::to_string(before + 1) + "\r\n", 0), 0u) << report;
  size_t block = report.find(expected_lines);
  ASSERT_NE(block, std::string::npos) << report;
  size_t define = report.rfind("DEFINE:\r\n", block);
  ASSERT_NE(define, std::string::npos);
  EXPECT_NE(report.substr(define, block - define).find("MakeTracedLockForMtTest"),
            std::string::npos);
  EXPECT_EQ(report.substr(report.size() - 5), "END\r\n");
  lock->Unlock();
  waiter.join();
  EXPECT_EQ(ReportText().find("Locked:"), std::string::npos);
}

// A semaphore counts and traces its holders; a mutex (untraced) re-enters for its owner and
// refuses another thread's unlock. Neither unlocks beyond what it holds.
TEST(CSemaphore, CountsAndTracesItsHoldersAndAMutexReenters) {
  int before = RegisteredLocks();
  CSemaphore semaphore(2, 2, 1);
  CMutex mutex;
  EXPECT_EQ(semaphore.Lock("sem_unit", 10) + semaphore.TryLock("sem_unit", 11), 2);
  EXPECT_EQ(mutex.Lock(kUnit, __LINE__) + mutex.Lock(kUnit, __LINE__), 2);
  int results[3] = {-1, -1, -1};
  std::thread([&] {
    results[0] = semaphore.TryLock(kUnit, __LINE__);
    results[1] = mutex.TryLock(kUnit, __LINE__);
    results[2] = mutex.Unlock();
  }).join();
  EXPECT_EQ(results[0] + results[1] + results[2], 0);
  EXPECT_EQ(RegisteredLocks(), before + 1);
  std::string report = ReportText();
  EXPECT_NE(report.find("Locked: CSemaphore\r\nOwner:Thread:"), std::string::npos) << report;
  EXPECT_NE(report.find("FILE:sem_unit LINE:11\r\n--\r\n*"), std::string::npos) << report;
  for (auto* lock : std::initializer_list<WaitableLock*>{&semaphore, &mutex}) {
    EXPECT_EQ(lock->Unlock(), 1);
    EXPECT_EQ(lock->Unlock(), 1);
    EXPECT_EQ(lock->Unlock(), 0);
  }
}

}  // namespace
