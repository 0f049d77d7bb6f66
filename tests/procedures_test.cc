// The running server seen by a client and a monitor client: every procedure answers over the
// wire with its type and logs its line to the monitor stream, and _shutdown ends the process
// cleanly. What each procedure decides is tested in filesvc/; this is the wiring.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/remote_calls.h"
#include "testing/text.h"
#include "tests/running_server.h"

namespace {

namespace fs = std::filesystem;
using e2e::Args;
using e2e::CallLong;
using e2e::Read;
using e2e::RunningServer;

// The log stream of the server's monitor port.
class MonitorStream {
 public:
  // The monitor may start listening a moment after the SRPC port (slower under Wine).
  explicit MonitorStream(int port) {
    std::string text = std::to_string(port);
    bool connected = false;
    for (int n = 0; n < 100 && !connected; ++n) {
      connected = socket_.Connect("127.0.0.1", text.c_str());
      if (!connected) platform::SleepMs(100);
    }
    EXPECT_TRUE(connected);
  }
  // Waits up to `ms` for `piece` in the stream; true when it came.
  bool Saw(const std::string& piece, uint32_t ms = 5000) {
    char buffer[4096];
    for (uint32_t start = platform::GetTickCount(); platform::GetTickCount() - start < ms;) {
      if (got_.find(piece) != std::string::npos) return true;
      if (socket_.WaitReadable(0, 50000) == 0) continue;
      int n = socket_.RecvSome(buffer, sizeof buffer);
      if (n <= 0) break;
      got_.append(buffer, n);
    }
    return got_.find(piece) != std::string::npos;
  }
  const std::string& text() const { return got_; }

 private:
  StdSocket socket_;
  std::string got_;
};

class Procedures : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Connect(client_));
    monitor_ = std::make_unique<MonitorStream>(server_.monitor_port());
    ASSERT_TRUE(monitor_->Saw(e2e::ServerText("开始运行时间：")));
    // The session sends the banner before it registers for log lines: log until a line shows.
    bool synced = false;
    for (int n = 0; n < 20 && !synced; ++n) {
      std::string probe = "/sync-" + std::to_string(n);
      CallLong(client_, "plif_dir_exists", probe.c_str());
      synced = monitor_->Saw("dir_exists:" + probe + " 0\r\n", 300);
    }
    ASSERT_TRUE(synced);
  }
  // A path in the server's file directory, as the client names it.
  std::string File(const std::string& name) { return server_.remote("files/" + name); }
  // The same path as this process opens it.
  std::string Local(const std::string& name) { return server_.path("files/" + name); }
  // Calls `procedure` and expects the NET_LONG `result` and the log line `logged`.
  void Expect(int32_t result, const std::string& logged, const char* procedure,
              const std::string& path, const std::string& second = "") {
    SCOPED_TRACE(procedure);
    if (second.empty()) {
      EXPECT_EQ(CallLong(client_, procedure, path), result);
    } else {
      EXPECT_EQ(CallLong(client_, procedure, path, second), result);
    }
    EXPECT_TRUE(monitor_->Saw(logged)) << monitor_->text();
  }

  RunningServer server_;
  SrpcClient client_;
  std::unique_ptr<MonitorStream> monitor_;
};

TEST_F(Procedures, EachAnswersWithItsTypeAndLogsItsLine) {
  NetValueList none, results;
  ASSERT_EQ(client_.Call("plif_get_version", none, &results), 0);
  ASSERT_EQ(results.Type(0), NET_STRING);
  EXPECT_STREQ(results.GetString(0), "1.0");
  SrpcClient other;
  ASSERT_TRUE(server_.Connect(other));
  // Answered, so its session has started: Windows (and Wine) never hand the server a
  // connection that is reset before it is accepted, and a close here resets.
  ASSERT_EQ(other.Call("plif_get_version", none, &results), 0);
  EXPECT_TRUE(monitor_->Saw("client:127.0.0.1,"));
  other.Close();
  EXPECT_TRUE(monitor_->Saw(" closed\r\n"));

  std::string upper = File("Data.BIN"), lower = Lower(upper);
  std::string big = Lower(File("big.bin")), c = Lower(File("c.bin"));
  Expect(1, "file_create:" + lower + " 1\r\n", "plif_file_create", upper);
  EXPECT_TRUE(fs::exists(Local("data.bin"))) << "the name lower-cased, the directory kept";
  EXPECT_EQ(CallLong(client_, "plif_file_write", upper, int64_t{3}, e2e::Bytes{"abc"}), 3);
  EXPECT_TRUE(monitor_->Saw("file_write:" + lower + " pos:3  ret:3\r\n"));
  EXPECT_EQ(ReadFileBytes(Local("data.bin")), std::string("\0\0\0abc", 6)) << "on the disk";
  WriteFileBytes(Local("big.bin"), std::string(100000, 'z'));
  EXPECT_EQ(Read(client_, File("big.bin"), 0, 100000).size(), 65536u);
  EXPECT_TRUE(monitor_->Saw("file_read:" + big + " pos:0 size:100000\r\n"));
  EXPECT_EQ(e2e::Length(client_, upper), 6);
  EXPECT_TRUE(monitor_->Saw("file_getlength:" + lower + " size:6\r\n"));
  Expect(1, "file_open:" + lower + "  ret:1\r\n", "plif_file_open", upper);
  Expect(0, "file_rename:" + lower + " -> " + big + "  0\r\n", "plif_file_rename", upper, big);
  Expect(1, "file_rename:" + lower + " -> " + c + "  1\r\n", "plif_file_rename", upper, c);
  Expect(1, "file_exists:" + Lower(File("?.bin")) + " 1\r\n", "plif_file_exists", File("?.bin"));
  Expect(1, "file_remove:" + c + " ret:1\r\n", "plif_file_remove", c);
  EXPECT_FALSE(fs::exists(Local("c.bin")));

  std::string dir = File("Sub");
  Expect(1, "mkdir:" + dir + " 1\r\n", "plif_mkdir", dir);
  EXPECT_TRUE(fs::is_directory(Local("Sub"))) << "directories keep their case";
  Expect(1, "dir_exists:" + dir + " 1\r\n", "plif_dir_exists", dir);
  Expect(1, "rmdir:" + dir + " 1\r\n", "plif_rmdir", dir);

  int32_t megabytes = CallLong(client_, "plif_get_freespace", server_.remote(""));
  EXPECT_GT(megabytes, 0);
  EXPECT_TRUE(monitor_->Saw("get_freespace: " + std::to_string(megabytes) + "M\r\n"));
  ASSERT_EQ(client_.Call("plif_file_clear", none, &results), 0);
  EXPECT_EQ(results.Count(), 0);
  EXPECT_TRUE(monitor_->Saw("file_clear\r\n"));
  EXPECT_FALSE(fs::exists(Local("big.bin")));

  NetValueList list;
  EXPECT_EQ(client_.Call("plif_file_read", Args(list, "x"), &results), -2);
  EXPECT_EQ(client_.error_text(), CString("ARG FORMAT ERROR"));
}

// Neither a silent client nor one that stopped inside a packet keeps the process from ending.
TEST_F(Procedures, ShutdownEndsTheProcessCleanly) {
  std::string port = std::to_string(server_.port());
  StdSocket silent, half;
  for (StdSocket* socket : {&silent, &half}) {
    ASSERT_TRUE(socket->Connect("127.0.0.1", port.c_str()));
    CString address;
    int local_port = 0;
    ASSERT_TRUE(socket->GetLocalAddr(&address, &local_port));
    ASSERT_TRUE(monitor_->Saw("client:127.0.0.1," + std::to_string(local_port) + " connected"));
  }
  ASSERT_TRUE(half.SendAll("R\0\0\0\x40", 5));
  platform::SleepMs(200);  // the session reads what came and waits for the rest
  NetValueList none, results;
  ASSERT_EQ(client_.Call("_shutdown", none, &results), 0);
  EXPECT_EQ(results.Count(), 0);
  ASSERT_TRUE(server_.Ended(30000)) << "sessions kept the server from ending";
  EXPECT_EQ(server_.exit_code(), 0);
  std::string console = server_.Console();
  EXPECT_NE(console.find("g_srpc_srv->WaitForSafeShutdown....\r\n"), std::string::npos);
  EXPECT_NE(console.find("SafeClose....\r\n"), std::string::npos) << console;
  EXPECT_TRUE(fs::is_empty(server_.path("temp"))) << "index files left behind";
}

}  // namespace
