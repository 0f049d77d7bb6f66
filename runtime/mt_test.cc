#include "runtime/mt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
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

// Polls the report until `piece` shows (a waiter records itself before it blocks).
bool ReportShowsWithin(const std::string& piece, int ms) {
  for (int waited = 0; waited < ms; waited += 2) {
    if (ReportText().find(piece) != std::string::npos) return true;
    platform::SleepMs(2);
  }
  return false;
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
      int result = -1;
      std::thread([&] { result = lock.TryLock(kUnit, __LINE__); }).join();
      EXPECT_EQ(result, 0);
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
      std::thread a(work), b(work), c(work);
      a.join();
      b.join();
      c.join();
      EXPECT_EQ(counter, 15000);
      std::thread([&] {
        result = lock.TryLock(kUnit, __LINE__);
        if (result == 1) lock.Unlock();
      }).join();
      EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(RegisteredLocks(), before);
  }
  CMutex mutex;
  CSemaphore semaphore(1, 1);
  EXPECT_EQ(RegisteredLocks(), before) << "untraced";
}

TEST(CCriticalSectionDeathTest, MisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int traced : {0, 1}) {
    EXPECT_DEATH(
        {
          CCriticalSection lock(traced);
          lock.Lock(kUnit, __LINE__);
          lock.Lock(kUnit, __LINE__);
        },
        "");
    EXPECT_DEATH(
        {
          CCriticalSection lock(traced);
          lock.Lock(kUnit, __LINE__);
          lock.TryLock(kUnit, __LINE__);
        },
        "");
    EXPECT_DEATH(
        {
          CCriticalSection lock(traced);
          lock.Unlock();
        },
        "");
  }
  EXPECT_DEATH(CSemaphore(2, 1), "");
  EXPECT_DEATH(CSemaphore(0, 0), "");
  EXPECT_DEATH(CSemaphore(-1, 1), "");
}

TEST(CCriticalSectionDeathTest, UnlockByAThreadThatDoesNotHoldItNamesBothThreads) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir dir;
  // The dying child writes the holder's id: where the child is a program started afresh
  // (Windows), its thread is not this one.
  EXPECT_DEATH(
      {
        std::freopen("console.txt", "w", stdout);
        std::FILE* holder = std::fopen("holder.txt", "w");
        std::fprintf(holder, "%d", static_cast<int>(platform::CurrentThreadId()));
        std::fclose(holder);
        CCriticalSection lock(1);
        lock.Lock(kUnit, __LINE__);
        std::thread intruder([&] { lock.Unlock(); });
        intruder.join();
      },
      "");
  std::string console = ReadFileBytes("console.txt");
  std::string holder = ReadFileBytes("holder.txt");
  ASSERT_FALSE(holder.empty());
  EXPECT_EQ(console.rfind("not same thread:" + holder + " ", 0), 0u) << console;
}

TEST(TracedLock, ReportShowsTheOwnerAndTheWaiterWithTheirFilesAndLines) {
  int before = RegisteredLocks();
  std::unique_ptr<CCriticalSection> made = MakeTracedLockForMtTest();
  CCriticalSection& lock = *made;
  ASSERT_EQ(RegisteredLocks(), before + 1);
  int owner_line = __LINE__ + 1;
  lock.Lock("owner_unit", owner_line);
  std::atomic<uint64_t> waiter_id{0};
  int waiter_line = 77;
  std::thread waiter([&] {
    waiter_id = platform::CurrentThreadId();
    lock.Lock("waiter_unit", waiter_line);
    lock.Unlock();
  });
  ASSERT_TRUE(ReportShowsWithin("Waitting:", 5000));
  std::string report = ReportText();
  std::string expected_lines =
      "Locked: CCriticalSection\r\nOwner:Thread:" + std::to_string(platform::CurrentThreadId()) +
      ",FILE:owner_unit LINE:" + std::to_string(owner_line) +
      "\r\n--\r\nWaitting:Thread:" + std::to_string(waiter_id.load()) +
      ",FILE:waiter_unit LINE:77\r\n" + kSeparator;
  EXPECT_EQ(report.rfind("total:" + std::to_string(before + 1) + "\r\n", 0), 0u) << report;
  size_t block = report.find(expected_lines);
  ASSERT_NE(block, std::string::npos) << report;
  // The block belongs to this lock: its creation text names the constructing test.
  size_t define = report.rfind("DEFINE:\r\n", block);
  ASSERT_NE(define, std::string::npos);
  EXPECT_NE(report.substr(define, block - define).find("MakeTracedLockForMtTest"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.substr(report.size() - 5), "END\r\n");
  lock.Unlock();
  waiter.join();
  report = ReportText();
  EXPECT_EQ(report.find("Locked:"), std::string::npos) << report;
  EXPECT_NE(report.find(kSeparator), std::string::npos);
}

TEST(CSemaphore, CountsAndTracesItsHolders) {
  int before = RegisteredLocks();
  CSemaphore semaphore(2, 2, 1);
  EXPECT_EQ(semaphore.Lock("sem_unit", 10), 1);
  EXPECT_EQ(semaphore.TryLock("sem_unit", 11), 1);
  int result = -1;
  std::thread other([&] { result = semaphore.TryLock(kUnit, __LINE__); });
  other.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(RegisteredLocks(), before + 1);
  std::string report = ReportText();
  EXPECT_NE(report.find("Locked: CSemaphore\r\nOwner:Thread:"), std::string::npos) << report;
  EXPECT_NE(report.find("FILE:sem_unit LINE:11\r\n--\r\n*"), std::string::npos) << report;
  EXPECT_EQ(semaphore.Unlock(), 1);
  EXPECT_EQ(semaphore.Unlock(), 1);
  EXPECT_EQ(semaphore.Unlock(), 0);  // beyond the maximum
}

TEST(CMutex, ReentersForItsOwnerAndRefusesOthersUnlock) {
  CMutex mutex;
  EXPECT_EQ(mutex.Lock(kUnit, __LINE__), 1);
  EXPECT_EQ(mutex.Lock(kUnit, __LINE__), 1);
  int took = -1;
  int released = -1;
  std::thread other([&] {
    took = mutex.TryLock(kUnit, __LINE__);
    released = mutex.Unlock();
  });
  other.join();
  EXPECT_EQ(took, 0);
  EXPECT_EQ(released, 0);
  EXPECT_EQ(mutex.Unlock(), 1);
  EXPECT_EQ(mutex.Unlock(), 1);
  EXPECT_EQ(mutex.Unlock(), 0);
}

}  // namespace
