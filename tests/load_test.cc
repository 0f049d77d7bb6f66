// Many clients at once on the running server: each writes and reads back its own files, and
// clients that die in the middle of a call disturb nobody.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/remote_calls.h"
#include "tests/running_server.h"

namespace {

using e2e::CallLong;
using e2e::Read;
using e2e::RunningServer;
using e2e::Write;

constexpr int kClients = 16;
constexpr int kFileBytes = 1 << 20;  // 16 MiB in all: twice the cache
constexpr int kPiece = 60000;        // not a block multiple, so pieces straddle cache blocks

std::string Content(int client) {
  std::mt19937 random(static_cast<uint32_t>(client) * 7919u + 1);
  std::string bytes(kFileBytes, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Writes the whole file in pieces, then reads it back; true when every byte came back.
bool WriteAndReadBack(RunningServer& server, const std::string& path, const std::string& bytes) {
  SrpcClient client;
  if (!server.Connect(client)) return false;
  if (CallLong(client, "plif_file_create", path) != 1) return false;
  for (int at = 0; at < kFileBytes; at += kPiece) {
    std::string piece = bytes.substr(at, kPiece);
    if (Write(client, path, at, piece) != static_cast<int32_t>(piece.size())) return false;
  }
  std::string back;
  while (back.size() < bytes.size()) {
    std::string got = Read(client, path, static_cast<int64_t>(back.size()), 65536);
    if (got.empty() || got == "(call failed)") break;
    back += got;
  }
  return back == bytes;
}

// Clients that vanish in the middle of a call: half of a large write request sent, or a
// 64 KiB read answer nobody takes.
void VanishMidCall(RunningServer& server, int count) {
  std::string port = std::to_string(server.port());
  std::string junk(200000, 'd');
  NetValueList write, read;
  e2e::Args(write, server.remote("files/dying.bin"), int64_t{0}, e2e::Bytes{junk});
  e2e::Args(read, server.remote("files/client0.bin"), int64_t{0}, int32_t{65536});
  std::string half_write = e2e::Request("plif_file_write", write);
  half_write.resize(half_write.size() / 2);
  std::string unread_read = e2e::Request("plif_file_read", read);
  for (int i = 0; i < count; ++i) {
    StdSocket gone;
    EXPECT_TRUE(gone.Connect("127.0.0.1", port.c_str()));
    const std::string& request = i % 2 == 0 ? half_write : unread_read;
    EXPECT_TRUE(gone.SendAll(request.data(), static_cast<int>(request.size())));
  }
}

TEST(Load, SixteenClientsWriteAndReadBackTheirOwnFilesWhileOthersVanishMidCall) {
  RunningServer server("CacheSize=8\n");  // smaller than the data: eviction runs throughout
  SrpcClient ready;
  ASSERT_TRUE(server.Connect(ready));
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::string path = server.remote("files/client" + std::to_string(c) + ".bin");
      if (WriteAndReadBack(server, path, Content(c))) ++good;
    });
  }
  VanishMidCall(server, 50);
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(good.load(), kClients);
  for (int c = 0; c < kClients; ++c) {
    std::string path = server.path("files/client" + std::to_string(c) + ".bin");
    EXPECT_EQ(ReadFileBytes(path) == Content(c), true) << path;  // on disk, not only cached
  }
  EXPECT_FALSE(std::filesystem::exists(server.path("files/dying.bin")));
  SrpcClient later;
  ASSERT_TRUE(server.Connect(later));
  EXPECT_EQ(CallLong(later, "plif_file_exists", server.remote("files/client0.bin")), 1);
}

}  // namespace
