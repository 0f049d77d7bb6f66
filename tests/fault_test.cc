// Faults from outside the server: a full disk, no file descriptors left, clients that hold
// their places in silence. The server answers the
// procedures' failure results, keeps serving other clients, and recovers when the fault goes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "testing/remote_calls.h"
#include "tests/running_server.h"
#include "tests/small_volume.h"

namespace {

namespace fs = std::filesystem;
using e2e::CallLong;
using e2e::Length;
using e2e::Read;
using e2e::RunningServer;
using e2e::Write;

TEST(Faults, AFullDiskFailsWritesUntilSpaceIsFreedAndOtherClientsAreServed) {
  RunningServer server("", false);
  fs::create_directory(server.path("files/small"));
  SmallVolume volume(server.path("files/small"), "256k");
  if (!volume.mounted()) GTEST_SKIP() << "cannot mount a small file system here (not root?)";
  server.Start();
  SrpcClient client, other;
  ASSERT_TRUE(server.Connect(client));
  ASSERT_TRUE(server.Connect(other));
  std::string filler = server.remote("files/small/filler.bin");
  std::string data = server.remote("files/small/data.bin");
  ASSERT_EQ(CallLong(client, "plif_file_create", filler), 1);
  ASSERT_EQ(CallLong(client, "plif_file_create", data), 1);
  std::string head(100, 'h');
  ASSERT_EQ(Write(client, data, 0, head), 100);
  std::string block(64 * 1024, 'f');
  int64_t filled = 0;
  while (filled < 1024 * 1024 && Write(client, filler, filled, block) == 64 * 1024)
    filled += block.size();
  EXPECT_LT(filled, 1024 * 1024) << "the volume never filled";
  // Full: a write is refused, not acknowledged. Part of it may have reached the disk (the
  // page the file had already); the server then reports what the disk holds, not the
  // refused bytes.
  EXPECT_EQ(Write(client, data, 100, block), 0);
  std::string on_disk = ReadFileBytes(server.path("files/small/data.bin"));
  EXPECT_EQ(on_disk.substr(0, 100), head);
  EXPECT_EQ(Length(other, data), static_cast<int64_t>(on_disk.size()));
  EXPECT_TRUE(Read(other, data, 0, 64 * 1024) == on_disk) << "bytes the disk does not hold";
  EXPECT_EQ(CallLong(other, "plif_file_exists", filler), 1);
  EXPECT_EQ(Read(other, filler, 0, 4), "ffff");
  // Space comes back: writes are acknowledged and on disk, and a write into a block the
  // refused write had filled does not carry the refused bytes to the disk with it.
  ASSERT_EQ(CallLong(client, "plif_file_remove", filler), 1);
  EXPECT_EQ(Write(client, data, 8192, "tail"), 4);
  on_disk.resize(8192, '\0');
  EXPECT_TRUE(ReadFileBytes(server.path("files/small/data.bin")) == on_disk + "tail")
      << "refused bytes reached the disk";
  EXPECT_EQ(Write(client, data, 0, block), 64 * 1024);
  EXPECT_TRUE(ReadFileBytes(server.path("files/small/data.bin")) == block);
}

enum class Fate { kServed, kTurnedAway, kLeftWaiting };

// What happens to a new client: served, turned away (its connection reset or closed at once),
// or left waiting in the backlog.
Fate NewClient(SrpcClient& client, int port) {
  client.set_answer_timeout(30);  // a hang guard
  if (!client.Connect("127.0.0.1", port)) return Fate::kTurnedAway;
  NetValueList none, results;
  if (client.Call("corvexa_srpc_getcmds", none, &results) == 0) return Fate::kServed;
  std::string reason = client.error_text().GetString();
  return reason.find("no answer in time") == std::string::npos ? Fate::kTurnedAway
                                                               : Fate::kLeftWaiting;
}

TEST(Faults, NoFileDescriptorsLeftFailsCallsAndTurnsNewClientsAwayUntilTheLimitRises) {
  if (e2e::WindowsServer()) {
    GTEST_SKIP() << "Wine itself needs descriptors for every call: the limit stops Wine, not "
                    "the server";
  }
  RunningServer server;
  SrpcClient client;
  ASSERT_TRUE(server.Connect(client));
  std::string path = server.remote("files/a.bin");
  ASSERT_EQ(CallLong(client, "plif_file_create", path), 1);
  std::string pid = std::to_string(static_cast<long long>(server.child()));
  auto set_limit = [&pid](const std::string& soft) {
    return std::system(("prlimit --pid " + pid + " --nofile=" + soft + ":").c_str());
  };
  // A few descriptors more than the server holds; then clients take the rest, as a crowd of
  // connections would, until one is turned away.
  auto listed = fs::directory_iterator("/proc/" + pid + "/fd");
  long held = std::distance(fs::begin(listed), fs::end(listed));
  ASSERT_EQ(set_limit(std::to_string(held + 8)), 0);
  std::vector<std::unique_ptr<SrpcClient>> crowd;
  Fate fate = Fate::kServed;
  while (crowd.size() < 32 && fate == Fate::kServed) {
    crowd.push_back(std::make_unique<SrpcClient>());
    fate = NewClient(*crowd.back(), server.port());
  }
  ASSERT_EQ(fate, Fate::kTurnedAway) << "left waiting, or descriptors never ran out";
  EXPECT_EQ(CallLong(client, "plif_file_create", server.remote("files/b.bin")), 0);
  SrpcClient another;
  EXPECT_EQ(NewClient(another, server.port()), Fate::kTurnedAway);
  EXPECT_EQ(CallLong(client, "plif_file_exists", path), 1);  // the open connection still works
  ASSERT_EQ(set_limit("1024"), 0);
  EXPECT_EQ(CallLong(client, "plif_file_create", server.remote("files/b.bin")), 1);
  SrpcClient later;
  ASSERT_TRUE(server.Connect(later));
  EXPECT_EQ(CallLong(later, "plif_file_exists", path), 1) << later.error_text() << server.Console();
  const std::string logged =
      "accept failed:10024 no descriptors left, pending clients are closed until some are free\r\n";
  std::string console = server.ConsoleWith(logged);
  size_t at = console.find(logged);
  EXPECT_NE(at, std::string::npos) << console;
  EXPECT_EQ(console.find(logged, at + 1), std::string::npos) << "logged more than once";
}

// Clients that connect and never call would hold every place for ever; with an idle time-out
// they are closed and the places go to the clients waiting for them.
TEST(Faults, SilentClientsGiveTheirPlacesUpAfterTheIdleTimeOut) {
  RunningServer server("srpc.maxclnt=1\nsrpc.idletimeout=1\n");
  SrpcClient silent, waiting;
  ASSERT_TRUE(server.Connect(silent));
  waiting.set_answer_timeout(60);  // a hang guard: the place would never come free
  ASSERT_TRUE(waiting.Connect("127.0.0.1", server.port()));
  NetValueList none, results;
  EXPECT_EQ(waiting.Call("corvexa_srpc_getcmds", none, &results), 0) << waiting.error_text();
  EXPECT_NE(server.ConsoleWith("idle timeout :1 \r\n").find("idle timeout :1 \r\n"),
            std::string::npos);
}

}  // namespace
