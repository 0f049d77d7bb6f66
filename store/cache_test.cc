#include "store/cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "testing/temp_dir.h"

namespace {

// Windows lets the tests read the file beside the cache only when the cache shares reading.
constexpr unsigned kReadWrite = kModeReadWrite | kShareDenyWrite;
constexpr unsigned kCreateReadWrite = kModeCreate | kReadWrite;

TEST(PageCacheFile, MatchesAPlainFileUnderRandomTransfers) {
  TempDir dir;
  std::string path = dir / "random.dat";
  PageCacheFile cache(16 * 512, 512);
  ASSERT_EQ(cache.Open(path.c_str(), kCreateReadWrite), 1);
  std::string shadow;
  std::mt19937 random(20240305);
  auto pick = [&](int64_t high) { return std::uniform_int_distribution<int64_t>(0, high)(random); };
  for (int op = 0; op < 5000 && !HasFatalFailure(); ++op) {
    SCOPED_TRACE("op " + std::to_string(op));
    int64_t length = static_cast<int64_t>(shadow.size());
    int64_t at = pick(3) == 0 ? length : pick(length), count = pick(3 * 512), kind = pick(99);
    ASSERT_EQ(cache.Seek(at, BaseFile::kBegin), at);
    std::string bytes = std::string(static_cast<size_t>(count), static_cast<char>('a' + op % 26));
    if (kind < 50 && (at + count < 48 * 1024 || at + count <= length)) {
      ASSERT_EQ(cache.Write(bytes.data(), count), count);
      shadow.resize(static_cast<size_t>(std::max(length, at + count)));
      shadow.replace(static_cast<size_t>(at), static_cast<size_t>(count), bytes);
      ASSERT_EQ(cache.GetLength(), static_cast<int64_t>(shadow.size()));
      ASSERT_EQ(ReadFileBytes(path).substr(static_cast<size_t>(length)),
                shadow.substr(static_cast<size_t>(length)));
    } else if (kind < 97) {
      int64_t got = cache.Read(bytes.data(), count);
      count = std::min(count, length - at);
      ASSERT_EQ(got, count);
      ASSERT_EQ(bytes.substr(0, static_cast<size_t>(count)),
                shadow.substr(static_cast<size_t>(at), static_cast<size_t>(count)));
    } else {
      count = 0;
      ASSERT_EQ(cache.Flush(), 1);
      ASSERT_EQ(ReadFileBytes(path), shadow);
    }
    ASSERT_EQ(cache.GetPosition(), at + count);
  }
  ASSERT_EQ(cache.Close(), 1);
  EXPECT_EQ(ReadFileBytes(path), shadow);
}

TEST(PageCacheFile, EvictsTheLeastRecentlyUsedPageWithItsChanges) {
  TempDir dir;
  std::string path = dir / "e";
  WriteFileBytes(path, std::string(17 * 512, '.'));
  PageCacheFile cache(16 * 512, 512);
  ASSERT_EQ(cache.Open(path.c_str(), kReadWrite), 1);
  char byte = 'D';
  for (int64_t page : {1, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}) {
    cache.Seek(page * 512 + 5, BaseFile::kBegin);
    ASSERT_EQ(page == 1 ? cache.Write(&byte, 1) : cache.Read(&byte, 1), 1);
    EXPECT_EQ(ReadFileBytes(path)[512 + 5], page == 16 ? 'D' : '.') << page;
  }
}

// Seeks clamp to the file (past the end is traced); closed, it answers -1.
TEST(PageCacheFile, SeeksClampAndAClosedCacheRefuses) {
  TempDir dir;
  std::string path = dir / "seek.dat";
  WriteFileBytes(path, std::string(1000, 'q'));
  PageCacheFile cache(4 * 256, 256);
  char bytes[100] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(cache.Open((dir / "no/x.dat").c_str(), kCreateReadWrite), 0);
  for (int64_t result : {cache.Read(bytes, 1), cache.Write(bytes, 1),
                         cache.Seek(0, BaseFile::kBegin), cache.GetLength()}) {
    EXPECT_EQ(result, -1);
  }
  ASSERT_EQ(cache.Open(path.c_str(), kReadWrite), 1);
  EXPECT_EQ(cache.Seek(-5, BaseFile::kBegin), 0);
  EXPECT_EQ(cache.Seek(5000, BaseFile::kBegin), 1000);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "]-------\r\npage cache:seek past the end 5000 of 1000 in "),
            std::string::npos);
  EXPECT_EQ(cache.Seek(-10, BaseFile::kEnd), 990);
  EXPECT_EQ(cache.Seek(7, BaseFile::kCurrent), 997);
  ASSERT_EQ(cache.Write("##", 2), 2);
  EXPECT_EQ(ReadFileBytes(path), std::string(1000, 'q'));
  EXPECT_EQ(cache.Close(), 1);
  EXPECT_EQ(ReadFileBytes(path).substr(997), "##" + std::string(1000, 'q').substr(999));
}

}  // namespace
