// The lock table with real threads: waiting only for the same key, try-locking, exclusion
// under contention, entry reuse without allocation, and misuse.
#include "store/dylock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/memobj.h"
#include "store/fatal_test_helper.h"

namespace {

constexpr char kUnit[] = "dylock_test";

// A key in the same bucket (also of the block table), a prefix of a held key and a key
// differing in its last byte are other keys: they never wait. A refused try changes nothing;
// a blocked lock gets the key at its unlock.
TEST(DynamicLockTable, OnlyTheSameKeyWaits) {
  EXPECT_EQ(LargestPrimeAtMost(25), 23) << "the divisor search must reach the square root";
  DynamicLockTable table(1000, 0);
  BlockLockTable blocks(1000, 0);
  uint64_t held = 5, neighbour = 5 + 997;  // 8-byte keys hash to their value mod 997 buckets
  uint8_t block[16], other_block[16], negative[16];  // no key gives a negative bucket
  BlockLockTable::MakeKey(1, 0, block);
  BlockLockTable::MakeKey(0, 65536, other_block);
  BlockLockTable::MakeKey(-1, -1, negative);
  ASSERT_EQ(table.Hash(&held, 8), table.Hash(&neighbour, 8));
  ASSERT_EQ(blocks.Hash(block, 16), blocks.Hash(other_block, 16));
  std::string key(DynamicLockTable::kMaxKeyLength, 'k'), changed = key;
  changed.back() = 'x';
  ASSERT_TRUE(table.Lock(&held, 8, kUnit, __LINE__) && table.Lock(key.data(), 300, kUnit, 0) &&
              blocks.Lock(block, 16, kUnit, __LINE__));
  std::atomic<bool> second_has_it{false};
  std::thread second([&] {
    EXPECT_FALSE(table.TryLock(&held, 8, kUnit, __LINE__) ||
                 table.TryLock(key.data(), 300, kUnit, __LINE__));
    for (auto [locks, other, length] :
         {std::tuple<DynamicLockTable*, void*, int>{&table, &neighbour, 8},
          {&table, key.data(), 299},
          {&table, changed.data(), 300},
          {&blocks, other_block, 16},
          {&blocks, negative, 16}}) {
      EXPECT_TRUE(locks->TryLock(other, length, kUnit, __LINE__) && locks->Unlock(other, length));
    }
    table.Lock(&held, 8, kUnit, __LINE__);
    second_has_it = true;
    table.Unlock(&held, 8);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(second_has_it);
  EXPECT_TRUE(table.Unlock(&held, 8));
  second.join();
  EXPECT_TRUE(second_has_it);
  EXPECT_TRUE(table.Unlock(key.data(), 300) && blocks.Unlock(block, 16));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(table.Unlock(&held, 8) || table.Unlock(key.data(), 300))
      << "every lock was paired with an unlock; the refused tries counted nobody";
  EXPECT_NE(testing::internal::GetCapturedStdout().find("internal error:dylock"),
            std::string::npos);
}

// Unsynchronised counters guarded only by the table: lost updates show broken exclusion
// (and ThreadSanitizer sees the race directly). Afterwards every key is free again.
TEST(DynamicLockTable, ExcludesUnderContention) {
  DynamicLockTable table(251, 0);
  std::vector<std::string> keys;
  for (int k = 0; k < 6; ++k) keys.push_back("key-" + std::to_string(k) + std::string(k, '#'));
  long counters[6] = {};
  std::atomic<long> entered{0};
  auto work = [&](int seed) {
    for (int round = 0; round < 3000; ++round) {
      int k = (round * 7 + seed) % 6;
      const char* key = keys[static_cast<size_t>(k)].c_str();
      int length = static_cast<int>(std::strlen(key));
      if (round % 3 == 0 ? !table.TryLock(key, length, kUnit, __LINE__)
                         : !table.Lock(key, length, kUnit, __LINE__)) {
        continue;
      }
      long seen = counters[k];
      std::this_thread::yield();
      counters[k] = seen + 1;
      table.Unlock(key, length);
      ++entered;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(work, t);
  for (std::thread& t : threads) t.join();
  long total = 0;
  for (long c : counters) total += c;
  EXPECT_EQ(total, entered.load());
  EXPECT_GE(total, 4 * 2000);
  for (const std::string& key : keys) {
    int length = static_cast<int>(key.size());
    EXPECT_TRUE(table.TryLock(key.data(), length, kUnit, __LINE__) &&
                table.Unlock(key.data(), length));
  }
}

TEST(DynamicLockTable, SteadyLockingReusesEntriesAndKeepsAtMostAHundredFree) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer follows at most 64 locks held by one thread; this holds 150";
#endif
  DynamicLockTable table(3, 0);  // 3 buckets: all 150 keys in bucket 0
  std::vector<uint64_t> keys;
  for (uint64_t k = 0; k < 150; ++k) keys.push_back(k * 3);
  auto lock_all = [&](size_t count) {
    for (size_t k = 0; k < count; ++k) table.Lock(&keys[k], 8, kUnit, __LINE__);
    for (size_t k = 0; k < count; ++k) table.Unlock(&keys[k], 8);
  };
  lock_all(150);  // makes 150 entries, keeps 100 of them
  uint64_t before = Heap::AllocationCount();
  for (int round = 0; round < 50; ++round) lock_all(100);
  EXPECT_EQ(Heap::AllocationCount(), before);
  lock_all(150);
  EXPECT_EQ(Heap::AllocationCount() - before, 50u) << "only the 100 kept entries are reused";
}

// The entry lock is a critical section: re-entering it, or releasing it from a thread that
// does not hold it, is caught there ("mt").
TEST(DynamicLockTableDeathTest, MisuseIsFatal) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir here;
  uint64_t key = 1;
  std::string too_long(DynamicLockTable::kMaxKeyLength + 1, 'x');
  auto held = [&] {
    auto* table = new DynamicLockTable(1000, 0);
    table->Lock(&key, 8, kUnit, __LINE__);
    return table;
  };
  std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { DynamicLockTable(1000, 0).Lock(too_long.data(), 301, kUnit, __LINE__); }, "dylock"},
      {[&] { BlockLockTable(1000, 0).Lock(&key, 8, kUnit, __LINE__); }, "dylock"},
      {[&] { delete held(); }, "dylock"},
      {[&] { held()->Lock(&key, 8, kUnit, __LINE__); }, "mt"},
      {[&] { std::thread([&, table = held()] { table->Unlock(&key, 8); }).join(); }, "mt"},
  };
  for (const auto& [body, unit] : cases) {
    EXPECT_THAT(FatalErrorOf(body),
                testing::HasSubstr(std::string("internal error:") + unit + " "));
  }
}

}  // namespace
