// The running server seen by a plain client. What each procedure decides and logs is tested in
// filesvc/, and pellary-cli's tests call most of them through the real server; this is the
// wiring they leave: file names lower-cased in the file directory the profile names, log lines
// on the console (a client's connection and its close too), and clearing that directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/remote_calls.h"
#include "testing/text.h"
#include "tests/running_server.h"

namespace {

namespace fs = std::filesystem;
using e2e::RunningServer;

TEST(Procedures, FilesAreNamedInLowerCaseLoggedAndClearedInTheProfilesDirectory) {
  RunningServer server;
  SrpcClient client;
  ASSERT_TRUE(server.Connect(client));
  const std::string upper = server.remote("files/Data.BIN");
  EXPECT_EQ(e2e::CallLong(client, "plif_file_create", upper), 1);
  EXPECT_EQ(e2e::Write(client, upper, 3, "abc"), 3);
  EXPECT_EQ(ReadFileBytes(server.path("files/data.bin")), std::string("\0\0\0abc", 6));
  const std::string logged = "file_write:" + Lower(upper) + " pos:3  ret:3\r\n";
  std::string console = server.ConsoleWith(logged);
  EXPECT_NE(console.find(logged), std::string::npos) << console;
  EXPECT_NE(console.find("client:127.0.0.1,"), std::string::npos) << console;

  NetValueList none, results;
  ASSERT_EQ(client.Call("plif_file_clear", none, &results), 0);
  EXPECT_EQ(results.Count(), 0);
  EXPECT_FALSE(fs::exists(server.path("files/data.bin")));
  client.Close();
  const std::string closed = " closed\r\n";
  EXPECT_NE(server.ConsoleWith(closed).find(closed), std::string::npos) << server.Console();
}

}  // namespace
