// Tests of the socket backend on 127.0.0.1: the Winsock numbers it reports, the start-up
// count, address texts, the waits, a send to a reset peer, and the shutdown that wakes accept.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/tools/wine_detect.h"

namespace {

using namespace platform;

constexpr uint32_t kLoopback = 0x7F000001;

// Holds one start-up for the test and closes what it made.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SocketStartup()); }
  void TearDown() override {
    for (SocketHandle s : made_) SocketClose(s);
    SocketCleanup();
  }
  SocketHandle Make() {
    SocketHandle s = SocketCreate(SocketType::kStream);
    EXPECT_NE(s, kInvalidSocket);
    made_.push_back(s);
    return s;
  }
  // A listener on 127.0.0.1 at a port the system chose, written to *port.
  SocketHandle Listening(uint16_t* port, int backlog = 8) {
    SocketHandle s = Make();
    EXPECT_TRUE(SocketSetOption(s, SocketOption::kReuseAddress, 1));
    EXPECT_TRUE(SocketBind(s, SocketAddress{kLoopback, 0}));
    SocketAddress local;
    EXPECT_TRUE(SocketLocalAddress(s, &local));
    EXPECT_EQ(local.ip, kLoopback);
    EXPECT_NE(local.port, 0);
    *port = local.port;
    EXPECT_TRUE(SocketListen(s, backlog));
    return s;
  }
  // Connects a new socket to the listener; the accepted end goes to *accepted.
  SocketHandle Connected(SocketHandle listener, uint16_t port, SocketHandle* accepted) {
    SocketHandle client = Make();
    EXPECT_TRUE(SocketConnect(client, SocketAddress{kLoopback, port}));
    SocketAddress peer;
    *accepted = SocketAccept(listener, &peer);
    EXPECT_NE(*accepted, kInvalidSocket);
    made_.push_back(*accepted);
    SocketAddress client_local;
    EXPECT_TRUE(SocketLocalAddress(client, &client_local));
    EXPECT_EQ(peer.port, client_local.port);
    return client;
  }

  std::vector<SocketHandle> made_;
};

TEST(SocketStartupTest, SocketsNeedTheStartUpFirst) {
  ASSERT_EQ(SocketStartupCount(), 0);
  EXPECT_EQ(SocketCreate(SocketType::kStream), kInvalidSocket);
  EXPECT_EQ(LastError(), kWsaNotInitialised);
  EXPECT_STREQ(SocketErrorText(kWsaNotInitialised),
               "A successful WSAStartup must occur before using this function.");
  EXPECT_FALSE(SocketCleanup());  // nothing to clean up
  ASSERT_TRUE(SocketStartup());
  ASSERT_TRUE(SocketStartup());
  EXPECT_EQ(SocketStartupCount(), 2);
  SocketHandle s = SocketCreate(SocketType::kDatagram);
  EXPECT_NE(s, kInvalidSocket);
  EXPECT_TRUE(SocketClose(s));
  EXPECT_TRUE(SocketCleanup());
  EXPECT_TRUE(SocketCleanup());
  EXPECT_EQ(SocketStartupCount(), 0);
}

TEST(SocketAddressTest, TextsParseAsInetAddrDoesAndNamesResolve) {
  uint32_t ip = 0;
  EXPECT_TRUE(ParseIPv4("127.0.0.1", &ip));
  EXPECT_EQ(ip, kLoopback);
  EXPECT_TRUE(ParseIPv4("127.1", &ip));  // the short forms of inet_addr
  EXPECT_EQ(ip, kLoopback);
  EXPECT_TRUE(ParseIPv4("0.0.0.0", &ip));
  EXPECT_EQ(ip, 0u);
  EXPECT_FALSE(ParseIPv4("255.255.255.255", &ip));
  EXPECT_FALSE(ParseIPv4("localhost", &ip));
  EXPECT_FALSE(ParseIPv4("1.2.3.4x", &ip));
  EXPECT_TRUE(ResolveHostIPv4("localhost", &ip));
  EXPECT_EQ(ip >> 24, 127u);
  EXPECT_FALSE(ResolveHostIPv4("", &ip));
  char text[16];
  IPv4Text(0xC0A80A01, text);
  EXPECT_STREQ(text, "192.168.10.1");
}

TEST_F(SocketTest, ABoundPortRefusesASecondListenerEvenWithReuse) {
  uint16_t port = 0;
  Listening(&port);
  SocketHandle second = Make();
  ASSERT_TRUE(SocketSetOption(second, SocketOption::kReuseAddress, 1));
  EXPECT_FALSE(SocketBind(second, SocketAddress{kLoopback, port}));
  EXPECT_EQ(LastError(), kWsaEaddrinuse);
  EXPECT_FALSE(SocketBind(second, SocketAddress{0, port}));  // any address overlaps too
  EXPECT_EQ(LastError(), kWsaEaddrinuse);
}

// Each option reaches a setting of its own: of them all, only the send buffer's shows in what
// SocketSendBufferSize reads.
TEST_F(SocketTest, EachOptionReachesItsOwnSetting) {
  SocketHandle s = Make();
  int before = SocketSendBufferSize(s);
  ASSERT_GT(before, 0);
  constexpr int kValue = 24000;  // a buffer size that is neither system's default, nor half of it
  for (SocketOption option : {SocketOption::kReuseAddress, SocketOption::kKeepAlive,
                              SocketOption::kReceiveBuffer, SocketOption::kNoDelay}) {
    EXPECT_TRUE(SocketSetOption(s, option, kValue)) << static_cast<int>(option);
  }
  EXPECT_EQ(SocketSendBufferSize(s), before);
  ASSERT_TRUE(SocketSetOption(s, SocketOption::kSendBuffer, kValue));
  EXPECT_NE(SocketSendBufferSize(s), before);
}

// The server's side of a connection that it closed first stays behind (TIME_WAIT) and holds
// the port for minutes; a restarted server must bind it all the same.
TEST_F(SocketTest, ANewListenerBindsOverConnectionsOfThePreviousOne) {
  uint16_t port = 0;
  SocketHandle listener = Listening(&port);
  SocketHandle server;
  SocketHandle client = Connected(listener, port, &server);
  ASSERT_TRUE(SocketShutdown(server, SocketShutdownHow::kBoth));
  char byte;
  ASSERT_EQ(SocketRecv(client, &byte, 1), 0);
  for (SocketHandle s : {server, client, listener}) {
    EXPECT_TRUE(SocketClose(s));
    made_.erase(std::find(made_.begin(), made_.end(), s));
  }
  SocketHandle again = Make();
  ASSERT_TRUE(SocketSetOption(again, SocketOption::kReuseAddress, 1));
  EXPECT_TRUE(SocketBind(again, SocketAddress{kLoopback, port})) << LastError();
  EXPECT_TRUE(SocketListen(again, 8));
}

TEST_F(SocketTest, TransfersWaitsAndAvailableBytes) {
  uint16_t port = 0;
  SocketHandle listener = Listening(&port);
  SocketHandle server;
  SocketHandle client = Connected(listener, port, &server);

  EXPECT_EQ(SocketWait(server, SocketWaitFor::kReadable, 30), SocketWaitResult::kTimeout);
  EXPECT_EQ(SocketWait(client, SocketWaitFor::kWritable, 0), SocketWaitResult::kReady);
  EXPECT_EQ(SocketBytesAvailable(server), 0);
  ASSERT_EQ(SocketSend(client, "hello", 5), 5);
  EXPECT_EQ(SocketWait(server, SocketWaitFor::kReadable, 5000), SocketWaitResult::kReady);
  EXPECT_EQ(SocketBytesAvailable(server), 5);
  char bytes[8];
  EXPECT_EQ(SocketRecv(server, bytes, sizeof bytes), 5);
  EXPECT_EQ(std::memcmp(bytes, "hello", 5), 0);

  // The peer's close is readable and reads as 0 bytes.
  ASSERT_TRUE(SocketShutdown(client, SocketShutdownHow::kSend));
  EXPECT_EQ(SocketWait(server, SocketWaitFor::kReadable, 5000), SocketWaitResult::kReady);
  EXPECT_EQ(SocketRecv(server, bytes, sizeof bytes), 0);
  EXPECT_GT(SocketSendBufferSize(server), 0);
}

// The diagnostics thread asks every thread for its stack every 20 seconds, which interrupts
// whatever the thread waits in (a signal on POSIX). A timed wait must still end when its time
// is up, however often it is interrupted before.
TEST_F(SocketTest, TimedWaitsEndOnTimeWhileTheirThreadIsInterrupted) {
  uint16_t port = 0;
  SocketHandle listener = Listening(&port);
  SocketHandle server;
  Connected(listener, port, &server);
  ASSERT_TRUE(SocketSetReceiveTimeout(server, 1000));
  struct Case {
    const char* wait;
    bool (*timed_out)(SocketHandle socket);
  };
  const Case cases[] = {
      {"SocketRecvTimed",
       [](SocketHandle socket) {
         char byte;
         return SocketRecvTimed(socket, &byte, 1) == -1 && LastError() == kWsaEtimedout;
       }},
      {"SocketWait",
       [](SocketHandle socket) {
         return SocketWait(socket, SocketWaitFor::kReadable, 1000) == SocketWaitResult::kTimeout;
       }},
  };
  for (const Case& c : cases) {
    std::atomic<uint64_t> waiter{0};
    std::atomic<bool> ended{false};
    bool timed_out = false;
    std::thread waiting([&] {
      waiter = CurrentThreadId();
      timed_out = c.timed_out(server);
      ended = true;
    });
    while (waiter == 0) SleepMs(1);
    // Interrupted ten times a second, for up to thirty times its time-out (a hang guard).
    for (int i = 0; i < 300 && !ended; ++i) {
      void* frames[8];
      CaptureThreadStack(waiter, frames, 8, 1000);
      SleepMs(100);
    }
    EXPECT_TRUE(ended) << c.wait << " started its wait anew on every interruption";
    if (!ended) SocketShutdown(server, SocketShutdownHow::kReceive);  // let it end
    waiting.join();
    EXPECT_TRUE(timed_out) << c.wait;
  }
}

// How a stopping server ends a session that waits for its client's bytes: another thread shuts
// the receive side down. The wait ends as if the peer had closed; the session can still send.
TEST_F(SocketTest, ShuttingTheReceiveSideDownEndsAWaitingReceiveAndKeepsSending) {
  uint16_t port = 0;
  SocketHandle listener = Listening(&port);
  SocketHandle server;
  SocketHandle client = Connected(listener, port, &server);
  ASSERT_TRUE(SocketSetReceiveTimeout(server, 300000));
  std::atomic<bool> ended{false};
  int received = -2;
  std::thread waiting([&] {
    char byte;
    received = SocketRecvTimed(server, &byte, 1);
    ended = true;
  });
  SleepMs(100);
  ASSERT_TRUE(SocketShutdown(server, SocketShutdownHow::kReceive));
  for (int i = 0; i < 300 && !ended; ++i) SleepMs(100);  // a hang guard
  EXPECT_TRUE(ended) << "the receive went on waiting";
  if (!ended) SocketShutdown(client, SocketShutdownHow::kSend);
  waiting.join();
  EXPECT_EQ(received, 0);
  EXPECT_EQ(SocketSend(server, "answer", 6), 6);
  char bytes[8];
  ASSERT_EQ(SocketWait(client, SocketWaitFor::kReadable, 5000), SocketWaitResult::kReady);
  EXPECT_EQ(SocketRecv(client, bytes, sizeof bytes), 6);
}

TEST_F(SocketTest, ASendToAResetPeerFailsWithoutSigpipe) {
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_DFL);  // a raised SIGPIPE would end this test program
#endif
  uint16_t port = 0;
  SocketHandle listener = Listening(&port);
  SocketHandle server;
  SocketHandle client = Connected(listener, port, &server);
  ASSERT_TRUE(SocketSetLinger(server, true, 0));
  ASSERT_TRUE(SocketClose(server));
  made_.erase(std::find(made_.begin(), made_.end(), server));

  // The reset is collected once (ECONNRESET); later sends meet a dead socket (EPIPE, the
  // case that raises SIGPIPE without MSG_NOSIGNAL). Both are a reset connection to Winsock.
  ASSERT_EQ(SocketWait(client, SocketWaitFor::kReadable, 5000), SocketWaitResult::kReady);
  char byte;
  int received = SocketRecv(client, &byte, 1);
  uint32_t receive_error = LastError();
  int sent = SocketSend(client, "data", 4);
  EXPECT_EQ(sent, -1);
  EXPECT_EQ(LastError(), kWsaEconnreset);
  if (RunsUnderWine() && received == 0) {
    GTEST_SKIP() << "Wine closes a socket gracefully even with SO_LINGER {on, 0 s}, so the "
                    "peer reads the end of the stream instead of a reset";
  }
  EXPECT_EQ(received, -1);
  EXPECT_EQ(receive_error, kWsaEconnreset);
}

TEST_F(SocketTest, ANonBlockingConnectToAClosedPortIsRefused) {
  uint16_t port = 0;
  SocketHandle gone = Listening(&port);
  ASSERT_TRUE(SocketClose(gone));
  made_.erase(std::find(made_.begin(), made_.end(), gone));

  SocketHandle client = Make();
  ASSERT_TRUE(SocketSetNonBlocking(client, true));
  uint32_t code = 0;
  if (SocketConnect(client, SocketAddress{kLoopback, port})) FAIL() << "connected to a closed port";
  if (LastError() == kWsaEwouldblock) {
    ASSERT_EQ(SocketWait(client, SocketWaitFor::kWritable, 5000), SocketWaitResult::kReady);
    ASSERT_TRUE(SocketPendingError(client, &code));
  } else {
    code = LastError();
  }
  EXPECT_EQ(code, kWsaEconnrefused);
}

// A shutdown wakes a blocked accept, alone or, as a server stops its listener, with the close
// at once.
TEST_F(SocketTest, ShutdownWakesABlockedAccept) {
  for (bool close_too : {false, true}) {
    uint16_t port = 0;
    SocketHandle listener = Listening(&port);
    SocketHandle accepted = 0;
    uint32_t error = 0;
    std::thread acceptor([&] {
      accepted = SocketAccept(listener, nullptr);
      error = LastError();
    });
    SleepMs(100);
    ASSERT_TRUE(SocketShutdown(listener, SocketShutdownHow::kBoth));
    if (close_too) {
      ASSERT_TRUE(SocketClose(listener));
      made_.erase(std::find(made_.begin(), made_.end(), listener));
    }
    acceptor.join();
    EXPECT_EQ(accepted, kInvalidSocket) << close_too;
    EXPECT_TRUE(close_too || error == kWsaEinval) << error;
  }
}

TEST_F(SocketTest, CallsOnAClosedHandleReportNotASocket) {
  SocketHandle s = Make();
  ASSERT_TRUE(SocketClose(s));
  made_.clear();
  EXPECT_EQ(SocketSend(s, "x", 1), -1);
  EXPECT_EQ(LastError(), kWsaEnotsock);
  EXPECT_EQ(SocketWait(s, SocketWaitFor::kReadable, 0), SocketWaitResult::kFailed);
  EXPECT_EQ(LastError(), kWsaEnotsock);
}

}  // namespace
