#include "runtime/monitor/netmon.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/clock.h"
#include "testing/socket_read.h"

namespace {

// A monitor server on 127.0.0.1 with a port of the system's choice; `send_buffer` > 0 bounds
// what the kernel holds for each client (accepted sockets inherit the listener's size).
struct Monitor {
  explicit Monitor(int send_buffer = 0) {
    server.SetBanner("banner\r\n");
    if (send_buffer > 0) server.SetOption(platform::SocketOption::kSendBuffer, send_buffer);
    server.StartInBackground("127.0.0.1", 0, 20);
    server.WaitStarted();
    server.GetLocalAddr(&address, &port);
  }
  ~Monitor() {
    server.Stop();
    server.WaitForStarter();
  }
  void Connect(StdSocket& client, int count) {
    ASSERT_TRUE(client.Connect("127.0.0.1", std::to_string(port).c_str()));
    for (int waited = 0; waited < 5000 && server.ClientCount() != count; waited += 5) {
      platform::SleepMs(5);
    }
    ASSERT_EQ(server.ClientCount(), count);
  }

  MonitorServer server{100, 2048};
  CString address;
  int port = 0;
};

// Only texts broadcast after the client came, cut to 2047 bytes; a stop still sends the queue.
TEST(MonitorServer, AClientGetsTheBannerThenLaterTextsCutTo2047BytesUntilTheStop) {
  Monitor monitor;
  StdSocket client;
  testing::internal::CaptureStdout();
  monitor.server.Broadcast("before\r\n");
  monitor.Connect(client, 1);
  std::string long_text(3000, 'x');
  for (const char* text : {"after\r\n", long_text.c_str()}) monitor.server.Broadcast(text);
  std::string expected = "banner\r\nafter\r\n" + std::string(2047, 'x');
  EXPECT_EQ(ReadAtLeast(client, expected.size(), 5000), expected);
  for (const char* line : {"closing 1\r\n", "closing 2\r\n"}) monitor.server.Broadcast(line);
  monitor.server.Stop();
  EXPECT_EQ(ReadAtLeast(client, 22, 10000), "closing 1\r\nclosing 2\r\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "before\r\nafter\r\n" + long_text + "closing 1\r\nclosing 2\r\n");
}

// Of two queues' worth of texts, the reader gets all, the silent client (a small window keeps
// what its connection absorbs small) its full queue; a second of quiet is the end of it.
TEST(MonitorServer, AClientThatDoesNotReadLosesTextsAndOthersDoNot) {
  Monitor monitor(4096);
  StdSocket slow, fast;
  ASSERT_TRUE(slow.SetOption(platform::SocketOption::kReceiveBuffer, 4096));
  monitor.Connect(slow, 1);
  monitor.Connect(fast, 2);
  ASSERT_EQ(ReadAtLeast(fast, 8, 2000), "banner\r\n");
  testing::internal::CaptureStdout();
  const std::string text = std::string(1998, 'y') + "\r\n";
  std::string fast_got;
  for (size_t sent = 100; sent <= 200; sent += 100) {
    for (int i = 0; i < 100; ++i) monitor.server.Broadcast(text.c_str());
    fast_got += ReadAtLeast(fast, sent * text.size() - fast_got.size(), 10000);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(fast_got.size(), 200 * text.size());
  std::string slow_got = ReadUntilQuiet(slow, 1000);
  EXPECT_EQ(slow_got.substr(0, 8), "banner\r\n");
  EXPECT_GE(slow_got.size(), 8 + 100 * text.size());
  EXPECT_LT(slow_got.size(), 8 + 200 * text.size());
}

}  // namespace
