// SrpcClient against peers that are not SRPC servers: what its user is told, and that a call
// ends at once. Calls to a real server are the server's tests (srpcsvr_test.cc).
#include "srpc/srpcclient.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "srpc/srpc_testing.h"

namespace {

using srpc_testing::Listener;

TEST(SrpcClient, AFailedConnectNamesTheAddressAndTheReason) {
  int closed = std::stoi(Listener().port);
  SrpcClient client;
  EXPECT_FALSE(client.Connect("127.0.0.1", closed));
  EXPECT_EQ(std::string(client.error_text().GetString()),
            "connect 127.0.0.1:" + std::to_string(closed) + ": " +
                platform::SocketErrorReason(platform::kWsaEconnrefused));
}

// A log stream answers with text: its first letter that no packet starts with ends the call,
// with the start of what it sent shown (escaped, cut after 32 bytes).
TEST(SrpcClient, APeerThatIsNotAnSrpcServerEndsTheCallAtOnce) {
  Listener listener;
  SrpcClient client;
  client.set_answer_timeout(10);  // a hang guard
  ASSERT_TRUE(client.Connect("127.0.0.1", std::stoi(listener.port)));
  std::unique_ptr<StdSocket> peer(listener.socket->Accept());
  const std::string text = "Pellary \"1.0\"\r\n\xB0\xE6" + std::string(40, 'y');
  ASSERT_TRUE(peer->SendAll(text.data(), static_cast<int>(text.size())));
  NetValueList none, results;
  EXPECT_EQ(client.Call("corvexa_srpc_getcmds", none, &results), kSrpcConnectionBroken);
  EXPECT_EQ(std::string(client.error_text().GetString()),
            "the peer is not an SRPC server (it sent \"Pellary \\\"1.0\\\"\\r\\n\\xB0\\xE6" +
                std::string(15, 'y') + "...\")");
  EXPECT_FALSE(client.IsConnected());
}

}  // namespace
