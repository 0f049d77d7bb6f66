// Micro-benchmarks of the file store's lower units, each beside a reference in the same run:
//  - B+ tree lookups (find + read of the record) among 100,000 path keys in the path
//    index's shape (key 250, data 8, 256 entries per page, 3 levels), over the files cache's
//    page cache of 16 pages of 8192 bytes and over a page cache that holds the whole file,
//    against std::map<std::string, int64_t> lookups of the same keys;
//  - 270-byte and 4096-byte reads of a hot (fully cached) file through PageCacheFile,
//    against memcpy from memory at the same offsets.
// "heap/op" counts Heap allocations per operation in the steady state.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/memobj.h"
#include "store/btree.h"
#include "store/cache.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 100000;
constexpr int kLookupKeys = 4096;  // a random sample, cycled
constexpr unsigned kCreateReadWrite = kModeCreate | kModeReadWrite;

// A scratch directory for the run, removed at exit.
class ScratchDir {
 public:
  ScratchDir()
      : path_(fs::temp_directory_path() /
              ("pellary-store-bench-" + std::to_string(std::random_device()()))) {
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

ScratchDir& Scratch() {
  static ScratchDir dir;
  return dir;
}

std::vector<std::string> PathKeys() {
  std::vector<std::string> keys;
  keys.reserve(kRecords);
  for (int i = 0; i < kRecords; ++i) {
    char path[96];
    std::snprintf(path, sizeof path, "c:\\pellary\\files\\%03d\\doc%07d.blob", i % 997,
                  i * 7919 % 10000019);
    keys.emplace_back(path);
  }
  std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
  return keys;
}

const std::vector<std::string>& Keys() {
  static const std::vector<std::string> keys = PathKeys();
  return keys;
}

std::vector<int> LookupOrder() {
  std::mt19937 random(7);
  std::vector<int> order(kLookupKeys);
  for (int& at : order) at = std::uniform_int_distribution<int>(0, kRecords - 1)(random);
  return order;
}

// The path index with every key, over a page cache of `cache_bytes`.
struct PathIndex {
  explicit PathIndex(int64_t cache_bytes, const char* name)
      : cache(cache_bytes, 8192), tree(&cache, BTreeFile::kCheckReport) {
    std::string path = Scratch().File(name);
    if (cache.Open(path.c_str(), kCreateReadWrite) == 0 ||
        !tree.Create(path.c_str(), 250, 8, 256, 3)) {
      std::abort();
    }
    std::vector<uint8_t> key(250);
    for (int64_t id = 0; id < kRecords; ++id) {
      tree.EncodeStringKey(Keys()[static_cast<size_t>(id)].c_str(), key.data());
      if (tree.Insert(key.data(), &id, true).IsNone()) std::abort();
    }
    for (int at : LookupOrder()) {
      std::vector<uint8_t> encoded(250);
      tree.EncodeStringKey(Keys()[static_cast<size_t>(at)].c_str(), encoded.data());
      lookups.push_back(std::move(encoded));
    }
  }

  PageCacheFile cache;
  BTreeFile tree;
  std::vector<std::vector<uint8_t>> lookups;
};

void FindAll(benchmark::State& state, PathIndex& index) {
  size_t next = 0;
  int64_t id = 0;
  uint64_t allocations = Heap::AllocationCount();
  for (auto _ : state) {
    const std::vector<uint8_t>& key = index.lookups[next++ % index.lookups.size()];
    BTreePosition at = index.tree.Find(key.data(), BTreeFile::kFindAny);
    if (!index.tree.ReadEntry(at, nullptr, &id, nullptr)) state.SkipWithError("key lost");
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["heap/op"] =
      benchmark::Counter(static_cast<double>(Heap::AllocationCount() - allocations),
                         benchmark::Counter::kAvgIterations);
}

void BM_BTreeFind_16PageCache(benchmark::State& state) {
  static PathIndex index(131072, "small-cache.idx");
  FindAll(state, index);
}
BENCHMARK(BM_BTreeFind_16PageCache);

void BM_BTreeFind_WholeFileCache(benchmark::State& state) {
  static PathIndex index(int64_t{64} << 20, "whole-cache.idx");
  FindAll(state, index);
}
BENCHMARK(BM_BTreeFind_WholeFileCache);

void BM_StdMapFind(benchmark::State& state) {
  static const std::map<std::string, int64_t> map = [] {
    std::map<std::string, int64_t> built;
    for (int64_t id = 0; id < kRecords; ++id) built.emplace(Keys()[static_cast<size_t>(id)], id);
    return built;
  }();
  static const std::vector<int> order = LookupOrder();
  size_t next = 0;
  for (auto _ : state) {
    auto found = map.find(Keys()[static_cast<size_t>(order[next++ % order.size()])]);
    if (found == map.end()) state.SkipWithError("key lost");
    benchmark::DoNotOptimize(found->second);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdMapFind);

constexpr int64_t kHotFile = 16 * 8192;  // exactly the cache

std::vector<int64_t> ReadOffsets(int64_t length) {
  std::mt19937 random(11);
  std::vector<int64_t> offsets(kLookupKeys);
  for (int64_t& at : offsets)
    at = std::uniform_int_distribution<int64_t>(0, kHotFile - length)(random);
  return offsets;
}

void BM_PageCacheRead(benchmark::State& state) {
  static PageCacheFile cache(kHotFile, 8192);
  static bool ready = [] {
    std::string path = Scratch().File("hot.dat");
    std::vector<char> bytes(kHotFile, 'h');
    return cache.Open(path.c_str(), kCreateReadWrite) == 1 &&
           cache.Write(bytes.data(), kHotFile) == kHotFile && cache.Flush() == 1;
  }();
  if (!ready) return state.SkipWithError("no hot file");
  int64_t length = state.range(0);
  std::vector<int64_t> offsets = ReadOffsets(length);
  std::vector<char> out(static_cast<size_t>(length));
  size_t next = 0;
  uint64_t allocations = Heap::AllocationCount();
  for (auto _ : state) {
    cache.Seek(offsets[next++ % offsets.size()], BaseFile::kBegin);
    if (cache.Read(out.data(), length) != length) state.SkipWithError("short read");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * length);
  state.counters["heap/op"] =
      benchmark::Counter(static_cast<double>(Heap::AllocationCount() - allocations),
                         benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PageCacheRead)->Arg(270)->Arg(4096);

void BM_Memcpy(benchmark::State& state) {
  static std::vector<char> hot(kHotFile, 'h');
  int64_t length = state.range(0);
  std::vector<int64_t> offsets = ReadOffsets(length);
  std::vector<char> out(static_cast<size_t>(length));
  size_t next = 0;
  for (auto _ : state) {
    std::memcpy(out.data(), hot.data() + offsets[next++ % offsets.size()],
                static_cast<size_t>(length));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(BM_Memcpy)->Arg(270)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
