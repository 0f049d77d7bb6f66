// The monitor-server base: a SocketSvr whose clients receive a banner and then every text
// broadcast after they connected. Each client has a bounded queue (a fixed number of
// fixed-size text buffers): a client that cannot keep up loses texts once its queue is full,
// and no other client notices. A stop still sends each client what was queued for it before
// (the shutdown lines), within the stop's grace time.
//
// Threads: Broadcast from any thread; one session thread per monitor client. Lock order: the
// client-list lock, then one client's lock; a session takes only its own client's lock.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "foundation/cstring.h"
#include "runtime/mt.h"
#include "srpc/socketsvr.h"

class MonitorServer : public SocketSvr {
 public:
  static constexpr size_t kClientStack = 0x20000;

  MonitorServer(int buffers_per_client, int buffer_size);
  ~MonitorServer() override;

  // Prints the text on the console and queues it for every monitor client.
  void Broadcast(const char* text);
  void SetBanner(const char* banner);
  int ClientCount();

 protected:
  void ServeClient(ClientThread* thread, StdSocket* client) override;

 private:
  struct Client;
  Client* Register();
  void Unregister(Client* client);
  // The oldest queued text copied into `out` (NUL-terminated), its buffer freed → true; false
  // when the queue is empty.
  bool TakeText(Client* client, char* out);
  static bool DiscardInput(StdSocket* socket);
  static bool Send(StdSocket* socket, const std::vector<char>& text);

  int buffers_per_client_;
  int buffer_size_;
  CCriticalSection banner_lock_;
  CString banner_;
  CCriticalSection clients_lock_{1};
  std::vector<Client*> clients_;
};
