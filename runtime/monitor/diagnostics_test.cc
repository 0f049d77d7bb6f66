#include "runtime/monitor/diagnostics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "foundation/plusfile.h"
#include "platform/process.h"
#include "runtime/mt.h"
#include "testing/temp_dir.h"

namespace {

TEST(Diagnostics, DumpsThreadsAndLocksIntoStampedFilesOfTheTemporaryDirectory) {
  // The program never makes the temporary directory (c:\temp\ on Windows, which a fresh
  // system may lack); the test does where it is missing, whatever ran before it.
  std::error_code ignored;
  std::filesystem::create_directories(platform::TempDirectory(), ignored);
  CCriticalSection traced(1);
  DiagnosticsThread diagnostics;
  ASSERT_EQ(diagnostics.StartFor(nullptr), 1);
  std::string threads = diagnostics.threads_file().GetString();
  EXPECT_NE(threads.find(" pellary_allthread.log"), std::string::npos) << threads;
  // The stamp in the name has no ':', which Windows file names cannot hold.
  EXPECT_EQ(threads.find(':', threads.find_last_of("/\\")), std::string::npos) << threads;
  diagnostics.WriteDumps();
  diagnostics.WriteDumps();  // the thread dump is rewritten, not appended to
  std::string thread_dump = ReadFileBytes(threads);
  EXPECT_EQ(thread_dump.rfind("total thread:", 0), 0u) << thread_dump;
  EXPECT_EQ(thread_dump.find("total thread:", 1), std::string::npos);
  std::string lock_dump = ReadFileBytes(diagnostics.locks_file().GetString());
  EXPECT_EQ(lock_dump.rfind("total:", 0), 0u) << lock_dump;
  EXPECT_EQ(lock_dump.substr(lock_dump.size() - 5), "END\r\n");
  diagnostics.Stop();
  EXPECT_EQ(diagnostics.Wait(5000), 1);
  PlusFile::DeleteFile(diagnostics.threads_file());
  PlusFile::DeleteFile(diagnostics.locks_file());
}

}  // namespace
