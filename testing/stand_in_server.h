// An SRPC server on 127.0.0.1, on a port of the system's choice, serving a table of stand-in
// procedures: for tests of clients against answers the real server never gives.
#pragma once

#include "srpc/srpcsvr.h"

class StandInServer {
 public:
  explicit StandInServer(const SrpcProcEntry* table) : server_(table) {
    server_.set_log([](const char*) {});
    server_.StartInBackground("127.0.0.1", 0, 10);
    server_.WaitStarted();
  }
  ~StandInServer() {
    server_.Stop();
    server_.WaitForStarter();
  }
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  int port() {
    CString address;
    int port = 0;
    server_.GetLocalAddr(&address, &port);
    return port;
  }

 private:
  SRPCSocketSvr server_;
};
