#include "runtime/memobj.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/process.h"
#include "runtime/dumpstack.h"
#include "testing/temp_dir.h"

namespace {

// Zero bytes allocate nothing; a null block reallocates as new; counts and bytes follow.
// AppendToLog appends, creates or truncates, and skips what it cannot open.
TEST(Heap, ZeroSizeAndNullReallocateAndLogsAppend) {
  uint64_t before = Heap::AllocationCount(), bytes_before = Heap::AllocatedBytes();
  EXPECT_EQ(Heap::Allocate(0), nullptr);
  char* block = static_cast<char*>(Heap::Reallocate(nullptr, 16));
  std::memcpy(block, "0123456789abcdef", 16);
  block = static_cast<char*>(Heap::Reallocate(block, 1 << 20));
  EXPECT_EQ(std::memcmp(block, "0123456789abcdef", 16), 0);
  Heap::Release(block);
  Heap::Release(nullptr);
  EXPECT_EQ(Heap::AllocationCount(), before + 2);
  EXPECT_EQ(Heap::AllocatedBytes(), bytes_before + 16 + (1 << 20));
  TempDir dir;
  for (bool append : {true, true, false, true}) AppendToLog((dir / "x.log").c_str(), "l\n", append);
  AppendToLog((dir / "missing/x.log").c_str(), "nothing", true);
  EXPECT_EQ(ReadFileBytes(dir / "x.log"), "l\nl\n");
}

TEST(BaseObject, CheckThreadFollowsTheBoundThread) {
  BaseObject object;
  int results[2] = {-1, -1};
  testing::internal::CaptureStdout();
  std::thread([&] { results[0] = object.CheckThread(); }).join();
  std::thread([&] { results[1] = object.BindThread() + object.CheckThread(); }).join();
  EXPECT_EQ(object.CheckThread(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("not same thread:", 0), 0u);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 2) << "bound to the other thread";
}

// An entry is stamped "[YYYY-MM-DD hh:mm:ss]-------\r\n" + text + "\r\n\r\n", printed and
// added to the shared trace file (only what is added is read), only while tracing; with the
// stack, the frames that led to the call follow the text.
TEST(BaseObject, ErrorTraceWritesAStampedEntryOnlyWhenTracing) {
  std::error_code ignored;  // the program never makes the directory; a fresh system may lack it
  std::filesystem::create_directories(platform::TempDirectory(), ignored);
  uintmax_t before = std::filesystem::file_size(ErrorTracePath(), ignored);
  BaseObject object;
  testing::internal::CaptureStdout();
  object.ErrorTrace("first trace text");
  object.set_trace(0);
  object.ErrorTrace("silent trace text");
  std::string printed = testing::internal::GetCapturedStdout();
  std::ifstream trace(ErrorTracePath(), std::ios::binary);
  trace.seekg(static_cast<std::streamoff>(ignored ? 0 : before));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(trace), {}), printed);
  ASSERT_EQ(printed.size(), 20 + 30u);
  EXPECT_EQ(printed[0], '[');
  EXPECT_EQ(printed.substr(20), "]-------\r\nfirst trace text\r\n\r\n");
  object.set_trace(1);
  testing::internal::CaptureStdout();
  object.ErrorTraceWithStack("bad page 7");
  printed = testing::internal::GetCapturedStdout();
  size_t text = printed.find("]-------\r\nbad page 7\r\n");
  ASSERT_NE(text, std::string::npos) << printed;
  EXPECT_NE(printed.find(": ", text), std::string::npos) << "a frame line: " << printed;
  EXPECT_EQ(printed.find("-------", text + 10), std::string::npos) << "one entry";
  EXPECT_EQ(printed.substr(printed.size() - 4), "\r\n\r\n");
}

}  // namespace
