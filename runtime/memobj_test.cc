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

TEST(Heap, ZeroSizeAndNullReallocate) {
  uint64_t before = Heap::AllocationCount();
  uint64_t bytes_before = Heap::AllocatedBytes();
  EXPECT_EQ(Heap::Allocate(0), nullptr);
  EXPECT_EQ(Heap::AllocationCount(), before);
  char* block = static_cast<char*>(Heap::Reallocate(nullptr, 16));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "0123456789abcdef", 16);
  block = static_cast<char*>(Heap::Reallocate(block, 1 << 20));
  EXPECT_EQ(std::memcmp(block, "0123456789abcdef", 16), 0);
  Heap::Release(block);
  Heap::Release(nullptr);
  EXPECT_EQ(Heap::AllocationCount(), before + 2);
  EXPECT_EQ(Heap::AllocatedBytes(), bytes_before + 16 + (1 << 20));
}

TEST(AppendToLog, AppendsCreatesOrTruncates) {
  TempDir dir;
  std::string path = dir / "x.log";
  AppendToLog(path.c_str(), "one\n", true);
  AppendToLog(path.c_str(), "two\n", true);
  EXPECT_EQ(ReadFileBytes(path), "one\ntwo\n");
  AppendToLog(path.c_str(), "three\n", false);
  EXPECT_EQ(ReadFileBytes(path), "three\n");
  AppendToLog("", "nothing", true);
  AppendToLog((dir / "missing/dir/x.log").c_str(), "nothing", true);  // skipped silently
}

TEST(BaseObject, CheckThreadFollowsTheBoundThread) {
  BaseObject object;
  EXPECT_EQ(object.CheckThread(), 1);
  int other_result = -1;
  testing::internal::CaptureStdout();
  std::thread other([&] { other_result = object.CheckThread(); });
  other.join();
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(other_result, 0);
  EXPECT_EQ(printed.rfind("not same thread:", 0), 0u) << printed;
  std::thread rebind([&] { other_result = object.BindThread() + object.CheckThread(); });
  rebind.join();
  EXPECT_EQ(other_result, 2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(object.CheckThread(), 0);
  testing::internal::GetCapturedStdout();
}

TEST(BaseObject, ErrorTraceWritesAStampedEntryOnlyWhenTracing) {
  // The program never makes the diagnostics directory (c:\temp\ on Windows, which a fresh
  // system may lack); the test does where it is missing.
  std::error_code ignored;
  std::filesystem::create_directories(platform::TempDirectory(), ignored);
  // The file is shared by every run on the machine and may be large: read only what is added.
  uintmax_t before = std::filesystem::file_size(ErrorTracePath(), ignored);
  if (ignored) before = 0;
  BaseObject object;
  testing::internal::CaptureStdout();
  object.ErrorTrace("first trace text");
  object.set_trace(0);
  object.ErrorTrace("silent trace text");
  std::string printed = testing::internal::GetCapturedStdout();
  std::ifstream trace(ErrorTracePath(), std::ios::binary);
  trace.seekg(static_cast<std::streamoff>(before));
  std::string added(std::istreambuf_iterator<char>(trace), {});
  EXPECT_EQ(added, printed);
  // "[YYYY-MM-DD hh:mm:ss]-------\r\n" + text + "\r\n\r\n"
  ASSERT_EQ(added.size(), 1 + 19 + 10 + 16 + 4);
  EXPECT_EQ(added[0], '[');
  EXPECT_EQ(added.substr(20), "]-------\r\nfirst trace text\r\n\r\n");

  // With the stack: the text on its own line, then the frames that led to the call.
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
