// Acknowledged writes survive the server being killed at any moment. Clients write to their own
// files at random places and keep a model of every write that was answered; the server is
// killed (SIGKILL: no shutdown, no flush) at random moments and started again, and after each
// kill every acknowledged byte must be on disk. The write in flight when the server died may
// have landed in whole, in part or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/remote_calls.h"
#include "tests/running_server.h"

namespace {

using e2e::RunningServer;

constexpr int kWriters = 4;
constexpr int kKills = 20;
constexpr int64_t kFileSpan = 1 << 20;  // writes land below this offset
constexpr int kMaxWrite = 96 * 1024;
constexpr int kAnswerTimeoutSeconds = 5;

struct Writer {
  std::string remote;
  std::string local;
  std::string model;  // the file after the last acknowledged write
  int64_t pending_offset = -1;
  std::string pending;  // the write whose answer never came
};

void Apply(std::string& file, int64_t offset, const std::string& bytes) {
  if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), '\0');
  file.replace(offset, bytes.size(), bytes);
}

// Writes until the connection breaks; every answered write goes into the model.
void WriteUntilKilled(int port, Writer& writer, unsigned seed) {
  SrpcClient client;
  if (!client.Connect("127.0.0.1", port)) return;  // killed before this writer got going
  // Wine's server may keep a killed program's connection open, unread data and all: an answer
  // that is this late will not come.
  client.set_answer_timeout(kAnswerTimeoutSeconds);
  std::mt19937 random(seed);
  for (;;) {
    int64_t offset = random() % kFileSpan;
    std::string bytes(1 + random() % kMaxWrite, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    writer.pending_offset = offset;
    writer.pending = bytes;
    int32_t written = e2e::Write(client, writer.remote, offset, bytes);
    if (written == e2e::kCallFailed) return;
    ASSERT_EQ(written, static_cast<int32_t>(bytes.size())) << "a refused write";
    Apply(writer.model, offset, bytes);
    writer.pending_offset = -1;
  }
}

// Every acknowledged byte is on disk; the bytes of the write in flight are old or new. The
// disk's contents become the model for the next round.
void CheckOnDisk(Writer& writer) {
  std::string disk = ReadFileBytes(writer.local);
  std::string landed = writer.model;
  if (writer.pending_offset >= 0) Apply(landed, writer.pending_offset, writer.pending);
  size_t longest = std::max(writer.model.size(), landed.size());
  ASSERT_GE(disk.size(), writer.model.size()) << writer.local << ": acknowledged bytes lost";
  ASSERT_LE(disk.size(), longest) << writer.local;
  std::string old = writer.model;
  old.resize(longest, '\0');
  landed.resize(longest, '\0');
  for (size_t i = 0; i < disk.size(); ++i) {
    if (disk[i] != old[i] && disk[i] != landed[i]) {
      FAIL() << writer.local << ": byte " << i << " is neither the acknowledged one nor the "
             << "one in flight";
    }
  }
  writer.model = disk;
  writer.pending_offset = -1;
}

TEST(CrashConsistency, AcknowledgedWritesSurviveTwentyKills) {
  RunningServer server;
  std::vector<Writer> writers(kWriters);
  SrpcClient setup;
  ASSERT_TRUE(server.Connect(setup));
  for (int w = 0; w < kWriters; ++w) {
    std::string name = "files/w" + std::to_string(w) + ".bin";
    writers[w].remote = server.remote(name);
    writers[w].local = server.path(name);
    ASSERT_EQ(e2e::CallLong(setup, "plif_file_create", writers[w].remote), 1);
  }
  setup.Close();
  std::mt19937 random(2024);
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1));
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back(WriteUntilKilled, server.port(), std::ref(writers[w]), random());
    }
    platform::SleepMs(100 + random() % 500);
    server.Kill();
    for (std::thread& thread : threads) thread.join();
    for (Writer& writer : writers) CheckOnDisk(writer);
    server.Start();
    SrpcClient probe;
    ASSERT_TRUE(server.Connect(probe)) << server.Console();
  }
  size_t written = 0;
  for (const Writer& writer : writers) written += writer.model.size();
  EXPECT_GT(written, 0u);
}

}  // namespace
