// Micro-benchmarks of the typed values: encoding and decoding a 64 KiB binary value and a
// 1,000-row table, and the append/clear cycle of a per-call argument list.
//
// Besides the time, each benchmark reports allocations per operation in the steady state:
// "heap/op" counts Heap::Allocate and Heap::Reallocate calls (every buffer, cell and text of
// the values), "new/op" counts global operator new in this binary (replaced below).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "runtime/memobj.h"
#include "values/netdat.h"
#include "values/nettable.h"

namespace {

std::atomic<uint64_t> g_news{0};

void* CountedNew(size_t size) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

// Allocation counters over a benchmark's timed loop, as per-iteration rates.
class AllocationMeter {
 public:
  AllocationMeter() : heap_(Heap::AllocationCount()), news_(g_news.load()) {}
  void Report(benchmark::State& state) const {
    auto per_op = [&](uint64_t count) {
      return benchmark::Counter(static_cast<double>(count), benchmark::Counter::kAvgIterations);
    };
    state.counters["heap/op"] = per_op(Heap::AllocationCount() - heap_);
    state.counters["new/op"] = per_op(g_news.load() - news_);
  }

 private:
  uint64_t heap_;
  uint64_t news_;
};

void FillTable(NetTable& table, int rows) {
  table.AddColumn("id", NET_LONG);
  table.AddColumn("size", NET_SUPERLONG);
  table.AddColumn("rate", NET_DOUBLE);
  table.AddColumn("load", NET_FLOAT);
  table.AddColumn("name", NET_STRING, 32);
  table.AddColumn("digest", NET_BINARY, 16);
  table.AddColumn("when", NET_DATETIME);
  table.AddColumn("path", NET_CSTRING);
  table.InsertRows(1, rows);
  DateTimeRecord when;
  when.year = 2024;
  when.month = 3;
  when.day = 5;
  for (int r = 1; r <= rows; ++r) {
    std::string text = "row-" + std::to_string(r);
    table.SetLong(r, 1, r);
    table.SetSuperLong(r, 2, int64_t{r} << 20);
    table.SetDouble(r, 3, r / 7.0);
    table.SetFloat(r, 4, static_cast<float>(r) / 3);
    table.SetString(r, 5, text.c_str());
    table.SetBinary(r, 6, "0123456789abcdef", 16);
    table.SetDateTime(r, 7, when);
    table.SetString(r, 8, ("c:\\data\\" + text + ".blob").c_str());
  }
}

// Encodes `source` and decodes the bytes into `target`, over and over; two warm-up rounds
// first, so the pools and buffers are in their steady state when counting starts.
template <class Value>
void MeasureRoundTrip(benchmark::State& state, const Value& source, Value& target) {
  PackBuffer out;
  auto once = [&] {
    out.SetSize(0);
    source.Encode(out);
    target.Decode(out.Data(), out.Size());
  };
  once();
  once();
  AllocationMeter meter;
  for (auto _ : state) {
    once();
    benchmark::DoNotOptimize(&target);
  }
  meter.Report(state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * out.Size());
}

void BM_BinaryValueEncodeDecode(benchmark::State& state) {
  std::string block(kBinaryBlockSize, 'x');
  NetValueList list;
  list.Append(1);
  list.SetBinary(0, block.data(), kBinaryBlockSize);
  NetValueList back;
  MeasureRoundTrip(state, list, back);
}
BENCHMARK(BM_BinaryValueEncodeDecode);

void BM_TableEncodeDecode(benchmark::State& state) {
  NetTable table;
  FillTable(table, 1000);
  NetTable back;
  MeasureRoundTrip(state, table, back);
}
BENCHMARK(BM_TableEncodeDecode);

void BM_TableEncode(benchmark::State& state) {
  NetTable table;
  FillTable(table, 1000);
  PackBuffer out;
  table.Encode(out);
  AllocationMeter meter;
  for (auto _ : state) {
    out.SetSize(0);
    table.Encode(out);
  }
  meter.Report(state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * out.Size());
}
BENCHMARK(BM_TableEncode);

// The per-call cycle of a session's argument list: ten values in, cleared for the next call.
void BM_ListAppendClear(benchmark::State& state) {
  NetValueList list;
  std::string payload(200, 'p');
  auto once = [&] {
    list.Append(10);
    for (int i = 0; i < 10; i += 5) {
      list.SetString(i, "c:\\data\\file.blob");
      list.SetSuperLong(i + 1, 1 << 30);
      list.SetLong(i + 2, 65536);
      list.SetDouble(i + 3, 0.5);
      list.SetBinary(i + 4, payload.data(), static_cast<int>(payload.size()));
    }
    list.Clear();
  };
  once();
  once();
  AllocationMeter meter;
  for (auto _ : state) once();
  meter.Report(state);
}
BENCHMARK(BM_ListAppendClear);

}  // namespace

void* operator new(size_t size) {
  return CountedNew(size);
}
void* operator new[](size_t size) {
  return CountedNew(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, size_t) noexcept {
  std::free(block);
}

BENCHMARK_MAIN();
