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

struct TwoServers {
  explicit TwoServers(bool shared)
      : a(shared ? "SharedFiles=1\n" : ""), b(shared ? "SharedFiles=1\n" : "") {
    EXPECT_TRUE(a.Connect(through[0]) && b.Connect(through[1]));
  }
  RunningServer a, b;
  SrpcClient through[2];
};

// What both servers answer for the file, against what the disk holds.
struct Observer {
  TwoServers& servers;
  bool stale = false;

  void Expect(const std::string& remote, const std::string& model, const char* step) {
    for (SrpcClient& client : servers.through) {
      std::string seen = e2e::Read(client, remote, 0, 65536);
      int64_t length = e2e::Length(client, remote);
      stale = stale || seen != model || length != static_cast<int64_t>(model.size());
      if (shared) {
        EXPECT_EQ(seen, model) << step;
        EXPECT_EQ(length, static_cast<int64_t>(model.size())) << step;
      }
    }
  }
  bool shared;
};

void ModelWrite(std::string* file, int64_t offset, const std::string& bytes) {
  if (file->size() < offset + bytes.size()) file->resize(offset + bytes.size(), '\0');
  file->replace(static_cast<size_t>(offset), bytes.size(), bytes);
}

TEST(SharedFiles, TwoServersAndAnotherProgramSeeEachOthersChangesAtTheNextCall) {
  for (bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "SharedFiles=1" : "SharedFiles=0");
    TwoServers servers(shared);
    Observer observer{servers, false, shared};
    std::string remote = servers.a.remote("files/f.bin"), local = servers.a.path("files/f.bin");
    std::string moved = servers.a.remote("files/g.bin");
    ASSERT_EQ(e2e::CallLong(servers.through[0], "plif_file_create", remote), 1);
    // Interleaved writes to distinct ranges of one block, each read back through both.
    std::string model;
    for (int i = 0; i < 12; ++i) {
      std::string bytes(37, static_cast<char>('a' + i));
      int64_t offset = (i * 7 % 12) * 100;
      ASSERT_EQ(e2e::Write(servers.through[i % 2], remote, offset, bytes), 37);
      ModelWrite(&model, offset, bytes);
      observer.Expect(remote, model, "interleaved");
    }
    EXPECT_EQ(ReadFileBytes(local), model) << "every write's own bytes on the disk";
    // Another program appends, then rewrites the start.
    std::ofstream(local, std::ios::binary | std::ios::app) << std::string(5000, 'P');
    model += std::string(5000, 'P');
    observer.Expect(remote, model, "appended");
    WriteFileBytes(local, "rewritten");
    observer.Expect(remote, "rewritten", "rewritten");
    // A rename and a remove through A, seen by B.
    ASSERT_EQ(e2e::CallLong(servers.through[0], "plif_file_rename", remote, moved), 1);
    observer.Expect(moved, "rewritten", "renamed");
    int64_t old_length = e2e::Length(servers.through[1], remote);
    observer.stale = observer.stale || old_length != 0;
    if (shared) {
      EXPECT_EQ(old_length, 0) << "the old name is gone for B too";
    }
    ASSERT_EQ(e2e::CallLong(servers.through[0], "plif_file_remove", moved), 1);
    observer.Expect(moved, "", "removed");
    EXPECT_EQ(observer.stale, !shared) << "a server alone serves what it cached first";
  }
}

}  // namespace
