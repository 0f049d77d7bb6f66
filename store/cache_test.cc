// The page cache against a plain file: random transfers through a 16-page cache, growth at
// the end, eviction with write-back, seeking, and a failed open.
#include "store/cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// The tests read the file beside the cache, which Windows allows only when the cache shares
// reading.
constexpr unsigned kReadWrite = kModeReadWrite | kShareDenyWrite;
constexpr unsigned kCreateReadWrite = kModeCreate | kReadWrite;

std::string ReadAll(PageCacheFile& cache) {
  std::string bytes(static_cast<size_t>(cache.GetLength()), '\0');
  EXPECT_EQ(cache.Seek(0, BaseFile::kBegin), 0);
  EXPECT_EQ(cache.Read(bytes.data(), static_cast<int64_t>(bytes.size())),
            static_cast<int64_t>(bytes.size()));
  return bytes;
}

std::string Seq(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  return bytes;
}

// Random reads, writes (inside, across and beyond the end) and flushes of a file much larger
// than the cache, against a copy kept in memory. The OS file must have the copy's length
// after every write, the part a write added beyond the end at once (the rest reaches it
// later), and its bytes after every flush.
TEST(PageCacheFile, MatchesAPlainFileUnderRandomTransfers) {
  TempDir dir;
  std::string path = dir / "random.dat";
  constexpr int64_t kPage = 512;
  PageCacheFile cache(16 * kPage, kPage);
  ASSERT_EQ(cache.max_pages(), 16);
  ASSERT_EQ(cache.Open(path.c_str(), kCreateReadWrite), 1);
  std::string shadow;
  std::mt19937 random(20240305);
  auto pick = [&](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
  };
  int max_cached = 0;
  for (int op = 0; op < 5000; ++op) {
    int64_t length = static_cast<int64_t>(shadow.size());
    int64_t at = pick(0, 3) == 0 ? length : pick(0, length);
    int64_t count = pick(0, 3 * kPage);
    int kind = static_cast<int>(pick(0, 99));
    ASSERT_EQ(cache.Seek(at, BaseFile::kBegin), at);
    int64_t moved = 0;
    if (kind < 50 && (at + count < 48 * 1024 || at + count <= length)) {
      std::string bytes = Seq(static_cast<size_t>(count), op);
      ASSERT_EQ(cache.Write(bytes.data(), count), count);
      if (at + count > length) shadow.resize(static_cast<size_t>(at + count));
      shadow.replace(static_cast<size_t>(at), static_cast<size_t>(count), bytes);
      ASSERT_EQ(cache.GetLength(), static_cast<int64_t>(shadow.size()));
      ASSERT_EQ(fs::file_size(path), shadow.size()) << "op " << op;
      if (at + count > length) {
        ASSERT_EQ(ReadFileBytes(path).substr(static_cast<size_t>(length)),
                  shadow.substr(static_cast<size_t>(length)));
      }
      moved = count;
    } else if (kind < 97) {
      std::string bytes(static_cast<size_t>(count), '\0');
      int64_t expected = std::min(count, length - at);
      ASSERT_EQ(cache.Read(bytes.data(), count), expected) << "op " << op;
      ASSERT_EQ(bytes.substr(0, static_cast<size_t>(expected)),
                shadow.substr(static_cast<size_t>(at), static_cast<size_t>(expected)));
      moved = expected;
    } else {
      ASSERT_EQ(cache.Flush(), 1);
      ASSERT_EQ(ReadFileBytes(path), shadow) << "op " << op;
    }
    ASSERT_EQ(cache.GetPosition(), at + moved);
    max_cached = std::max(max_cached, cache.cached_pages());
  }
  EXPECT_EQ(max_cached, 16);
  EXPECT_GT(shadow.size(), 40u * kPage) << "the file must outgrow the cache";
  ASSERT_EQ(cache.Close(), 1);
  EXPECT_EQ(ReadFileBytes(path), shadow);

  ASSERT_EQ(cache.Open(path.c_str(), kReadWrite), 1);
  EXPECT_EQ(cache.GetPosition(), 0);
  EXPECT_EQ(ReadAll(cache), shadow);
}

TEST(PageCacheFile, EvictsTheLeastRecentlyUsedPageWithItsChanges) {
  TempDir dir;
  std::string path = dir / "evict.dat";
  constexpr int64_t kPage = 512;
  WriteFileBytes(path, std::string(17 * kPage, '.'));
  PageCacheFile cache(16 * kPage, kPage);
  ASSERT_EQ(cache.Open(path.c_str(), kReadWrite), 1);
  ASSERT_EQ(cache.GetLength(), 17 * kPage);
  cache.Seek(kPage + 5, BaseFile::kBegin);
  ASSERT_EQ(cache.Write("D", 1), 1);  // page 1, touched first
  char byte = 0;
  for (int64_t page : {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
    cache.Seek(page * kPage, BaseFile::kBegin);
    ASSERT_EQ(cache.Read(&byte, 1), 1);
  }
  EXPECT_EQ(cache.cached_pages(), 16);
  EXPECT_EQ(ReadFileBytes(path)[kPage + 5], '.');
  cache.Seek(16 * kPage, BaseFile::kBegin);
  ASSERT_EQ(cache.Read(&byte, 1), 1);  // the 17th page pushes page 1 out
  EXPECT_EQ(cache.cached_pages(), 16);
  EXPECT_EQ(ReadFileBytes(path)[kPage + 5], 'D');
  cache.Seek(kPage + 5, BaseFile::kBegin);
  ASSERT_EQ(cache.Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'D');
}

TEST(PageCacheFile, SeekClampsToTheFileAndReadsStopAtItsEnd) {
  TempDir dir;
  std::string path = dir / "seek.dat";
  WriteFileBytes(path, Seq(1000, 0));
  PageCacheFile cache(4 * 256, 256);
  ASSERT_EQ(cache.Open(path.c_str(), kReadWrite), 1);
  EXPECT_EQ(cache.Seek(0, BaseFile::kEnd), 1000);
  EXPECT_EQ(cache.Seek(-5, BaseFile::kBegin), 0);
  // Past the end is an inconsistency of the file: clamped, and traced with the stack.
  testing::internal::CaptureStdout();
  EXPECT_EQ(cache.Seek(5000, BaseFile::kBegin), 1000);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "]-------\r\npage cache:seek past the end 5000 of 1000 in "),
            std::string::npos);
  cache.set_trace(0);
  EXPECT_EQ(cache.Seek(INT64_MAX, BaseFile::kCurrent), 1000);
  EXPECT_EQ(cache.Seek(-10, BaseFile::kEnd), 990);
  char bytes[100];
  EXPECT_EQ(cache.Read(bytes, 100), 10);
  EXPECT_EQ(std::string(bytes, 10), Seq(1000, 0).substr(990));
  EXPECT_EQ(cache.Read(bytes, 100), 0);
  EXPECT_EQ(cache.Seek(-3, BaseFile::kCurrent), 997);
}

TEST(PageCacheFile, FailedOpenLeavesItClosedAndCloseIsIdempotent) {
  TempDir dir;
  PageCacheFile cache(8192, 1024);
  std::string missing = dir / "no/such/dir/x.dat";
  testing::internal::CaptureStdout();
  EXPECT_EQ(cache.Open(missing.c_str(), kCreateReadWrite), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(cache.IsOpen());
  char byte = 'x';
  EXPECT_EQ(cache.Read(&byte, 1), -1);
  EXPECT_EQ(cache.Write(&byte, 1), -1);
  EXPECT_EQ(cache.Seek(0, BaseFile::kBegin), -1);
  EXPECT_EQ(cache.GetLength(), -1);
  EXPECT_EQ(cache.Close(), 1);

  std::string path = dir / "ok.dat";
  WriteFileBytes(path, "0123456789");
  ASSERT_EQ(cache.Open(path.c_str(), kReadWrite), 1);
  cache.Seek(4, BaseFile::kBegin);
  ASSERT_EQ(cache.Write("##", 2), 2);
  EXPECT_EQ(ReadFileBytes(path), "0123456789");
  EXPECT_EQ(cache.Close(), 1);
  EXPECT_EQ(ReadFileBytes(path), "0123##6789");
  EXPECT_EQ(cache.Close(), 1);
  EXPECT_EQ(cache.cached_pages(), 0);
}

}  // namespace
