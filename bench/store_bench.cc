// Micro-benchmarks of the file store's lower units, each beside a reference in the same run:
//  - B+ tree lookups (find + read of the record) among 100,000 path keys in the path
//    index's shape (key 250, data 8, 256 entries per page, 3 levels), over the files cache's
//    page cache of 16 pages of 8192 bytes and over a page cache that holds the whole file,
//    against std::map<std::string, int64_t> lookups of the same keys;
//  - 270-byte and 4096-byte reads of a hot (fully cached) file through PageCacheFile,
//    against memcpy from memory at the same offsets;
//  - 64 KiB reads of a hot 64 MiB file through the files cache (by path, as the disk manager
//    reads, and by id), and the same range pinned in place and let go (the server's cached
//    read), against memcpy of the same bytes from memory;
//  - a 64 KiB write through the files cache followed by its flushFile (write, lookup,
//    flushFile: the disk manager's write), with the disk manager's 0 idle handles (the file
//    is opened and closed by every flush) and with 1, and a 4 MiB one, against a plain write
//    + fsync of as many bytes to a file that stays open.
// "heap/op" counts Heap allocations per operation in the steady state. The write pairs wait
// for the disk, whose speed drifts: compare them as medians of interleaved repetitions
// (--benchmark_filter=Write --benchmark_repetitions=10
// --benchmark_enable_random_interleaving=true).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/base.h"
#include "runtime/memobj.h"
#include "store/btree.h"
#include "store/cache.h"
#include "store/filescache.h"

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

// ---- Files cache ----

constexpr int64_t kBigFile = int64_t{64} << 20;
constexpr int32_t kPiece = 64 << 10;
constexpr int32_t kCacheBlock = 4096;

void CountHeap(benchmark::State& state, uint64_t since) {
  state.counters["heap/op"] = benchmark::Counter(
      static_cast<double>(Heap::AllocationCount() - since), benchmark::Counter::kAvgIterations);
}

// The byte at `offset` of the test files.
char PatternByte(int64_t offset) {
  return static_cast<char>('a' + (offset * 131 + offset / 4096) % 26);
}

// A files cache as the disk manager builds it (4096-byte blocks, no idle handles unless
// asked), on its own directory.
struct BenchFilesCache {
  explicit BenchFilesCache(int64_t cache_bytes, int32_t idle_handles = 0)
      : cache(cache_bytes, kCacheBlock, idle_handles, 1000, 8) {
    dir = Scratch().File(
        ("files-cache-" + std::to_string(cache_bytes) + "-" + std::to_string(idle_handles))
            .c_str());
    fs::create_directories(dir);
    if (!cache.Open(dir.c_str(), "pellary_")) std::abort();
  }
  // A file of `size` pattern bytes on disk (synced, so that its write-out does not run into
  // the measurements), known to the cache.
  int64_t MakeFile(const char* name, int64_t size, std::string* path) {
    *path = dir + "/" + name;
    std::vector<char> bytes(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i) bytes[static_cast<size_t>(i)] = PatternByte(i);
    BaseFile file;
    if (file.Open(path->c_str(), kCreateReadWrite) == 0 || file.Write(bytes.data(), size) != size ||
        file.Flush() == 0) {
      std::abort();
    }
    file.Close();
    return cache.Lookup(path->c_str(), false);
  }

  std::string dir;
  FilesCache cache;
};

// The hot file: 64 MiB, every block read once so that all of it is in the cache.
struct HotFile {
  HotFile() : fc(kBigFile + (int64_t{4} << 20)) {
    id = fc.MakeFile("hot.dat", kBigFile, &path);
    std::vector<char> piece(kPiece);
    for (int64_t at = 0; at < kBigFile; at += kPiece) {
      if (fc.cache.ReadById(id, at, piece.data(), kPiece) != kPiece) std::abort();
    }
  }
  BenchFilesCache fc;
  std::string path;
  int64_t id = 0;
};

HotFile& Hot() {
  static HotFile hot;
  return hot;
}

// Sequential 64 KiB pieces through the file, round and round: what a client reading a file
// asks for. Every reader below walks the same offsets.
int64_t NextPiece(size_t* next) {
  return static_cast<int64_t>((*next)++ % (kBigFile / kPiece)) * kPiece;
}

// Reads of the hot file's pieces in turn into `out` by `read`, which answers false for a
// wrong read.
using HotRead = std::function<bool(HotFile& hot, int64_t at, char* out)>;
void ReadHot(benchmark::State& state, const HotRead& read) {
  HotFile& hot = Hot();
  std::vector<char> out(kPiece);
  size_t next = 0;
  uint64_t allocations = Heap::AllocationCount();
  for (auto _ : state) {
    if (!read(hot, NextPiece(&next), out.data())) {
      state.SkipWithError("short or wrong read");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kPiece);
  CountHeap(state, allocations);
}

void BM_FilesCacheRead64K_ByPath(benchmark::State& state) {
  ReadHot(state, [](HotFile& hot, int64_t at, char* out) {
    return hot.fc.cache.Read(hot.path.c_str(), at, out, kPiece) == kPiece &&
           out[100] == PatternByte(at + 100);
  });
}
BENCHMARK(BM_FilesCacheRead64K_ByPath)->UseRealTime();

void BM_FilesCacheRead64K_ById(benchmark::State& state) {
  ReadHot(state, [](HotFile& hot, int64_t at, char* out) {
    return hot.fc.cache.ReadById(hot.id, at, out, kPiece) == kPiece;
  });
}
BENCHMARK(BM_FilesCacheRead64K_ById)->UseRealTime();

// What the server's cached read does instead of copying: the range's blocks held in place
// while the answer is sent from them (the system's copy into the socket stands here as a copy
// into memory, as it also takes the blocks' bytes through the processor's caches).
void BM_FilesCachePin64K_ById(benchmark::State& state) {
  ReadHot(state, [](HotFile& hot, int64_t at, char* out) {
    FilesCache::Pinned pinned;
    if (!hot.fc.cache.PinById(hot.id, at, kPiece, &pinned)) return false;
    for (int i = 0, done = 0; i < pinned.count; done += pinned.lengths[i++])
      std::memcpy(out + done, pinned.bytes[i], static_cast<size_t>(pinned.lengths[i]));
    bool whole = pinned.total == kPiece;
    hot.fc.cache.Unpin(&pinned);
    return whole;
  });
}
BENCHMARK(BM_FilesCachePin64K_ById)->UseRealTime();

void BM_Memcpy64K_From64MiB(benchmark::State& state) {
  static std::vector<char> hot = [] {
    std::vector<char> bytes(static_cast<size_t>(kBigFile));
    for (int64_t i = 0; i < kBigFile; ++i) bytes[static_cast<size_t>(i)] = PatternByte(i);
    return bytes;
  }();
  std::vector<char> out(kPiece);
  size_t next = 0;
  for (auto _ : state) {
    std::memcpy(out.data(), hot.data() + NextPiece(&next), kPiece);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kPiece);
}
BENCHMARK(BM_Memcpy64K_From64MiB)->UseRealTime();

// Writes of `piece` bytes rotate through the first kWritePieces pieces of a file; after the
// first round its blocks are cached.
constexpr int kWritePieces = 16;

// A file of kWritePieces pieces known to a files cache with 0 or 1 idle handles.
struct WrittenFile {
  WrittenFile(int32_t idle_handles, int32_t piece)
      : fc(int64_t{piece} * kWritePieces * 2, idle_handles) {
    std::string name = "written-" + std::to_string(piece) + ".dat";
    id = fc.MakeFile(name.c_str(), int64_t{piece} * kWritePieces, &path);
  }
  BenchFilesCache fc;
  std::string path;
  int64_t id = 0;
};

WrittenFile& Written(int32_t idle_handles, int32_t piece) {
  static std::map<std::pair<int32_t, int32_t>, std::unique_ptr<WrittenFile>> files;
  auto& file = files[{idle_handles, piece}];
  if (!file) file = std::make_unique<WrittenFile>(idle_handles, piece);
  return *file;
}

// The disk manager's write: write, lookup, flushFile, of state.range(1) KiB. state.range(0)
// idle handles: the disk manager keeps none, so every flush opens and closes the file; 1 shows
// what that costs. The CPU column, beside the plain write's, is the cache's own work.
void BM_FilesCacheWrite_FlushFile(benchmark::State& state) {
  int32_t piece = static_cast<int32_t>(state.range(1)) << 10;
  WrittenFile& written = Written(static_cast<int32_t>(state.range(0)), piece);
  FilesCache& cache = written.fc.cache;
  const char* path = written.path.c_str();
  std::vector<char> bytes(piece, 'w');
  int64_t at = 0;
  for (auto _ : state) {
    bytes[0] = static_cast<char>('A' + at / piece);
    bool ok = cache.Write(path, at, bytes.data(), piece) == piece;
    int64_t found = cache.Lookup(path, false);
    if (!ok || found != written.id || !cache.FlushFile(found)) {
      state.SkipWithError("write failed");
    }
    at = (at + piece) % (int64_t{piece} * kWritePieces);
  }
  state.SetBytesProcessed(state.iterations() * piece);
}
BENCHMARK(BM_FilesCacheWrite_FlushFile)
    ->Args({0, 64})
    ->Args({1, 64})
    ->Args({0, 4096})
    ->UseRealTime();

// A write of state.range(0) KiB and an fsync, to a file that stays open.
void BM_PlainWrite_Fsync(benchmark::State& state) {
  int32_t piece = static_cast<int32_t>(state.range(0)) << 10;
  int64_t area = int64_t{piece} * kWritePieces;
  BaseFile file;
  std::string path = Scratch().File(("plain-" + std::to_string(piece) + ".dat").c_str());
  std::vector<char> bytes(static_cast<size_t>(area), 'p');
  if (file.Open(path.c_str(), kCreateReadWrite) != 1 || file.Write(bytes.data(), area) != area ||
      file.Flush() != 1) {
    return state.SkipWithError("no file");
  }
  int64_t at = 0;
  for (auto _ : state) {
    bytes[0] = static_cast<char>('A' + at / piece);
    if (file.Seek(at, BaseFile::kBegin) != at || file.Write(bytes.data(), piece) != piece ||
        file.Flush() != 1) {
      state.SkipWithError("write failed");
    }
    at = (at + piece) % area;
  }
  state.SetBytesProcessed(state.iterations() * piece);
}
BENCHMARK(BM_PlainWrite_Fsync)->Arg(64)->Arg(4096)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
