// The lock table with real threads: waiting, try-locking, unlocking free keys, exclusion
// under contention, the bucket rule, and that steady locking does not allocate.
#include "store/dylock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/memobj.h"
#include "store/fatal_test_helper.h"
#include "testing/temp_dir.h"

namespace {

using testing::HasSubstr;

constexpr char kUnit[] = "dylock_test";
constexpr auto kPatience = std::chrono::seconds(10);
constexpr auto kGrace = std::chrono::milliseconds(100);

// 25 = 5 * 5 and 9 = 3 * 3: the divisor search must reach the square root.
TEST(LargestPrimeAtMost, FindsThePrimeAtOrBelow) {
  for (auto [n, prime] : {std::pair{3, 3}, {4, 3}, {9, 7}, {25, 23}, {7920, 7919}}) {
    EXPECT_EQ(LargestPrimeAtMost(n), prime) << n;
  }
  EXPECT_EQ(DynamicLockTable(1000, 0).bucket_count(), 997);
}

TEST(DynamicLockTable, SecondLockerWaitsWhileAKeyInTheSameBucketStaysFree) {
  DynamicLockTable table(1000, 0);
  uint64_t held = 5;  // 8-byte keys hash to their value mod the bucket count
  uint64_t neighbour = 5 + 997;
  ASSERT_EQ(table.Hash(&held, 8), table.Hash(&neighbour, 8));
  ASSERT_TRUE(table.Lock(&held, 8, kUnit, __LINE__));

  std::atomic<bool> second_has_it{false};
  std::promise<void> second_done;
  std::thread second([&] {
    table.Lock(&held, 8, kUnit, __LINE__);
    second_has_it = true;
    table.Unlock(&held, 8);
    second_done.set_value();
  });
  std::promise<void> neighbour_done;
  std::thread third([&] {
    table.Lock(&neighbour, 8, kUnit, __LINE__);
    table.Unlock(&neighbour, 8);
    neighbour_done.set_value();
  });
  EXPECT_EQ(neighbour_done.get_future().wait_for(kPatience), std::future_status::ready);
  std::this_thread::sleep_for(kGrace);
  EXPECT_FALSE(second_has_it);

  EXPECT_TRUE(table.Unlock(&held, 8));
  EXPECT_EQ(second_done.get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(second_has_it);
  second.join();
  third.join();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(table.Unlock(&held, 8)) << "every lock was paired with an unlock";
  testing::internal::GetCapturedStdout();
}

// A refused try changes nothing; a prefix of a held key, or a key differing in its last
// byte, is another key.
TEST(DynamicLockTable, TryLockNeverWaitsAndKeysDifferByLengthAndEveryByte) {
  DynamicLockTable table(1000, 0);
  std::string key(DynamicLockTable::kMaxKeyLength, 'k');
  std::string changed = key;
  changed.back() = 'x';
  ASSERT_TRUE(table.Lock(key.data(), 300, kUnit, __LINE__));
  bool refused = false, taken = false;
  std::thread other([&] {
    refused = !table.TryLock(key.data(), 300, kUnit, __LINE__);
    taken = table.TryLock(key.data(), 299, kUnit, __LINE__) &&
            table.TryLock(changed.data(), 300, kUnit, __LINE__);
    table.Unlock(key.data(), 299);
    table.Unlock(changed.data(), 300);
  });
  other.join();
  EXPECT_TRUE(refused);
  EXPECT_TRUE(taken);
  EXPECT_TRUE(table.Unlock(key.data(), 300));
  // The refused try counted nobody: the key is free now.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(table.Unlock(key.data(), 300));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("internal error:dylock"),
            std::string::npos);
}

// Unsynchronised counters guarded only by the table: lost updates show broken exclusion
// (and ThreadSanitizer sees the race directly).
TEST(DynamicLockTable, ExcludesUnderContention) {
  DynamicLockTable table(251, 0);
  constexpr int kKeys = 6;
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::vector<std::string> keys;
  for (int k = 0; k < kKeys; ++k) keys.push_back("key-" + std::to_string(k) + std::string(k, '#'));
  long counters[kKeys] = {};
  std::atomic<long> entered{0};
  auto work = [&](int seed) {
    for (int round = 0; round < kRounds; ++round) {
      int k = (round * 7 + seed) % kKeys;
      const std::string& key = keys[static_cast<size_t>(k)];
      int length = static_cast<int>(key.size());
      bool tried = round % 3 == 0;
      if (tried && !table.TryLock(key.data(), length, kUnit, __LINE__)) continue;
      if (!tried) table.Lock(key.data(), length, kUnit, __LINE__);
      long seen = counters[k];
      std::this_thread::yield();
      counters[k] = seen + 1;
      table.Unlock(key.data(), length);
      ++entered;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& t : threads) t.join();
  long total = 0;
  for (long c : counters) total += c;
  EXPECT_EQ(total, entered.load());
  EXPECT_GE(total, long{kThreads} * (kRounds - (kRounds + 2) / 3));
  // Every key is free again.
  for (const std::string& key : keys) {
    EXPECT_TRUE(table.TryLock(key.data(), static_cast<int>(key.size()), kUnit, __LINE__));
    EXPECT_TRUE(table.Unlock(key.data(), static_cast<int>(key.size())));
  }
}

// clang announces ThreadSanitizer through __has_feature, g++ through __SANITIZE_THREAD__.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PELLARY_CLANG_TSAN 1
#endif
#endif
#ifndef PELLARY_CLANG_TSAN
#define PELLARY_CLANG_TSAN 0
#endif

TEST(DynamicLockTable, SteadyLockingReusesEntriesAndKeepsAtMostAHundredFree) {
#if defined(__SANITIZE_THREAD__) || PELLARY_CLANG_TSAN
  GTEST_SKIP() << "ThreadSanitizer follows at most 64 locks held by one thread; this holds 150";
#endif
  DynamicLockTable table(3, 0);  // 3 buckets: many keys share one
  std::vector<uint64_t> keys;
  for (uint64_t k = 0; k < 150; ++k) keys.push_back(k * 3);  // all in bucket 0
  auto lock_all = [&] {
    for (uint64_t& key : keys) table.Lock(&key, 8, kUnit, __LINE__);
    for (uint64_t& key : keys) table.Unlock(&key, 8);
  };
  lock_all();  // makes 150 entries, keeps 100 of them
  uint64_t before = Heap::AllocationCount();
  for (int round = 0; round < 50; ++round) {
    for (int k = 0; k < 100; ++k) {
      table.Lock(&keys[static_cast<size_t>(k)], 8, kUnit, __LINE__);
      table.Unlock(&keys[static_cast<size_t>(k)], 8);
    }
  }
  EXPECT_EQ(Heap::AllocationCount(), before);
  lock_all();
  EXPECT_EQ(Heap::AllocationCount() - before, 50u) << "only the 100 kept entries are reused";
}

// Keys that share a bucket are still different locks; no key gives a negative bucket.
TEST(BlockLockTable, CollidingKeysAreDifferentLocks) {
  BlockLockTable table(1000, 0);
  uint8_t a[16], b[16];
  BlockLockTable::MakeKey(-1, -1, a);
  EXPECT_TRUE(table.Lock(a, 16, kUnit, __LINE__) && table.Unlock(a, 16));
  BlockLockTable::MakeKey(1, 0, a);
  BlockLockTable::MakeKey(0, 65536, b);
  ASSERT_EQ(table.Hash(a, 16), table.Hash(b, 16));
  ASSERT_TRUE(table.Lock(a, 16, kUnit, __LINE__));
  bool taken = false;
  std::thread other([&] {
    taken = table.TryLock(b, 16, kUnit, __LINE__);
    if (taken) table.Unlock(b, 16);
  });
  other.join();
  EXPECT_TRUE(taken);
  EXPECT_TRUE(table.Unlock(a, 16));
}

// The entry lock is a critical section: re-entering it, or releasing it from a thread that
// does not hold it, is caught there ("mt").
TEST(DynamicLockTableDeathTest, MisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir here;
  uint64_t key = 1;
  std::string long_key(DynamicLockTable::kMaxKeyLength + 1, 'x');
  struct Case {
    std::function<void()> body;
    const char* unit;
  } cases[] = {
      {[&] { DynamicLockTable(1000, 0).Lock(long_key.data(), 301, kUnit, __LINE__); }, "dylock"},
      {[&] { BlockLockTable(1000, 0).Lock(&key, 8, kUnit, __LINE__); }, "dylock"},
      {[&] {
         auto* table = new DynamicLockTable(1000, 0);
         table->Lock(&key, 8, kUnit, __LINE__);
         delete table;  // with the key held
       },
       "dylock"},
      {[&] {
         DynamicLockTable table(1000, 0);
         table.Lock(&key, 8, kUnit, __LINE__);
         table.Lock(&key, 8, kUnit, __LINE__);
       },
       "mt"},
      {[&] {
         DynamicLockTable table(1000, 0);
         table.Lock(&key, 8, kUnit, __LINE__);
         std::thread([&] { table.Unlock(&key, 8); }).join();
       },
       "mt"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(FatalErrorOf(c.body), HasSubstr(std::string("internal error:") + c.unit + " "));
  }
}

}  // namespace
