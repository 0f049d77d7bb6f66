// SocketSvr: the threaded TCP server. The object is the listening socket; Start runs the
// accept loop on the calling thread, every accepted client is served on a ClientThread of its
// own, and a reaper thread deletes the threads whose session ended.
//
// Stopping: Stop shuts down the receive side of every active session's socket, so that a
// session waiting for its client's bytes (idle, or inside a packet) ends at once, while a
// session inside a call finishes it and can still answer. Sessions still active
// kStopGraceMs later (their client does not take an answer) get both sides shut down by
// WaitForSafeShutdown, so that a stop never waits for what a client does.
//
// Out of descriptors: an accept that fails for want of descriptors would fail again at once.
// The accept loop logs one line for the episode (it ends when an accept succeeds again) and
// keeps a reserve socket. It waits (kShortagePollMs at a time) until a client is pending, then
// gives the reserve's descriptor back for one accept: the client is served if a descriptor
// came free meanwhile, else closed at once, so that clients learn it instead of waiting in
// the backlog. Without a reserve it tries to make one again every kShortagePollMs.
//
// Threads: the thread in Start (accept loop), the reaper, one thread per client, and for the
// background start the starter thread. Stop, IsStopping, ActiveCount and
// WaitForSafeShutdown may be called from any thread; set_log before Start.
//
// Invariants:
//  1. A ClientThread is in exactly one of the active and finished lists from the moment it is
//     created until the reaper deletes it; both lists change only under the list lock.
//  2. The flag lock guards the stop and started flags and the stop's time; no code path holds
//     two of the server's locks at once. The list lock is held while active sessions'
//     sockets are interrupted, and each socket takes its own handle lock inside it.
//  3. The accepted client socket belongs to its ClientThread until the session ends; other
//     threads only Interrupt it, under the list lock, which keeps it from being deleted
//     meanwhile (its own Close may still run: StdSocket keeps the two apart).
//  4. The reserve socket and the episode flag belong to the accept loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/cstring.h"
#include "runtime/jthread.h"
#include "runtime/mt.h"
#include "srpc/stdsocket.h"

class SocketSvr;

// The thread of one client: runs the server's session for the socket it holds.
class ClientThread : public JThread {
 public:
  ClientThread(SocketSvr* server, StdSocket* client, size_t stack_size);
  ~ClientThread() override;

  SocketSvr* server() const { return server_; }
  StdSocket* client() const { return client_; }

 protected:
  uint32_t Run() override;

 private:
  friend class SocketSvr;
  SocketSvr* server_;
  StdSocket* client_;
};

// A thread of the server's own (the reaper, the starter) that knows its server.
class ServerThread : public JThread {
 public:
  explicit ServerThread(SocketSvr* server) : server_(server) {}
  SocketSvr* server() const { return server_; }

 private:
  SocketSvr* server_;
};

// Where a server reports what an operator should see: one line, ending in "\r\n".
using SocketSvrLog = void (*)(const char* line);

class SocketSvr : public StdSocket {
 public:
  // After a Stop, sessions keep their send side this long to deliver their answers.
  static constexpr uint32_t kStopGraceMs = 3000;
  // Out of descriptors, the accept loop looks for a pending client, or for a descriptor to
  // keep in reserve, this often.
  static constexpr uint32_t kShortagePollMs = 100;

  explicit SocketSvr(size_t client_stack_size);
  // Stops, waits for every session and for the starter thread.
  ~SocketSvr() override;

  // Binds and runs the accept loop until Stop → true; false only when the bind fails.
  bool Start(const char* address, const char* port, int max_clients);
  // Runs Start on the starter thread and returns at once with true.
  bool StartInBackground(const char* address, int port, int max_clients);
  // Blocks until the starter thread's Start has returned.
  void WaitForStarter();
  // Blocks until the accept loop is first ready to accept.
  void WaitStarted();

  // Sets the stop flag, closes the listener and shuts down the receive side of every
  // active session.
  void Stop();
  int IsStopping();
  // Returns when no client thread is active, looking once a second; once a stop is
  // kStopGraceMs old, shuts both sides of the remaining sessions down.
  void WaitForSafeShutdown();
  int ActiveCount();
  // Without a log the lines go to standard output.
  void set_log(SocketSvrLog log) { log_ = log; }

 protected:
  // The session of one client, on its own thread.
  virtual void ServeClient(ClientThread* thread, StdSocket* client) = 0;
  virtual int OnClientOpen(ClientThread* thread, StdSocket* client, int64_t* user_value);
  virtual int OnClientClose(ClientThread* thread, StdSocket* client, int64_t* user_value);
  virtual void OnThreadStart(ClientThread* thread);
  virtual int OnThreadEnd(ClientThread* thread);

 private:
  friend class ClientThread;
  static uint32_t ReaperLoop(JThread* reaper);
  static uint32_t StarterBody(JThread* starter);
  // Ends the accept loop: every session gone, the reaper ended.
  void FinishAccepting();
  void AcceptOne();
  StdSocket* AcceptWithReserve();
  void MakeReserve();
  void Log(const char* line);
  void InterruptSessions(platform::SocketShutdownHow how);
  bool StopGraceOver();
  void MarkStarted();
  void ClientFinished(ClientThread* thread);
  bool ReapFinished();
  void RemoveActive(ClientThread* thread);

  size_t client_stack_size_;
  int max_clients_ = 0;
  int stop_ = 0;
  uint32_t stop_tick_ = 0;  // when Stop set the flag
  int started_ = 0;
  CCriticalSection flag_lock_;
  CCriticalSection list_lock_;
  std::vector<ClientThread*> active_;
  std::vector<ClientThread*> finished_;
  CSemaphore reaper_wake_{0, 30000};
  CSemaphore started_signal_{0, 1};
  ServerThread reaper_{this};
  ServerThread starter_{this};
  CString address_;
  CString port_;
  std::unique_ptr<StdSocket> reserve_;
  bool out_of_descriptors_ = false;  // an episode was logged and has not ended
  SocketSvrLog log_ = nullptr;
};
