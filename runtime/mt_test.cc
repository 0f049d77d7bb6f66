#include "runtime/mt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr char kUnit[] = "mt_test";

TEST(CCriticalSection, TryLockFailsAtOnceWhileAnotherThreadHolds) {
  CCriticalSection lock;
  ASSERT_EQ(lock.Lock(kUnit, __LINE__), 1);
  int result = -1;
  std::thread other([&] { result = lock.TryLock(kUnit, __LINE__); });
  other.join();
  EXPECT_EQ(result, 0);
  lock.Unlock();
  std::thread again([&] {
    result = lock.TryLock(kUnit, __LINE__);
    if (result == 1) lock.Unlock();
  });
  again.join();
  EXPECT_EQ(result, 1);
}

TEST(CCriticalSection, ExcludesConcurrentIncrements) {
  CCriticalSection lock;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      ScopedLock hold(lock, kUnit, __LINE__);
      ++counter;
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(counter, 60000);
}

TEST(CCriticalSectionDeathTest, MisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CCriticalSection lock;
        lock.Lock(kUnit, __LINE__);
        lock.Lock(kUnit, __LINE__);
      },
      "");
  EXPECT_DEATH(
      {
        CCriticalSection lock;
        lock.Lock(kUnit, __LINE__);
        lock.TryLock(kUnit, __LINE__);
      },
      "");
  EXPECT_DEATH(
      {
        CCriticalSection lock;
        lock.Unlock();
      },
      "");
}

}  // namespace
