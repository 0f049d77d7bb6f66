// Start-up failures: the process ends without serving and says why.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/running_server.h"

namespace {

namespace fs = std::filesystem;
using e2e::RunningServer;

TEST(Startup, AMissingProfileEndsTheProcessWithTheFatalError) {
  RunningServer server("", false);
  fs::remove(server.path("pellary.pf"));
  server.Start();
  ASSERT_TRUE(server.Ended(15000));
  EXPECT_NE(server.exit_code(), 0);
  std::string console = server.Console();
  EXPECT_NE(console.find(e2e::ServerText("找不到配置文件 pellary.pf\r\n")), std::string::npos)
      << console;
  EXPECT_EQ(ReadFileBytes(server.path("corvexaerror.log")), "internal error:Public/MainPub 77\n");
}

TEST(Startup, AMissingFileDirectoryEndsTheProcessWithoutServing) {
  RunningServer server("", false);
  fs::remove(server.path("files"));
  server.Start();
  ASSERT_TRUE(server.Ended(15000));
  std::string console = server.Console();
  EXPECT_NE(console.find(e2e::ServerText("保存session文件的目录不存在 ")), std::string::npos)
      << console;
  EXPECT_EQ(ReadFileBytes(server.path("corvexaerror.log")), "internal error:PellaryMng 29\n");
  SrpcClient client;
  EXPECT_FALSE(client.Connect("127.0.0.1", server.port()));
}

// The size is shifted in 32 bits, as it always was: 3000 MiB comes out negative, which gives
// the cache its minimum size instead of stopping the start.
TEST(Startup, ACacheSizeOutOfRangeRunsWithTheMinimumAndSaysSo) {
  RunningServer server("CacheSize=3000\n");
  ASSERT_TRUE(server.Listening(15000)) << server.Console();
  const std::string logged = "cache size not understood :3000 \r\n";
  EXPECT_NE(server.ConsoleWith(logged).find(logged), std::string::npos) << server.Console();
}

}  // namespace
