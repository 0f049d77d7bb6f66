// The reference for the network benchmarks: a bare TCP exchange over loopback. A server
// thread per connection reads a fixed-size request and answers with a fixed-size block,
// the same byte counts as the SRPC call being measured, with no protocol work at all. It
// may also do the least work the call stands for (write and fsync the request, stat a
// path) before it answers: what any server of these calls would have to do.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "srpc/stdsocket.h"

namespace bench {

// What a connection of a bare server does with each request before it answers; it may give the
// answer's bytes (answer_bytes of them), or nullptr for the server's constant answer.
using Work = std::function<const char*(const std::vector<char>& request)>;
// Makes the work of one connection; connections are numbered from 0 as they are accepted.
using MakeWork = std::function<Work(int connection)>;

// A listener on 127.0.0.1 that answers every `request_bytes` read with `answer_bytes`.
// Returns its port; the server lives until the process ends.
inline int StartBareServer(int request_bytes, int answer_bytes, MakeWork make_work = nullptr) {
  auto* listener = new StdSocket();
  listener->Bind("127.0.0.1", "0");
  listener->Listen(64);
  std::thread([listener, request_bytes, answer_bytes, make_work] {
    for (int accepted = 0;; ++accepted) {
      StdSocket* peer = listener->Accept();
      if (peer == nullptr) continue;
      Work work = make_work ? make_work(accepted) : nullptr;
      std::thread([peer, request_bytes, answer_bytes, work] {
        std::vector<char> request(request_bytes);
        std::vector<char> answer(answer_bytes, 'A');
        while (peer->RecvExact(request.data(), request_bytes)) {
          const char* given = work ? work(request) : nullptr;
          peer->SendAll(given != nullptr ? given : answer.data(), answer_bytes);
        }
        delete peer;
      }).detach();
    }
  }).detach();
  CString address;
  int port = 0;
  listener->GetLocalAddr(&address, &port);
  return port;
}

// One client of a bare server: sends a request, waits for the whole answer.
class BareClient {
 public:
  BareClient(int port, int request_bytes, int answer_bytes)
      : request_(request_bytes, 'R'), answer_(answer_bytes) {
    std::string text = std::to_string(port);
    connected_ = socket_.Connect("127.0.0.1", text.c_str());
  }
  bool connected() const { return connected_; }
  bool Exchange() {
    return socket_.SendAll(request_.data(), static_cast<int>(request_.size())) &&
           socket_.RecvExact(answer_.data(), static_cast<int>(answer_.size()));
  }

 private:
  StdSocket socket_;
  std::vector<char> request_;
  std::vector<char> answer_;
  bool connected_ = false;
};

}  // namespace bench
