// The monitor-server base: banner, per-client bounded queues, broadcast.
#include "runtime/monitor/netmon.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "runtime/monitor/console.h"

namespace {

constexpr char kUnit[] = "netmon";
constexpr uint32_t kIdleSleepMs = 1000;

}  // namespace

// One monitor client: texts waiting to be sent, in buffers taken from its own free list.
struct MonitorServer::Client {
  CCriticalSection lock{1};
  std::deque<char*> queue;
  std::vector<char*> free;
  std::vector<char> memory;
};

MonitorServer::MonitorServer(int buffers_per_client, int buffer_size)
    : SocketSvr(kClientStack), buffers_per_client_(buffers_per_client), buffer_size_(buffer_size) {}

MonitorServer::~MonitorServer() {
  // The sessions use this object's members: they end before the members go.
  Stop();
  WaitForSafeShutdown();
}

void MonitorServer::SetBanner(const char* banner) {
  ScopedLock hold(banner_lock_, kUnit, __LINE__);
  banner_ = banner;
}

void MonitorServer::Broadcast(const char* text) {
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  console::Print(text);
  size_t length = std::strlen(text);
  size_t kept = length < static_cast<size_t>(buffer_size_ - 1) ? length : buffer_size_ - 1;
  for (Client* client : clients_) {
    ScopedLock client_hold(client->lock, kUnit, __LINE__);
    if (client->free.empty()) continue;  // a full queue: lost for this client only
    char* buffer = client->free.back();
    client->free.pop_back();
    std::memcpy(buffer, text, kept);
    buffer[kept] = '\0';
    client->queue.push_back(buffer);
  }
}

int MonitorServer::ClientCount() {
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  return static_cast<int>(clients_.size());
}

MonitorServer::Client* MonitorServer::Register() {
  Client* client = new Client;
  client->memory.resize(static_cast<size_t>(buffers_per_client_) * buffer_size_);
  for (int i = 0; i < buffers_per_client_; ++i) {
    client->free.push_back(client->memory.data() + static_cast<size_t>(i) * buffer_size_);
  }
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  clients_.push_back(client);
  return client;
}

void MonitorServer::Unregister(Client* client) {
  {
    ScopedLock hold(clients_lock_, kUnit, __LINE__);
    std::erase(clients_, client);
  }
  delete client;
}

bool MonitorServer::TakeText(Client* client, char* out) {
  ScopedLock hold(client->lock, kUnit, __LINE__);
  if (client->queue.empty()) return false;
  char* buffer = client->queue.front();
  client->queue.pop_front();
  std::memcpy(out, buffer, buffer_size_);
  client->free.push_back(buffer);
  return true;
}

bool MonitorServer::DiscardInput(StdSocket* socket) {
  char ignored[256];
  while (socket->WaitReadable(0, 0) > 0) {
    if (socket->RecvSome(ignored, sizeof ignored) <= 0) return false;
  }
  return socket->IsConnected();
}

void MonitorServer::ServeClient(ClientThread*, StdSocket* socket) {
  CString banner;
  {
    ScopedLock hold(banner_lock_, kUnit, __LINE__);
    banner = banner_;
  }
  if (!socket->SendAll(banner.GetString(), banner.GetLength())) return;
  Client* client = Register();
  std::vector<char> text(buffer_size_);
  bool connected = true;
  while (connected && IsStopping() == 0 && DiscardInput(socket)) {
    if (!TakeText(client, text.data())) {
      platform::SleepMs(kIdleSleepMs);
      continue;
    }
    connected = Send(socket, text);
  }
  // What was logged before the stop (the shutdown lines above all) still goes out. A client
  // that takes nothing cannot hold the stop up: its send side is shut after the grace time.
  if (connected && IsStopping() != 0) {
    while (TakeText(client, text.data()) && Send(socket, text)) {
    }
  }
  Unregister(client);
}

bool MonitorServer::Send(StdSocket* socket, const std::vector<char>& text) {
  return socket->SendAll(text.data(), static_cast<int>(std::strlen(text.data())));
}
