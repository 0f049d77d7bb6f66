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

}  // namespace
