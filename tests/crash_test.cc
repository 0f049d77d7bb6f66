// Acknowledged writes survive the server being killed at any moment. Clients write to their own
// files at random places and keep a model of every write that was answered; the server is
// killed (SIGKILL: no shutdown, no flush) at random moments and started again, and after each
// kill every acknowledged byte must be on disk. The write in flight when the server died may
// have landed in whole, in part or not at all. The same holds for writers whose writes go
// through two servers over one directory (SharedFiles=1), both killed at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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

// Writes until a connection breaks, each write through one of the servers chosen at random;
// every answered write goes into the model.
void WriteUntilKilled(const std::vector<int>& ports, Writer& writer, unsigned seed) {
  std::vector<std::unique_ptr<SrpcClient>> clients;
  for (int port : ports) {
    clients.push_back(std::make_unique<SrpcClient>());
    // Killed before this writer got going?
    if (!clients.back()->Connect("127.0.0.1", port)) return;
    // Wine's server may keep a killed program's connection open, unread data and all: an
    // answer that is this late will not come.
    clients.back()->set_answer_timeout(kAnswerTimeoutSeconds);
  }
  std::mt19937 random(seed);
  for (;;) {
    SrpcClient& client = *clients[random() % clients.size()];
    int64_t offset = random() % kFileSpan;
    std::string bytes(1 + random() % kMaxWrite, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    writer.pending_offset = offset;
    writer.pending = bytes;
    int32_t written = e2e::Write(client, writer.remote, offset, bytes);
    if (written == e2e::kCallFailed) return;
    ASSERT_EQ(written, static_cast<int32_t>(bytes.size())) << "a refused write";
    e2e::ApplyWrite(writer.model, offset, bytes);
    writer.pending_offset = -1;
  }
}

// Every acknowledged byte is on disk; the bytes of the write in flight are old or new. The
// disk's contents become the model for the next round.
void CheckOnDisk(Writer& writer) {
  std::string disk = ReadFileBytes(writer.local);
  std::string landed = writer.model;
  if (writer.pending_offset >= 0) e2e::ApplyWrite(landed, writer.pending_offset, writer.pending);
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

// Rounds of writers, each spread over all the servers, that are killed together.
void SurviveKills(const std::vector<RunningServer*>& servers, int kills) {
  std::vector<Writer> writers(kWriters);
  SrpcClient setup;
  ASSERT_TRUE(servers[0]->Connect(setup));
  std::vector<int> ports;
  for (RunningServer* server : servers) ports.push_back(server->port());
  for (int w = 0; w < kWriters; ++w) {
    std::string name = "files/w" + std::to_string(w) + ".bin";
    writers[w].remote = servers[0]->remote(name);
    writers[w].local = servers[0]->path(name);
    ASSERT_EQ(e2e::CallLong(setup, "plif_file_create", writers[w].remote), 1);
  }
  setup.Close();
  std::mt19937 random(2024);
  for (int kill = 0; kill < kills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill + 1));
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back(WriteUntilKilled, std::cref(ports), std::ref(writers[w]), random());
    }
    platform::SleepMs(100 + random() % 500);
    for (RunningServer* server : servers) server->Kill();
    for (std::thread& thread : threads) thread.join();
    for (Writer& writer : writers) CheckOnDisk(writer);
    for (RunningServer* server : servers) {
      server->Start();
      SrpcClient probe;
      ASSERT_TRUE(server->Connect(probe)) << server->Console();
    }
  }
  size_t written = 0;
  for (const Writer& writer : writers) written += writer.model.size();
  EXPECT_GT(written, 0u);
}

TEST(CrashConsistency, AcknowledgedWritesSurviveTwentyKills) {
  RunningServer server;
  SurviveKills({&server}, kKills);
}

TEST(CrashConsistency, WritesThroughTwoSharedServersSurviveTheirKills) {
  RunningServer a("SharedFiles=1\n"), b("SharedFiles=1\n");
  SurviveKills({&a, &b}, kKills / 2);
}

}  // namespace
