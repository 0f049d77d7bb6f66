// An SRPC server on 127.0.0.1, on a port of the system's choice, serving a table in the
// background until it goes: stand-in procedures for tests of clients against answers the real
// server never gives, or the server's own tables for tests of the server.
#pragma once

#include <string>
#include <vector>

#include "srpc/srpcsvr.h"
#include "values/nettable.h"

class StandInServer {
 public:
  // `log` takes the server's own log lines (dropped when it is null); an `idle_timeout` of 0
  // keeps silent sessions.
  explicit StandInServer(
      const SrpcProcEntry* table, int max_clients = 10, int idle_timeout = 0,
      SocketSvrLog log = [](const char*) {})
      : server_(table) {
    server_.set_idle_timeout(idle_timeout);
    if (log != nullptr) server_.set_log(log);
    server_.StartInBackground("127.0.0.1", 0, max_clients);
    server_.WaitStarted();
  }
  ~StandInServer() {
    server_.Stop();
    server_.WaitForStarter();
  }
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  SRPCSocketSvr* operator->() { return &server_; }
  SRPCSocketSvr& server() { return server_; }
  int port() {
    CString address;
    int port = 0;
    server_.GetLocalAddr(&address, &port);
    return port;
  }

 private:
  SRPCSocketSvr server_;
};

// An entry table as the listing and stat procedures answer it: one row for each of `names`, of
// length 1, a directory when `dirs`; without the "mtime" column when not `with_mtime`.
inline NetTable* EntryTable(const std::vector<std::string>& names, bool dirs = false,
                            bool with_mtime = true) {
  auto* table = new NetTable();
  table->AddColumn("name", NET_CSTRING);
  table->AddColumn("dir", NET_LONG);
  table->AddColumn("length", NET_SUPERLONG);
  if (with_mtime) table->AddColumn("mtime", NET_SUPERLONG);
  for (const std::string& name : names) {
    int row = table->AppendRow();
    table->SetCString(row, "name", CString(name.c_str()));
    table->SetLong(row, "dir", dirs ? 1 : 0);
    table->SetSuperLong(row, "length", 1);
  }
  return table;
}
