// Every procedure of the running server: its results with their types, its log line as a
// monitor client sees it, and where paths are lower-cased.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/remote_calls.h"
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

// What the server logs for a path it lower-cases.
std::string Lower(std::string path) {
  for (char& ch : path) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return path;
}

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

  RunningServer server_;
  SrpcClient client_;
  std::unique_ptr<MonitorStream> monitor_;
};

TEST_F(Procedures, VersionAndConnectionsAreLogged) {
  NetValueList none, results;
  ASSERT_EQ(client_.Call("plif_get_version", none, &results), 0);
  ASSERT_EQ(results.Type(0), NET_STRING);
  EXPECT_STREQ(results.GetString(0), "1.0");
  SrpcClient other;
  ASSERT_TRUE(server_.Connect(other));
  EXPECT_TRUE(monitor_->Saw("client:127.0.0.1,"));
  other.Close();
  EXPECT_TRUE(monitor_->Saw(" closed\r\n"));
  EXPECT_EQ(monitor_->text().find("get_version"), std::string::npos);
}

TEST_F(Procedures, FilesAreCreatedWrittenReadAndMeasuredUnderLowerCasedPaths) {
  std::string upper = File("Data.BIN");
  std::string lower = Lower(upper);
  EXPECT_EQ(CallLong(client_, "plif_file_create", upper.c_str()), 1);
  EXPECT_TRUE(monitor_->Saw("file_create:" + lower + " 1\r\n"));
  std::string on_disk = Local("data.bin");  // the directory keeps its case
  EXPECT_TRUE(fs::exists(on_disk));
  EXPECT_FALSE(fs::exists(Local("Data.BIN")));
  EXPECT_EQ(CallLong(client_, "plif_file_write", upper.c_str(), int64_t{3}, e2e::Bytes{"abc"}), 3);
  EXPECT_TRUE(monitor_->Saw("file_write:" + lower + " pos:3  ret:3\r\n"));
  // Durable when answered: the OS file has the bytes, the gap zero-filled.
  EXPECT_EQ(ReadFileBytes(on_disk), std::string("\0\0\0abc", 6));
  EXPECT_EQ(Read(client_, upper, 0, 100), std::string("\0\0\0abc", 6));
  EXPECT_TRUE(monitor_->Saw("file_read:" + lower + " pos:0 size:100\r\n"));
  EXPECT_EQ(Read(client_, upper, 6, 10), "");  // at the end: empty
  NetValueList list, results;
  ASSERT_EQ(client_.Call("plif_file_getlength", Args(list, upper.c_str()), &results), 0);
  ASSERT_EQ(results.Type(0), NET_SUPERLONG);
  EXPECT_EQ(results.GetSuperLong(0), 6);
  EXPECT_TRUE(monitor_->Saw("file_getlength:" + lower + " size:6\r\n"));
  EXPECT_EQ(CallLong(client_, "plif_file_open", upper.c_str()), 1);
  EXPECT_TRUE(monitor_->Saw("file_open:" + lower + "  ret:1\r\n"));
  // Create on an existing file keeps it.
  EXPECT_EQ(CallLong(client_, "plif_file_create", File("data.bin").c_str()), 1);
  EXPECT_EQ(ReadFileBytes(on_disk), std::string("\0\0\0abc", 6));
  // Writing to a missing file does nothing.
  EXPECT_EQ(
      CallLong(client_, "plif_file_write", File("none.bin").c_str(), int64_t{0}, e2e::Bytes{"x"}),
      0);
  EXPECT_FALSE(fs::exists(Local("none.bin")));
}

TEST_F(Procedures, ReadsAreCappedAt64KiB) {
  std::string path = File("big.bin");
  std::ofstream(Local("big.bin"), std::ios::binary) << std::string(100000, 'z');
  EXPECT_EQ(Read(client_, path, 0, 100000).size(), 65536u);
  EXPECT_EQ(Read(client_, path, 65536, 100000).size(), 100000u - 65536u);
  EXPECT_EQ(Read(client_, path, 200000, 10), "");
}

TEST_F(Procedures, RenameRemoveAndExists) {
  std::string a = File("a.blob"), b = File("b.blob");
  std::ofstream(Local("a.blob")) << "A";
  std::ofstream(Local("b.blob")) << "B";
  EXPECT_EQ(CallLong(client_, "plif_file_open", b.c_str()), 1);  // b is known now
  EXPECT_EQ(CallLong(client_, "plif_file_rename", a.c_str(), b.c_str()), 0);
  EXPECT_TRUE(monitor_->Saw("file_rename:" + Lower(a) + " -> " + Lower(b) + "  0\r\n"));
  std::string c = File("c.blob");
  EXPECT_EQ(CallLong(client_, "plif_file_rename", a.c_str(), c.c_str()), 1);
  EXPECT_EQ(ReadFileBytes(Local("c.blob")), "A");
  EXPECT_EQ(CallLong(client_, "plif_file_exists", File("*.blob").c_str()), 1);
  EXPECT_EQ(CallLong(client_, "plif_file_exists", File("?.blob").c_str()), 1);
  EXPECT_EQ(CallLong(client_, "plif_file_exists", File("*.att").c_str()), 0);
  EXPECT_TRUE(monitor_->Saw("file_exists:" + Lower(File("*.att")) + " 0\r\n"));
  EXPECT_EQ(CallLong(client_, "plif_file_exists", server_.remote("files").c_str()), 1);
  EXPECT_EQ(CallLong(client_, "plif_file_remove", c.c_str()), 1);
  EXPECT_TRUE(monitor_->Saw("file_remove:" + Lower(c) + " ret:1\r\n"));
  EXPECT_FALSE(fs::exists(Local("c.blob")));
}

TEST_F(Procedures, DirectoriesKeepTheirCase) {
  std::string dir = File("Sub");
  EXPECT_EQ(CallLong(client_, "plif_mkdir", dir.c_str()), 1);
  EXPECT_TRUE(monitor_->Saw("mkdir:" + dir + " 1\r\n"));
  EXPECT_TRUE(fs::is_directory(Local("Sub")));
  EXPECT_EQ(CallLong(client_, "plif_dir_exists", dir.c_str()), 1);
  EXPECT_TRUE(monitor_->Saw("dir_exists:" + dir + " 1\r\n"));
  EXPECT_EQ(CallLong(client_, "plif_mkdir", dir.c_str()), 0);
  EXPECT_TRUE(monitor_->Saw("cannot create dir:" + dir + " "));
  EXPECT_EQ(CallLong(client_, "plif_rmdir", dir.c_str()), 1);
  EXPECT_TRUE(monitor_->Saw("rmdir:" + dir + " 1\r\n"));
  EXPECT_EQ(CallLong(client_, "plif_dir_exists", dir.c_str()), 0);
}

TEST_F(Procedures, FreeSpaceAndClear) {
  int32_t megabytes = CallLong(client_, "plif_get_freespace", server_.remote("").c_str());
  EXPECT_GT(megabytes, 0);
  EXPECT_TRUE(monitor_->Saw("get_freespace: " + std::to_string(megabytes) + "M\r\n"))
      << monitor_->text();
  std::ofstream(Local("old.blob")) << "x";
  NetValueList none, results;
  ASSERT_EQ(client_.Call("plif_file_clear", none, &results), 0);
  EXPECT_EQ(results.Count(), 0);
  EXPECT_TRUE(monitor_->Saw("file_clear\r\n"));
  EXPECT_FALSE(fs::exists(Local("old.blob")));
}

TEST_F(Procedures, BadArgumentsGetTheDispatchersAnswer) {
  NetValueList list, results;
  EXPECT_EQ(client_.Call("plif_file_read", Args(list, "x"), &results), -2);
  EXPECT_EQ(client_.error_text(), CString("ARG FORMAT ERROR"));
  std::string long_path = File(std::string(300, 'q'));
  EXPECT_EQ(CallLong(client_, "plif_file_create", long_path.c_str()), 0);
  EXPECT_EQ(CallLong(client_, "plif_file_open", ""), 0);
  EXPECT_EQ(CallLong(client_, "plif_file_open", server_.remote("files").c_str()), 0);
  EXPECT_EQ(Read(client_, File("none"), -5, -7), "");
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
