#include "runtime/monitor/diagnostics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/plusfile.h"
#include "platform/process.h"
#include "runtime/mt.h"
#include "testing/temp_dir.h"

namespace {

// The program never makes the temporary directory (c:\temp\ on Windows, which a fresh system
// may lack): the test does. The stamp in the names has no ':', which Windows names cannot hold.
TEST(Diagnostics, DumpsThreadsAndLocksIntoStampedFilesOfTheTemporaryDirectory) {
  std::error_code ignored;
  std::filesystem::create_directories(platform::TempDirectory(), ignored);
  CCriticalSection traced(1);
  DiagnosticsThread diagnostics;
  ASSERT_EQ(diagnostics.StartFor(nullptr), 1);
  std::string threads = diagnostics.threads_file().GetString();
  EXPECT_NE(threads.find(" pellary_allthread.log"), std::string::npos) << threads;
  EXPECT_EQ(threads.find(':', threads.find_last_of("/\\")), std::string::npos) << threads;
  diagnostics.WriteDumps();
  diagnostics.WriteDumps();  // the thread dump is rewritten, not appended to
  EXPECT_EQ(ReadFileBytes(threads).rfind("total thread:"), 0u);
  std::string lock_dump = ReadFileBytes(diagnostics.locks_file().GetString());
  EXPECT_TRUE(lock_dump.rfind("total:", 0) == 0 && lock_dump.ends_with("END\r\n")) << lock_dump;
  diagnostics.Stop();
  EXPECT_EQ(diagnostics.Wait(5000), 1);
  PlusFile::DeleteFile(diagnostics.threads_file());
  PlusFile::DeleteFile(diagnostics.locks_file());
}

}  // namespace
