// SRPCSocketSvr: the SRPC server. It executes remote calls against the procedure table that
// the application hands to its constructor, runs one session per connection (read a packet,
// dispatch it, answer it), and keeps the client table of connected clients and their current
// calls.
//
// The procedure table: the application's entries (name, argument format, handler, serialize
// flag; the rest 0) ended by an entry whose name is null. The server keeps a sorted copy with
// two built-ins added, "corvexa_srpc_findcmd" and "corvexa_srpc_getcmds"; a procedure's index
// is its place in that copy. Entries named "SRPC_OPEN" and "SRPC_CLOSE" hold connection hooks
// (SrpcHookEntry), never called as procedures: a request naming one is answered -1 "PROC NOT
// SUPPORT".
//
// Argument formats: one letter per argument after trimming: b NET_BINARY, d NET_DOUBLE,
// f NET_FLOAT, i NET_LONG, l NET_SUPERLONG, r NET_TABLE, s NET_STRING, t NET_DATETIME,
// u NET_LSTRING; a NULL argument counts with its type. Any other letter is a programming error
// (fatal internal error).
//
// A request is decoded only as far as its answer needs: the procedure is looked up first, and
// of its arguments at most one more than the format has letters is decoded (none when it names
// no procedure), so a request's memory follows the values that can matter, never the tail a
// client appends. The answers are those of a full decode.
//
// Idle time-out (off unless set): a session that has completed no request for that many
// seconds, since it connected or since its last call, is ended, whether it is silent or
// stopped inside a packet; keep-alive bytes do not count as requests. It keeps silent
// connections from holding srpc.maxclnt's places for ever.
//
// Threads: each session runs on its client's thread, so handlers run concurrently; an entry
// with the serialize flag runs one call at a time under its own lock. The statistics words and
// the client table change only under the client-table lock, which is never held while a
// handler runs. The sorted table is read-only after construction.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"
#include "runtime/mt.h"
#include "srpc/packet.h"
#include "srpc/socketsvr.h"
#include "values/netdat.h"
#include "values/nettable.h"

class SRPCSocketSvr;

// What every handler and hook of one connection is given.
struct SrpcCallCtx {
  ClientThread* thread;
  StdSocket* socket;
  SRPCSocketSvr* server;
};

// What one connection keeps between its calls: its argument and result lists, its error text
// and user value, and the writer of its answers. One thread uses it at a time.
struct SrpcSession {
  SrpcCallCtx ctx = {};
  NetValueList arguments;
  NetValueList results;
  CString error_text;
  int64_t user_value = 0;
  SrpcPacketWriter writer;
};

// 0 for success; any other value is an error code that goes back with `error_text`.
using SrpcProc = int32_t (*)(SrpcCallCtx* ctx, int64_t user_value, NetValueList* arguments,
                             NetValueList* results, CString* error_text);
// "SRPC_OPEN" / "SRPC_CLOSE": the result is ignored.
using SrpcHook = int32_t (*)(SrpcCallCtx* ctx, StdSocket* socket, int64_t* user_value);

struct SrpcProcEntry {
  const char* name = nullptr;
  const char* format = nullptr;
  SrpcProc handler = nullptr;
  int32_t serialize = 0;
  int32_t count = 0;                 // calls started
  int32_t total_ms = 0;              // sum of the handlers' durations
  CCriticalSection* lock = nullptr;  // made for serialized entries
  double last_call = 0;              // day number of the latest call's start
};

// A table entry holding a connection hook in its handler field (the server casts it back;
// the detour through void (*)() is the sanctioned way between function pointer types).
inline SrpcProcEntry SrpcHookEntry(const char* name, SrpcHook hook) {
  return {name,    "", reinterpret_cast<SrpcProc>(reinterpret_cast<void (*)()>(hook)), 0, 0, 0,
          nullptr, 0};
}

constexpr int32_t kSrpcProcNotSupported = -1;
constexpr int32_t kSrpcArgFormatError = -2;
// OnPreDispatch results that take over from the normal dispatch.
constexpr int32_t kSrpcHandled = 1;
constexpr int32_t kSrpcCloseConnection = -6;

class SRPCSocketSvr : public SocketSvr {
 public:
  static constexpr size_t kDefaultClientStack = 0x40000;
  static constexpr int kClientTimeoutSeconds = 300;

  SRPCSocketSvr(const SrpcProcEntry* table, size_t client_stack_size = kDefaultClientStack);
  ~SRPCSocketSvr() override;

  // Builds the sorted copy anew from `table`, statistics from 0: for an application whose
  // table depends on settings read after construction. Before Start only.
  void ReplaceTable(const SrpcProcEntry* table);

  int ProcCount() const { return count_; }
  const SrpcProcEntry& Proc(int index) const { return procs_[index]; }
  // Binary search by strcmp → the procedure index, or -1.
  int FindProc(const char* name) const;
  // Columns "proc", "count", "times", "time", one row per procedure in index order.
  int GetProcStats(NetTable* table);
  // Writes one line per running call, the latest-started first.
  void DumpCalls(const char* path);
  // A copy of the client table.
  void CopyClients(NetTable* table);
  // Serves one received packet for the connection of `session` (whose client OnClientOpen
  // registered), as the session loop does. Only the arguments that can decide the call are
  // decoded (see OnPreDispatch); binaries are not copied but refer into the packet. *answer
  // gets the answer that is due (no pieces when none is), valid until the session's next
  // answer or EndCall. False when the connection is to be closed (OnPreDispatch gave
  // kSrpcCloseConnection).
  bool ServePacket(SrpcSession& session, SrpcPacket& packet, SrpcPieces* answer);
  // Sends the answer ServePacket gave. One that lends bytes of the results (cache blocks whose
  // locks the lender holds meanwhile, say) is offered once without waiting; what did not fit is
  // copied and the results are let go before the rest waits for a slow peer.
  static void SendAnswer(SrpcSession& session, StdSocket& client, const SrpcPieces& answer);
  // After the answer went out: lets go of the call's values (their lent bytes among them) and
  // of a large answer buffer, so that an idle connection holds little memory.
  static void EndCall(SrpcSession& session);
  // Seconds; 0 (the default) for none. Set before Start.
  void set_idle_timeout(int seconds) { idle_timeout_ = seconds; }

 protected:
  void ServeClient(ClientThread* thread, StdSocket* client) override;
  int OnClientOpen(ClientThread* thread, StdSocket* client, int64_t* user_value) override;
  int OnClientClose(ClientThread* thread, StdSocket* client, int64_t* user_value) override;
  // 0 continues with the normal dispatch; kSrpcHandled answers (kind R) with the results as
  // they are; kSrpcCloseConnection ends the session without an answer. `arguments` holds what
  // the dispatch decoded: none for a request that names no procedure (unknown, a hook, or a
  // reference cut short), else at most one value more than the procedure's format has letters,
  // which is every argument of any call that can pass the format check. A server that needs
  // more decodes `opened` itself.
  virtual int32_t OnPreDispatch(SrpcCallCtx* ctx, const char* packet, int length,
                                SrpcPacket* opened, int64_t user_value, NetValueList* arguments,
                                NetValueList* results, CString error_text);

 private:
  enum class Outcome { kAnswer, kError, kClose };

  void BuildTable(const SrpcProcEntry* table);
  void ReleaseTable();
  void SortTable();
  void CallHook(const char* name, SrpcCallCtx* ctx, StdSocket* client, int64_t* user_value);
  Outcome Dispatch(SrpcSession& session, SrpcPacket& packet, int index, int32_t* code);
  int ResolveIndex(const SrpcRequest& request) const;
  int32_t Execute(SrpcSession& session, SrpcProcEntry& entry);
  void CallStarted(SrpcSession& session, SrpcProcEntry& entry);
  void CallEnded(SrpcSession& session, SrpcProcEntry& entry, uint32_t start);
  int ClientRow(StdSocket* client) const;
  void BuildAnswer(SrpcSession& session, Outcome outcome, int32_t code, SrpcPieces* answer);
  // What is left of a session's idle time → milliseconds (0 when over), -1 without a limit.
  int64_t IdleLeft(uint32_t idle_since) const;

  static int32_t FindCmd(SrpcCallCtx* ctx, int64_t, NetValueList* arguments, NetValueList* results,
                         CString*);
  static int32_t GetCmds(SrpcCallCtx* ctx, int64_t, NetValueList*, NetValueList* results, CString*);

  SrpcProcEntry* procs_ = nullptr;
  int count_ = 0;
  CCriticalSection clients_lock_;
  NetTable clients_{100, 128};
  int sock_column_ = 0;
  struct CallColumns {
    int proc, count, time, param, thread;
  } call_columns_ = {};  // the client table's columns that every call sets
  int idle_timeout_ = 0;
};
