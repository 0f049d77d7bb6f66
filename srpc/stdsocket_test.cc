// Tests of StdSocket over 127.0.0.1: set-up, exact transfers and waits, lost peers and their
// errors, the buffered write, handle ownership and the platform's start count.
#include "srpc/stdsocket.h"

#include <gtest/gtest.h>

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

// Exits with 0 when the platform's start count follows the sockets, else with the failed step.
[[noreturn]] void CheckTheStartCountAndExit() {
  int step = 0;
  auto check = [&](bool holds) { return holds ? ++step : (std::exit(step + 1), 0); };
  check(platform::SocketStartupCount() == 0);
  auto a = std::make_unique<StdSocket>();
  StdSocket b;
  check(a->handle() != platform::kInvalidSocket && platform::SocketStartupCount() == 1);
  a.reset();
  check(platform::SocketStartupCount() == 1);  // `b` still open keeps it started
  b.Close();
  check(platform::SocketStartupCount() == 0 && b.handle() == platform::kInvalidSocket && b.Close());
  StdSocket c;
  check(platform::SocketStartupCount() == 1);  // the next socket starts it again
  std::exit(0);
}

// A process of its own: other tests leave attached sockets counted on purpose.
TEST(StdSocketDeathTest, TheLastCloseCleansUpAndTheNextSocketStartsAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CheckTheStartCountAndExit(), testing::ExitedWithCode(0), "");
}

TEST(StdSocket, ConnectionsKnowTheirPeerAndCarryEveryByteInOrder) {
  Listener listener;
  StdSocket client;
  ASSERT_TRUE(client.Connect("localhost", listener.port.c_str()));
  EXPECT_TRUE(client.peer_host() == "localhost" && client.peer_port() == std::stoi(listener.port));
  std::unique_ptr<StdSocket> server(listener.socket->Accept());
  ASSERT_TRUE(server != nullptr && server->IsConnected() && client.IsConnected());
  std::vector<char> sent(1 << 20), received(sent.size());
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
  std::thread sender([&] { EXPECT_TRUE(client.SendAll(sent.data(), int(sent.size()))); });
  EXPECT_TRUE(server->RecvExact(received.data(), int(received.size())));
  sender.join();
  EXPECT_TRUE(received == sent && server->last_error() == 0u);
  EXPECT_TRUE(server->RecvExact(nullptr, 0) && client.SendAll(nullptr, 0));
}

TEST(StdSocket, WaitsAndTimeLimitsKeepTheConnectionALostPeerEndsIt) {
  Pair pair;
  EXPECT_EQ(pair.server->WaitReadable(0, 20000), 0);
  EXPECT_TRUE(pair.server->WaitWritable(0, 0));
  char bytes[9];
  EXPECT_EQ(pair.server->RecvWithin(bytes, sizeof bytes, 1), 0);
  ASSERT_TRUE(pair.client->SendAll("0123456789", 10));
  EXPECT_EQ(pair.server->WaitReadable(5, 0), 10);
  int count = -1;
  EXPECT_TRUE(pair.server->ReadByte(&count, 0) == '0' && count == 1);
  EXPECT_TRUE(pair.server->RecvWithin(bytes, 9, 2) == 9 && std::string(bytes, 9) == "123456789");
  EXPECT_TRUE(pair.server->ReadByte(&count, 0) == 0 && count == 0);  // a silent peer: no byte
  // A peer that never reads: the sender waits its time-out and gives up, still connected.
  pair.server->set_timeout(1);
  std::vector<char> flood(64 << 20, 'f');
  EXPECT_TRUE(!pair.server->SendAll(flood.data(), int(flood.size())) && pair.server->IsConnected());
  // A peer that closes: a cut read, no error text, no more waiting for bytes.
  ASSERT_TRUE(pair.client->SendAll("ab", 2));
  ASSERT_TRUE(platform::SocketShutdown(pair.client->handle(), platform::SocketShutdownHow::kSend));
  EXPECT_FALSE(pair.server->RecvExact(bytes, 4));
  EXPECT_TRUE(!pair.server->IsConnected() && pair.server->last_error() == 0u);
  EXPECT_STREQ(pair.server->error_text(), "");
  EXPECT_TRUE(pair.server->ReadByte(&count, 5) == 0 && count == 0);
  // Linger 0: the server's close resets, and sends fail (without SIGPIPE on POSIX). A fresh
  // pair: a client that shut its own sending down fails for that reason first (on Windows).
  Pair fresh;
  fresh.server.reset();
  std::vector<char> block(65536, 'x');
  for (int i = 0; i < 100 && fresh.client->SendAll(block.data(), int(block.size())); ++i) {
  }
  EXPECT_FALSE(fresh.client->IsConnected());
  EXPECT_EQ(fresh.client->last_error(), platform::kWsaEconnreset);
}

TEST(StdSocket, BindAndConnectFailuresGiveTheirErrors) {
  std::string closed_port = Listener().port;
  Listener holder;
  StdSocket second;
  ASSERT_TRUE(second.SetOption(platform::SocketOption::kReuseAddress, 1));
  EXPECT_FALSE(second.Bind("127.0.0.1", holder.port.c_str()));
  EXPECT_EQ(second.last_error(), platform::kWsaEaddrinuse);
  EXPECT_TRUE(std::string(second.error_text().GetString()).ends_with("SO_REUSEADDR. "));
  EXPECT_FALSE(second.Bind("", "1"));  // a host that resolves to nothing
  EXPECT_EQ(second.last_error(), platform::kWsaEinval);
  StdSocket refused;
  EXPECT_FALSE(refused.Connect("127.0.0.1", closed_port.c_str()));
  EXPECT_TRUE(refused.last_error() == platform::kWsaEconnrefused && !refused.IsConnected());
  // A full backlog lets the next attempt go unanswered.
  Listener full(0);
  StdSocket filler, late;
  ASSERT_TRUE(filler.Connect("127.0.0.1", full.port.c_str()));
  EXPECT_FALSE(late.Connect("127.0.0.1", full.port.c_str()));
  EXPECT_EQ(late.last_error(), platform::kWsaEtimedout);
}

TEST(StdSocket, BufferedWritesGoOutWhenTheBufferFillsOrIsFlushed) {
  Listener listener;
  StdSocket client(platform::kInvalidSocket, 16);
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.port.c_str()));
  std::unique_ptr<StdSocket> server(listener.socket->Accept());
  ASSERT_TRUE(client.Write("abcdefghij", 10));
  EXPECT_EQ(server->WaitReadable(0, 50000), 0);  // still in the buffer
  ASSERT_TRUE(client.Write("klmnopqrst", 10));   // fills it: 16 go out, 4 wait
  EXPECT_EQ(server->WaitReadable(5, 0), 16);
  char bytes[24];
  ASSERT_TRUE(server->RecvExact(bytes, 16) && client.Flush() && server->RecvExact(bytes + 16, 4));
  ASSERT_TRUE(client.Write("tail", 4));
  client.Close(true);  // a close flushes what is pending
  ASSERT_TRUE(server->RecvExact(bytes + 20, 4));
  EXPECT_EQ(std::string(bytes, 24), "abcdefghijklmnopqrsttail");
}

// Leaves its handed-in socket counted, as an attached socket does.
TEST(StdSocket, OnlySocketsThatOwnTheirHandleCloseIt) {
  Pair pair;
  platform::SocketHandle handle = pair.server->handle();
  pair.server->set_attached(1);
  pair.server.reset();
  ASSERT_EQ(platform::SocketSend(handle, "z", 1), 1);  // the handle still works
  char byte = 0;
  ASSERT_TRUE(pair.client->RecvExact(&byte, 1) && byte == 'z');
  StdSocket(handle).set_attached(0);  // an accepted socket owns its handle and closes it
  EXPECT_FALSE(pair.client->RecvExact(&byte, 1) || pair.client->IsConnected());
}

}  // namespace
