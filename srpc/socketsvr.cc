// The accept loop, the client threads, the reaper and the safe stop of SocketSvr.
#include "srpc/socketsvr.h"

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "socketsvr";
// A full server looks again for a free place this often; pending clients wait in the
// system's backlog meanwhile.
constexpr uint32_t kFullPollMs = 1000;
constexpr int kListenBacklog = 0x7fffffff;
constexpr char kOutOfDescriptors[] =
    "accept failed:%d no descriptors left, pending clients are closed until some are free\r\n";

}  // namespace

ClientThread::ClientThread(SocketSvr* server, StdSocket* client, size_t stack_size)
    : JThread(stack_size), server_(server), client_(client) {}

ClientThread::~ClientThread() {
  delete client_;
}

uint32_t ClientThread::Run() {
  server_->OnThreadStart(this);
  server_->ServeClient(this, client_);
  server_->ClientFinished(this);
  server_->OnThreadEnd(this);
  return 0;
}

SocketSvr::SocketSvr(size_t client_stack_size)
    : StdSocket(platform::kInvalidSocket, kClientWriteBuffer, platform::SocketType::kStream),
      client_stack_size_(client_stack_size) {}

SocketSvr::~SocketSvr() {
  Stop();
  WaitForSafeShutdown();
  WaitForStarter();
}

bool SocketSvr::Start(const char* address, const char* port, int max_clients) {
  SetOption(platform::SocketOption::kReuseAddress, 1);
  SetOption(platform::SocketOption::kKeepAlive, 1);
  max_clients_ = max_clients;
  if (!Bind(address, port)) {
    std::printf("bind(%s,%s) failed\n", address, port);
    return false;
  }
  // The stop flag is not cleared here: a Stop that came while the caller was still starting
  // up (a service stop during start-up) must end this loop, not be forgotten.
  reaper_.StartRoutine(ReaperLoop);
  MakeReserve();
  while (IsStopping() == 0) {
    if (ActiveCount() >= max_clients_) {
      platform::SleepMs(kFullPollMs);
      continue;
    }
    Listen(kListenBacklog);
    MarkStarted();
    AcceptOne();
  }
  FinishAccepting();
  return true;
}

void SocketSvr::MarkStarted() {
  ScopedLock hold(flag_lock_, kUnit, __LINE__);
  if (started_ != 0) return;
  started_ = 1;
  started_signal_.Unlock();
}

void SocketSvr::AcceptOne() {
  StdSocket* client = Accept();
  if (client != nullptr) {
    out_of_descriptors_ = false;
    if (reserve_ == nullptr) MakeReserve();
  } else if (last_error() == platform::kWsaEmfile) {
    client = AcceptWithReserve();
  }
  if (client == nullptr) return;  // also how a Stop from another thread shows here
  ClientThread* thread = new ClientThread(this, client, client_stack_size_);
  {
    ScopedLock hold(list_lock_, kUnit, __LINE__);
    active_.push_back(thread);
  }
  if (thread->Start() != 0) return;
  RemoveActive(thread);
  delete thread;  // closes the client with it
}

// An accept that failed for want of descriptors fails again at once, and one that waits holds
// a descriptor while it waits. So the loop waits for a pending client without accepting, and
// only then gives the reserve's descriptor back for the one accept.
StdSocket* SocketSvr::AcceptWithReserve() {
  if (!out_of_descriptors_) {
    out_of_descriptors_ = true;
    CString line;
    line.Format(kOutOfDescriptors, static_cast<int>(last_error()));
    Log(line);
  }
  if (reserve_ == nullptr) MakeReserve();
  if (reserve_ == nullptr) {
    platform::SleepMs(kShortagePollMs);
    return nullptr;
  }
  if (platform::SocketWait(handle(), platform::SocketWaitFor::kReadable, kShortagePollMs) !=
      platform::SocketWaitResult::kReady) {
    return nullptr;
  }
  reserve_.reset();
  std::unique_ptr<StdSocket> client(Accept());
  MakeReserve();
  if (reserve_ != nullptr) return client.release();  // descriptors came free: served
  client.reset();  // closed at once; its descriptor becomes the reserve again
  MakeReserve();
  return nullptr;
}

void SocketSvr::MakeReserve() {
  reserve_ = std::make_unique<StdSocket>(platform::kInvalidSocket, 0);
  if (reserve_->handle() == platform::kInvalidSocket) reserve_.reset();
}

void SocketSvr::Log(const char* line) {
  if (log_ != nullptr) {
    log_(line);
  } else {
    std::printf("%s", line);
  }
}

void SocketSvr::FinishAccepting() {
  WaitForSafeShutdown();
  reaper_.Stop();
  reaper_wake_.Unlock();
  reaper_.Wait();
  reserve_.reset();
  ScopedLock hold(flag_lock_, kUnit, __LINE__);
  started_ = 0;
}

void SocketSvr::RemoveActive(ClientThread* thread) {
  ScopedLock hold(list_lock_, kUnit, __LINE__);
  active_.erase(std::find(active_.begin(), active_.end(), thread));
}

void SocketSvr::ClientFinished(ClientThread* thread) {
  {
    ScopedLock hold(list_lock_, kUnit, __LINE__);
    active_.erase(std::find(active_.begin(), active_.end(), thread));
    delete thread->client_;
    thread->client_ = nullptr;
    finished_.push_back(thread);
  }
  reaper_wake_.Unlock();
}

uint32_t SocketSvr::ReaperLoop(JThread* reaper) {
  SocketSvr* server = static_cast<ServerThread*>(reaper)->server();
  bool found = true;
  while (!(reaper->IsStopping() != 0 && !found)) {
    server->reaper_wake_.Lock(kUnit, __LINE__);
    found = server->ReapFinished();
  }
  return 0;
}

bool SocketSvr::ReapFinished() {
  ScopedLock hold(list_lock_, kUnit, __LINE__);
  bool found = !finished_.empty();
  for (ClientThread* thread : finished_) {
    thread->Wait();
    delete thread;
  }
  finished_.clear();
  return found;
}

bool SocketSvr::StartInBackground(const char* address, int port, int max_clients) {
  address_ = address;
  port_.Format("%d", port);
  max_clients_ = max_clients;
  starter_.StartRoutine(StarterBody);
  return true;
}

uint32_t SocketSvr::StarterBody(JThread* starter) {
  SocketSvr* server = static_cast<ServerThread*>(starter)->server();
  return server->Start(server->address_, server->port_, server->max_clients_) ? 1 : 0;
}

void SocketSvr::WaitForStarter() {
  if (starter_.handle() != platform::kNoThread) starter_.Wait();
}

void SocketSvr::WaitStarted() {
  started_signal_.Lock(kUnit, __LINE__);
  started_signal_.Unlock();
}

void SocketSvr::Stop() {
  {
    ScopedLock hold(flag_lock_, kUnit, __LINE__);
    if (stop_ == 0) stop_tick_ = platform::GetTickCount();
    stop_ = 1;
  }
  Close(true);  // a blocked Accept fails
  starter_.Stop();
  // A session that waits for bytes would otherwise wait up to the socket's time-out (300 s
  // inside a packet); one inside a call keeps its send side for the answer.
  InterruptSessions(platform::SocketShutdownHow::kReceive);
}

int SocketSvr::IsStopping() {
  ScopedLock hold(flag_lock_, kUnit, __LINE__);
  return stop_;
}

void SocketSvr::WaitForSafeShutdown() {
  while (ActiveCount() != 0) {
    platform::SleepMs(kFullPollMs);
    // What is left waits to send to a client that takes nothing.
    if (StopGraceOver()) InterruptSessions(platform::SocketShutdownHow::kBoth);
  }
}

void SocketSvr::InterruptSessions(platform::SocketShutdownHow how) {
  ScopedLock hold(list_lock_, kUnit, __LINE__);
  for (ClientThread* thread : active_) thread->client_->Interrupt(how);
}

bool SocketSvr::StopGraceOver() {
  ScopedLock hold(flag_lock_, kUnit, __LINE__);
  return stop_ != 0 && platform::GetTickCount() - stop_tick_ >= kStopGraceMs;
}

int SocketSvr::ActiveCount() {
  ScopedLock hold(list_lock_, kUnit, __LINE__);
  return static_cast<int>(active_.size());
}

int SocketSvr::OnClientOpen(ClientThread*, StdSocket*, int64_t*) {
  return 1;
}

int SocketSvr::OnClientClose(ClientThread*, StdSocket*, int64_t*) {
  return 1;
}

void SocketSvr::OnThreadStart(ClientThread*) {}

int SocketSvr::OnThreadEnd(ClientThread*) {
  return 1;
}
