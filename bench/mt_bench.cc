// Uncontended lock/unlock: the system's critical section against a bare std::mutex, and a
// traced critical section against an untraced one. Run them in one process so the ratios
// compare like with like.
#include <benchmark/benchmark.h>

#include <mutex>

#include "runtime/mt.h"

namespace {

constexpr char kUnit[] = "mt_bench";

void BM_StdMutex(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(BM_StdMutex);

void LockUnlock(benchmark::State& state, int traced) {
  CCriticalSection lock(traced);
  for (auto _ : state) {
    lock.Lock(kUnit, __LINE__);
    benchmark::ClobberMemory();
    lock.Unlock();
  }
}

void BM_CriticalSection(benchmark::State& state) {
  LockUnlock(state, 0);
}
BENCHMARK(BM_CriticalSection);

void BM_TracedCriticalSection(benchmark::State& state) {
  LockUnlock(state, 1);
}
BENCHMARK(BM_TracedCriticalSection);

}  // namespace

BENCHMARK_MAIN();
