#include "store/dylock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "runtime/memobj.h"
#include "store/fatal_test_helper.h"
#include "testing/sanitizers.h"

namespace {

constexpr char kUnit[] = "dylock_test";

// A key in the same bucket and a prefix of a held key are other keys: they never wait.
TEST(DynamicLockTable, OnlyTheSameKeyWaits) {
  DynamicLockTable table(1000, 0);
  BlockLockTable blocks(1000, 0);
  uint64_t held = 5, neighbour = 5 + 997;  // 8-byte keys hash to their value mod 997 buckets
  uint8_t negative[16];                    // no key gives a negative bucket
  BlockLockTable::MakeKey(-1, -1, negative);
  ASSERT_EQ(table.Hash(&held, 8), table.Hash(&neighbour, 8));
  std::string key(DynamicLockTable::kMaxKeyLength, 'k');
  ASSERT_TRUE(table.Lock(&held, 8, kUnit, __LINE__) && table.Lock(key.data(), 300, kUnit, 0));
  std::atomic<bool> second_has_it{false};
  std::thread second([&] {
    EXPECT_FALSE(table.TryLock(&held, 8, kUnit, __LINE__) ||
                 table.TryLock(key.data(), 300, kUnit, __LINE__));
    for (auto [locks, other, length] :
         {std::tuple<DynamicLockTable*, void*, int>{&table, &neighbour, 8},
          {&table, key.data(), 299},
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
  EXPECT_TRUE(table.Unlock(key.data(), 300));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(table.Unlock(&held, 8) || table.Unlock(key.data(), 300));
  EXPECT_THAT(testing::internal::GetCapturedStdout(), testing::HasSubstr("internal error:dylock"));
}

TEST(DynamicLockTable, ExcludesUnderContention) {
  DynamicLockTable table(251, 0);
  static const int kKeys[6] = {0, 1, 2, 3, 4, 5};
  long counters[6] = {};
  auto work = [&](int seed) {
    for (int round = 0; round < 3000; ++round) {
      int k = (round * 7 + seed) % 6;
      table.Lock(&kKeys[k], 4, kUnit, __LINE__);
      long seen = counters[k];
      std::this_thread::yield();
      counters[k] = seen + 1;
      table.Unlock(&kKeys[k], 4);
    }
  };
  std::thread first(work, 0), second(work, 1);
  first.join();
  second.join();
  EXPECT_EQ(std::accumulate(counters, counters + 6, 0L), 2 * 3000);
}

TEST(DynamicLockTable, SteadyLockingReusesEntriesAndKeepsAtMostAHundredFree) {
  if (kLockDetectorLimited) GTEST_SKIP() << "this holds 150 locks at once";
  DynamicLockTable table(3, 0);  // 3 buckets: all 150 keys in bucket 0
  uint64_t keys[150];
  for (uint64_t k = 0; k < 150; ++k) keys[k] = k * 3;
  auto lock_all = [&](size_t count) {
    for (size_t k = 0; k < count; ++k) table.Lock(&keys[k], 8, kUnit, __LINE__);
    for (size_t k = 0; k < count; ++k) table.Unlock(&keys[k], 8);
  };
  lock_all(150);  // makes 150 entries, keeps 100 of them
  uint64_t before = Heap::AllocationCount();
  for (int round = 0; round < 50; ++round) lock_all(100);
  EXPECT_EQ(Heap::AllocationCount(), before);
  lock_all(150);
  EXPECT_EQ(Heap::AllocationCount() - before, 50u);  // only the 100 kept entries are reused
}

// The entry lock is a critical section: its misuse is caught there ("mt").
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
