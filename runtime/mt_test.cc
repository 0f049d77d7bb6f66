#include "runtime/mt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"

namespace {

constexpr char kUnit[] = "mt_test";

std::string ReportText() {
  CString text;
  syn_base::Report(&text);
  return std::string(text.GetString(), text.GetLength());
}

int RegisteredLocks() {
  std::string report = ReportText();
  return report.empty() ? 0 : std::stoi(report.substr(6));
}

// Traced or not: a try fails while another thread holds it; only a traced lock is registered.
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
      lock.Unlock();
      long counter = 0;
      auto work = [&] {
        for (int i = 0; i < 5000; ++i) {
          ScopedLock held(lock, kUnit, __LINE__);
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

TEST(CCriticalSectionDeathTest, MisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int traced : {0, 1}) {
    for (int misuse = 0; misuse < 4; ++misuse) {
      EXPECT_DEATH(
          {
            CCriticalSection lock(traced);
            if (misuse != 2) lock.Lock(kUnit, __LINE__);
            if (misuse == 3) std::thread([&] { lock.Unlock(); }).join();
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

// A mutex re-enters for its owner and refuses another thread's unlock; no lock unlocks beyond
// what it holds.
TEST(TracedLock, ReportShowsHoldersAndWaitersAndAMutexReenters) {
  int before = RegisteredLocks();
  CCriticalSection lock(1);
  CSemaphore semaphore(2, 2, 1);
  CMutex mutex;
  lock.Lock("owner_unit", 66);
  EXPECT_EQ(semaphore.Lock("sem_unit", 10) + semaphore.TryLock("sem_unit", 11), 2);
  EXPECT_EQ(mutex.Lock(kUnit, __LINE__) + mutex.Lock(kUnit, __LINE__), 2);
  int results = -1;
  std::thread([&] {
    results = semaphore.TryLock(kUnit, 0) + mutex.TryLock(kUnit, 0) + mutex.Unlock();
  }).join();
  EXPECT_EQ(results, 0);
  std::atomic<uint64_t> waiter_id{0};
  std::thread waiter([&] {
    waiter_id = platform::CurrentThreadId();
    lock.Lock("waiter_unit", 77);
    lock.Unlock();
  });
  std::string report;  // a waiter records itself before it blocks
  for (int ms = 0; ms < 5000 && report.find("Waitting:") == std::string::npos; ms += 2) {
    platform::SleepMs(2);
    report = ReportText();
  }
  EXPECT_EQ(RegisteredLocks(), before + 2);
  EXPECT_NE(report.find("Locked: CCriticalSection\r\nOwner:Thread:" +
                        std::to_string(platform::CurrentThreadId()) +
                        ",FILE:owner_unit LINE:66\r\n--\r\nWaitting:Thread:" +
                        std::to_string(waiter_id.load()) + ",FILE:waiter_unit LINE:77\r\n*"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("Locked: CSemaphore\r\nOwner:Thread:"), std::string::npos) << report;
  lock.Unlock();
  waiter.join();
  for (auto* held : std::initializer_list<WaitableLock*>{&semaphore, &mutex}) {
    EXPECT_EQ(held->Unlock(), 1);
    EXPECT_EQ(held->Unlock(), 1);
    EXPECT_EQ(held->Unlock(), 0);
  }
}

}  // namespace
