// SrpcClient: the client side of SRPC over one TCP connection, for tests, tools and
// benchmarks. One call at a time per connection: a call sends its request and reads packets
// until the answer to it has come.
//
// Results of a call: 0 with the results in the list for an 'A' answer; the code of a 'B'
// answer with its text in error_text(); kSrpcConnectionBroken when the connection failed or
// closed before the answer was complete, or when the peer sent something other than a packet
// (error_text() then says what the socket saw, or what the peer sent, and the client is no
// longer connected).
//
// A client is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/cstring.h"
#include "srpc/packet.h"
#include "srpc/stdsocket.h"
#include "values/netdat.h"

constexpr int32_t kSrpcConnectionBroken = -1000;

class SrpcClient {
 public:
  SrpcClient();
  ~SrpcClient();
  SrpcClient(const SrpcClient&) = delete;
  SrpcClient& operator=(const SrpcClient&) = delete;

  // Connects to a host name, an IPv4 or an IPv6 address within
  // StdSocket::kConnectTimeoutSeconds for each of its addresses; a failure gives false and a
  // line for the user ("connect 127.0.0.1:7027: Connection refused", "resolve no such host:
  // Name or service not known").
  bool Connect(const char* host, int port);
  void Close();
  bool IsConnected() const;

  // A request ('R') by name or by procedure index, and its answer.
  int32_t Call(const char* procedure, const NetValueList& arguments, NetValueList* results);
  int32_t CallIndex(uint32_t index, const NetValueList& arguments, NetValueList* results);
  // A one-way request ('Y'): nothing comes back. False when the send failed.
  bool Send(const char* procedure, const NetValueList& arguments);
  bool SendIndex(uint32_t index, const NetValueList& arguments);
  // One keep-alive byte.
  bool KeepAlive();
  // The index of a procedure through "corvexa_srpc_findcmd": -1 when the server has none,
  // below -1 when the call failed.
  int32_t FindProc(const char* procedure);

  const CString& error_text() const { return error_text_; }
  // How long one answer may take before the connection counts as broken.
  void set_answer_timeout(int seconds) { answer_timeout_ = seconds; }
  // With true, binaries of an answer are not copied into the results: they refer into the
  // client's packet buffer and stay valid until its next call, send or close.
  void set_lend_results(bool lend) { lend_results_ = lend; }

 private:
  bool SendRequest(uint8_t kind, const char* procedure, const uint32_t* index,
                   const NetValueList& arguments);
  int32_t ReadAnswer(NetValueList* results);
  int32_t Broken(const char* what);
  int32_t NotSrpc();

  std::unique_ptr<StdSocket> socket_;
  SrpcPacketWriter writer_;
  std::unique_ptr<SrpcPacketReader> reader_;
  CString error_text_;
  int answer_timeout_ = 300;
  bool lend_results_ = false;
};
