// Tests of StdSocket over 127.0.0.1: connection set-up, exact transfers and their waits,
// what a lost peer does to the flags and errors, the buffered write and the open count.
#include "srpc/stdsocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "srpc/srpc_testing.h"

namespace {

using srpc_testing::Listener;
using srpc_testing::Pair;

// Exits with 0 when the platform's start count begins at nothing, follows the sockets and is
// back at nothing after the last close; otherwise names the first step that failed.
[[noreturn]] void CheckTheStartCountAndExit() {
  auto check = [](bool holds, const char* step) {
    if (holds) return;
    std::fprintf(stderr, "failed: %s\n", step);
    std::exit(1);
  };
  check(platform::SocketStartupCount() == 0, "nothing started before the first socket");
  auto a = std::make_unique<StdSocket>();
  auto b = std::make_unique<StdSocket>();
  check(a->handle() != platform::kInvalidSocket, "a socket is made");
  check(platform::SocketStartupCount() == 1, "the first socket starts the platform once");
  a.reset();
  check(platform::SocketStartupCount() == 1, "a socket still open keeps it started");
  b->Close();
  check(platform::SocketStartupCount() == 0, "the last close cleans up");
  check(b->handle() == platform::kInvalidSocket, "a closed socket has no handle");
  check(b->Close(), "closing again does nothing");
  StdSocket c;
  check(c.handle() != platform::kInvalidSocket, "the next socket is made");
  check(platform::SocketStartupCount() == 1, "the next socket starts the platform again");
  std::exit(0);
}

// In a process of its own (started afresh): other tests leave attached sockets counted on
// purpose, which keeps the platform started.
TEST(StdSocketDeathTest, TheLastCloseCleansUpAndTheNextSocketStartsAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CheckTheStartCountAndExit(), testing::ExitedWithCode(0), "");
}

TEST(StdSocket, AcceptedSocketsAreConnectedAndKnowTheirPeer) {
  Listener listener;
  listener.socket->set_timeout(300);
  StdSocket client;
  EXPECT_FALSE(client.IsConnected());
  ASSERT_TRUE(client.Connect("localhost", listener.port.c_str()));
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(client.last_error(), 0u);
  EXPECT_EQ(client.peer_host(), "localhost");
  EXPECT_EQ(std::to_string(client.peer_port()), listener.port);

  std::unique_ptr<StdSocket> server(listener.socket->Accept());
  ASSERT_NE(server, nullptr);
  EXPECT_TRUE(server->IsConnected());
  EXPECT_EQ(server->attached(), 0);
  EXPECT_EQ(server->timeout(), 300);
  EXPECT_GT(server->send_chunk(), 0);

  CString address, port_text, client_address;
  int client_port = 0;
  ASSERT_TRUE(server->GetPeerAddr(&address, &port_text));
  ASSERT_TRUE(client.GetLocalAddr(&client_address, &client_port));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(std::string(port_text.GetString()), std::to_string(client_port));
}

TEST(StdSocket, ExactTransfersCarryEveryByteInOrder) {
  Pair pair;
  std::vector<char> sent(1 << 20);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
  std::thread sender([&] { EXPECT_TRUE(pair.client->SendAll(sent.data(), int(sent.size()))); });
  std::vector<char> received(sent.size());
  EXPECT_TRUE(pair.server->RecvExact(received.data(), int(received.size())));
  sender.join();
  EXPECT_EQ(received, sent);
  EXPECT_EQ(pair.server->last_error(), 0u);
  EXPECT_TRUE(pair.server->RecvExact(nullptr, 0));
  EXPECT_TRUE(pair.client->SendAll(nullptr, 0));
}

TEST(StdSocket, WaitsReportWaitingBytesAndTimeOutWithoutLosingTheConnection) {
  Pair pair;
  EXPECT_EQ(pair.server->WaitReadable(0, 20000), 0);
  EXPECT_TRUE(pair.server->IsConnected());
  EXPECT_TRUE(pair.server->WaitWritable(0, 0));
  ASSERT_TRUE(pair.client->SendAll("0123456789", 10));
  EXPECT_EQ(pair.server->WaitReadable(5, 0), 10);

  int count = -1;
  EXPECT_EQ(pair.server->ReadByte(&count, 0), '0');
  EXPECT_EQ(count, 1);
  char rest[9];
  EXPECT_EQ(pair.server->RecvSome(rest, sizeof rest), 9);
  EXPECT_EQ(std::string(rest, 9), "123456789");

  // A silent peer: one wait, no byte, still connected.
  EXPECT_EQ(pair.server->ReadByte(&count, 0), 0);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(pair.server->IsConnected());
}

TEST(StdSocket, ReceivesWithinATimeLimitAndSendsWaitOnlyWhileTheBufferIsFull) {
  Pair pair;
  char bytes[8];
  EXPECT_EQ(pair.server->RecvWithin(bytes, sizeof bytes, 1), 0);
  EXPECT_TRUE(pair.server->IsConnected());
  ASSERT_TRUE(pair.client->SendAll("abc", 3));
  EXPECT_EQ(pair.server->RecvWithin(bytes, sizeof bytes, 2), 3);

  // A peer that never reads: the sender fills the buffers, waits its time-out, gives up,
  // and the connection itself is not declared lost.
  pair.client->set_timeout(1);
  std::vector<char> flood(64 << 20, 'f');
  EXPECT_FALSE(pair.client->SendAll(flood.data(), int(flood.size())));
  EXPECT_TRUE(pair.client->IsConnected());
}

TEST(StdSocket, APeerThatClosesEndsTheConnectionWithoutAnErrorText) {
  Pair pair;
  ASSERT_TRUE(pair.client->SendAll("ab", 2));
  ASSERT_TRUE(platform::SocketShutdown(pair.client->handle(), platform::SocketShutdownHow::kSend));
  char bytes[4];
  EXPECT_FALSE(pair.server->RecvExact(bytes, 4));
  EXPECT_FALSE(pair.server->IsConnected());
  EXPECT_EQ(pair.server->last_error(), 0u);
  EXPECT_EQ(std::string(pair.server->error_text().GetString()), "");
  // The flag stops further byte reads from waiting at all.
  int count = -1;
  EXPECT_EQ(pair.server->ReadByte(&count, 5), 0);
  EXPECT_EQ(count, 0);
}

// That no send raises SIGPIPE on POSIX the platform's own socket test checks with the signal's
// default action in place.
TEST(StdSocket, SendingToAClosedPeerFailsWithoutSigpipe) {
  Pair pair;
  pair.server.reset();  // linger 0: the close resets the connection
  std::vector<char> block(65536, 'x');
  bool sent = true;
  for (int i = 0; i < 100 && sent; ++i)
    sent = pair.client->SendAll(block.data(), int(block.size()));
  EXPECT_FALSE(sent);
  EXPECT_FALSE(pair.client->IsConnected());
  EXPECT_EQ(pair.client->last_error(), platform::kWsaEconnreset);
}

TEST(StdSocket, BindingAPortInUseFailsWithItsText) {
  Listener holder;
  StdSocket second;
  ASSERT_TRUE(second.SetOption(platform::SocketOption::kReuseAddress, 1));
  EXPECT_FALSE(second.Bind("127.0.0.1", holder.port.c_str()));
  EXPECT_EQ(second.last_error(), platform::kWsaEaddrinuse);
  std::string text = second.error_text().GetString();
  ASSERT_GE(text.size(), 14u);
  EXPECT_EQ(text.substr(text.size() - 14), "SO_REUSEADDR. ");

  EXPECT_FALSE(second.Bind("", "1"));  // a host that resolves to nothing
  EXPECT_EQ(second.last_error(), platform::kWsaEinval);
  EXPECT_STREQ(second.error_text(), "The socket has not been bound with bind.");
}

TEST(StdSocket, ConnectFailsWhenRefusedAndTimesOutWhenUnanswered) {
  std::string closed_port;
  {
    Listener gone;
    closed_port = gone.port;
  }
  StdSocket refused;
  EXPECT_FALSE(refused.Connect("127.0.0.1", closed_port.c_str()));
  EXPECT_EQ(refused.last_error(), platform::kWsaEconnrefused);
  EXPECT_FALSE(refused.IsConnected());

  // A listener with a full backlog lets the next connection attempt go unanswered.
  Listener full(0);
  StdSocket filler;
  ASSERT_TRUE(filler.Connect("127.0.0.1", full.port.c_str()));
  StdSocket late;
  EXPECT_FALSE(late.Connect("127.0.0.1", full.port.c_str()));
  EXPECT_EQ(late.last_error(), platform::kWsaEtimedout);
  EXPECT_EQ(std::string(late.error_text().GetString()).substr(0, 26), "The connection has been dr");
}

TEST(StdSocket, AcceptOnAClosedListenerFails) {
  Listener listener;
  std::unique_ptr<StdSocket> accepted;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listener.socket->Close(true);
  });
  accepted.reset(listener.socket->Accept());  // blocks until the other thread closes
  stopper.join();
  EXPECT_EQ(accepted, nullptr);
  EXPECT_NE(listener.socket->last_error(), 0u);
}

TEST(StdSocket, BufferedWritesGoOutWhenTheBufferFillsOrIsFlushed) {
  Listener listener;
  StdSocket client(platform::kInvalidSocket, 16);
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.port.c_str()));
  std::unique_ptr<StdSocket> server(listener.socket->Accept());
  ASSERT_NE(server, nullptr);

  ASSERT_TRUE(client.Write("abcdefghij", 10));
  EXPECT_EQ(server->WaitReadable(0, 50000), 0);  // still in the buffer
  ASSERT_TRUE(client.Write("klmnopqrst", 10));   // fills it: 16 go out, 4 wait
  EXPECT_EQ(server->WaitReadable(5, 0), 16);
  char bytes[20];
  ASSERT_TRUE(server->RecvExact(bytes, 16));
  ASSERT_TRUE(client.Flush());
  ASSERT_TRUE(server->RecvExact(bytes + 16, 4));
  EXPECT_EQ(std::string(bytes, 20), "abcdefghijklmnopqrst");

  ASSERT_TRUE(client.Write("tail", 4));
  client.Close(true);  // a close flushes what is pending
  ASSERT_TRUE(server->RecvExact(bytes, 4));
  EXPECT_EQ(std::string(bytes, 4), "tail");
}

// Leaves its handed-in socket counted, as an attached socket does.
TEST(StdSocket, OnlySocketsThatOwnTheirHandleCloseIt) {
  Pair pair;
  platform::SocketHandle handle = pair.server->handle();
  pair.server->set_attached(1);
  pair.server.reset();
  // The handle still works: the client hears from it.
  ASSERT_EQ(platform::SocketSend(handle, "z", 1), 1);
  char byte = 0;
  ASSERT_TRUE(pair.client->RecvExact(&byte, 1));
  EXPECT_EQ(byte, 'z');

  // An accepted socket owns its handle: deleting it ends the connection.
  auto owner = std::make_unique<StdSocket>(handle);
  owner->set_attached(0);
  owner.reset();
  EXPECT_FALSE(pair.client->RecvExact(&byte, 1));
  EXPECT_FALSE(pair.client->IsConnected());
}

}  // namespace
