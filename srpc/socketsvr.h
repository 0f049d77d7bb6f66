// SocketSvr: the threaded TCP server. The object is the listening socket; Start runs the
// accept loop on the calling thread, every accepted client is served on a ClientThread of its
// own, and a reaper thread deletes the threads whose session ended.
//
// Threads: the thread in Start (accept loop), the reaper, one thread per client, and for the
// background start the starter thread. Stop, IsStopping, ActiveCount and
// WaitForSafeShutdown may be called from any thread.
//
// Invariants:
//  1. A ClientThread is in exactly one of the active and finished lists from the moment it is
//     created until the reaper deletes it; both lists change only under the list lock.
//  2. The flag lock guards the stop and started flags; no code path holds two of the server's
//     locks at once.
//  3. The accepted client socket belongs to its ClientThread until the session ends.
#pragma once

#include <cstddef>
#include <cstdint>
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

class SocketSvr : public StdSocket {
 public:
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

  void Stop();
  int IsStopping();
  // Returns when no client thread is active, looking once a second.
  void WaitForSafeShutdown();
  int ActiveCount();

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
  void MarkStarted();
  void ClientFinished(ClientThread* thread);
  bool ReapFinished();
  void RemoveActive(ClientThread* thread);

  size_t client_stack_size_;
  int max_clients_ = 0;
  int stop_ = 0;
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
};
