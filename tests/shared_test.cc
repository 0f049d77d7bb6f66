// Two servers over one directory, as behind a load balancer: with SharedFiles=1 a call through
// either one sees what the other and any other program did to a file; without it a server
// serves what it cached first (which is why the key exists).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/remote_calls.h"
#include "tests/running_server.h"

namespace {

using e2e::RunningServer;

TEST(SharedFiles, TwoServersAndAnotherProgramSeeEachOthersChangesAtTheNextCall) {
  for (bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "SharedFiles=1" : "SharedFiles=0");
    RunningServer a(shared ? "SharedFiles=1\n" : ""), b(shared ? "SharedFiles=1\n" : "");
    SrpcClient through[2];
    ASSERT_TRUE(a.Connect(through[0]) && b.Connect(through[1]));
    // Whether both servers answer what the file holds; each must when they share it.
    bool stale = false;
    auto expect = [&](const std::string& remote, const std::string& model, const char* step) {
      for (SrpcClient& client : through) {
        std::string seen = e2e::Read(client, remote, 0, 65536);
        int64_t length = e2e::Length(client, remote);
        bool same = seen == model && length == static_cast<int64_t>(model.size());
        EXPECT_TRUE(same || !shared) << step << ": " << seen.size() << " bytes, length " << length;
        stale = stale || !same;
      }
    };
    std::string remote = a.remote("files/f.bin"), local = a.path("files/f.bin");
    std::string moved = a.remote("files/g.bin");
    ASSERT_EQ(e2e::CallLong(through[0], "plif_file_create", remote), 1);
    // Interleaved writes to distinct ranges of one block, each read back through both.
    std::string model;
    for (int i = 0; i < 12; ++i) {
      std::string bytes(37, static_cast<char>('a' + i));
      int64_t offset = (i * 7 % 12) * 100;
      ASSERT_EQ(e2e::Write(through[i % 2], remote, offset, bytes), 37);
      e2e::ApplyWrite(model, offset, bytes);
      expect(remote, model, "interleaved");
    }
    EXPECT_EQ(ReadFileBytes(local), model) << "every write's own bytes on the disk";
    // Another program appends, then rewrites the start.
    std::ofstream(local, std::ios::binary | std::ios::app) << std::string(5000, 'P');
    model += std::string(5000, 'P');
    expect(remote, model, "appended");
    WriteFileBytes(local, "rewritten");
    expect(remote, "rewritten", "rewritten");
    // A rename and a remove through A, seen by B; the old name is gone for B too.
    ASSERT_EQ(e2e::CallLong(through[0], "plif_file_rename", remote, moved), 1);
    expect(moved, "rewritten", "renamed");
    expect(remote, "", "the old name");
    ASSERT_EQ(e2e::CallLong(through[0], "plif_file_remove", moved), 1);
    expect(moved, "", "removed");
    EXPECT_EQ(stale, !shared) << "a server alone serves what it cached first";
  }
}

}  // namespace
