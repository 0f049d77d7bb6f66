#include "runtime/monitor/netmon.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/clock.h"
#include "testing/socket_read.h"

namespace {

// A monitor server on 127.0.0.1 with a port of the system's choice.
class Monitor {
 public:
  // `send_buffer` > 0 bounds what the kernel holds for each client (accepted sockets inherit
  // the listener's buffer size).
  explicit Monitor(int send_buffer = 0) : server_(std::make_unique<MonitorServer>(100, 2048)) {
    server_->SetBanner("banner\r\n");
    if (send_buffer > 0) server_->SetOption(platform::SocketOption::kSendBuffer, send_buffer);
    server_->StartInBackground("127.0.0.1", 0, 20);
    server_->WaitStarted();
    CString address;
    server_->GetLocalAddr(&address, &port_);
  }
  ~Monitor() {
    server_->Stop();
    server_->WaitForStarter();
  }
  MonitorServer* operator->() { return server_.get(); }
  std::string port() const { return std::to_string(port_); }

  // Waits until `count` clients are registered.
  void AwaitClients(int count) {
    for (int waited = 0; waited < 5000 && server_->ClientCount() != count; waited += 5) {
      platform::SleepMs(5);
    }
    ASSERT_EQ(server_->ClientCount(), count);
  }

 private:
  std::unique_ptr<MonitorServer> server_;
  int port_ = 0;
};

TEST(MonitorServer, AClientGetsTheBannerThenOnlyLaterTextsCutTo2047Bytes) {
  Monitor monitor;
  testing::internal::CaptureStdout();
  monitor->Broadcast("before\r\n");
  StdSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", monitor.port().c_str()));
  monitor.AwaitClients(1);
  std::string long_text(3000, 'x');
  monitor->Broadcast("after\r\n");
  monitor->Broadcast(long_text.c_str());
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "before\r\nafter\r\n" + long_text);
  std::string expected = "banner\r\nafter\r\n" + std::string(2047, 'x');
  EXPECT_EQ(ReadAtLeast(client, expected.size(), 5000), expected);
}

TEST(MonitorServer, AClientThatDoesNotReadLosesTextsAndOthersDoNot) {
  Monitor monitor(4096);
  StdSocket slow, fast;
  // A small receive window keeps what the silent client's connection absorbs small.
  ASSERT_TRUE(slow.SetOption(platform::SocketOption::kReceiveBuffer, 4096));
  ASSERT_TRUE(slow.Connect("127.0.0.1", monitor.port().c_str()));
  ASSERT_TRUE(fast.Connect("127.0.0.1", monitor.port().c_str()));
  monitor.AwaitClients(2);
  ASSERT_EQ(ReadAtLeast(fast, 8, 2000), "banner\r\n");
  // Enough 2000-byte texts to fill the silent client's socket buffers, its queue and more;
  // logged in batches of a queue's size, which the reading client drains in time.
  testing::internal::CaptureStdout();
  const std::string text = std::string(1998, 'y') + "\r\n";
  constexpr int kBatches = 2;
  constexpr int kBatch = 100;
  std::string fast_got;
  for (int batch = 0; batch < kBatches; ++batch) {
    for (int i = 0; i < kBatch; ++i) monitor->Broadcast(text.c_str());
    fast_got += ReadAtLeast(
        fast, static_cast<size_t>((batch + 1) * kBatch) * text.size() - fast_got.size(), 10000);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(fast_got.size(), static_cast<size_t>(kBatches * kBatch) * text.size());
  // Its session sends from a full queue without pausing: a second of quiet is the end.
  std::string slow_got = ReadUntilQuiet(slow, 1000);
  ASSERT_GT(slow_got.size(), 8u);
  size_t slow_texts = (slow_got.size() - 8) / text.size();
  EXPECT_LT(slow_texts, static_cast<size_t>(kBatches * kBatch));
  EXPECT_GE(slow_texts, 100u);  // at least its full queue
}

TEST(MonitorServer, AStopStillSendsWhatWasQueuedBeforeIt) {
  Monitor monitor;
  StdSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", monitor.port().c_str()));
  monitor.AwaitClients(1);
  ASSERT_EQ(ReadAtLeast(client, 8, 5000), "banner\r\n");
  testing::internal::CaptureStdout();
  for (const char* line : {"closing 1\r\n", "closing 2\r\n"}) monitor->Broadcast(line);
  monitor->Stop();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadAtLeast(client, 22, 10000), "closing 1\r\nclosing 2\r\n");
}

}  // namespace
