// Helpers shared by the srpc tests: a connected pair of sockets over 127.0.0.1 on a port the
// system chooses, and byte strings. Tests only; every socket closes when its owner goes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "srpc/stdsocket.h"

namespace srpc_testing {

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

// A listener on 127.0.0.1 with a port of the system's choice, and its port as text.
struct Listener {
  std::unique_ptr<StdSocket> socket = std::make_unique<StdSocket>();
  std::string port;

  explicit Listener(int backlog = 16) {
    EXPECT_TRUE(socket->Bind("127.0.0.1", "0"));
    CString address;
    int number = 0;
    EXPECT_TRUE(socket->GetLocalAddr(&address, &number));
    port = std::to_string(number);
    EXPECT_TRUE(socket->Listen(backlog));
  }
};

// A client connected to a server-side socket accepted from its own listener.
struct Pair {
  Listener listener;
  std::unique_ptr<StdSocket> client = std::make_unique<StdSocket>();
  std::unique_ptr<StdSocket> server;

  Pair() {
    EXPECT_TRUE(client->Connect("127.0.0.1", listener.port.c_str()));
    server.reset(listener.socket->Accept());
    EXPECT_NE(server, nullptr);
  }
};

}  // namespace srpc_testing
