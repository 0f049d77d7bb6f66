// Requests served as a session serves them (first byte: kind R or Y, by name or by index): R gets
// one A or B packet, Y none, and the heap grows by the decode budget and a few bytes at most.
#include <cstdlib>

#include "fuzz/fuzz_target.h"
#include "runtime/memobj.h"
#include "srpc/srpcsvr.h"

namespace {

int32_t CountArguments(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList* results,
                       CString*) {
  results->SetLong(results->Append(1) - 1, arguments->Count());
  return 0;
}

int32_t Fail(SrpcCallCtx*, int64_t, NetValueList*, NetValueList*, CString* error_text) {
  *error_text = "refused";
  return 3;
}

int32_t Hook(SrpcCallCtx*, StdSocket*, int64_t* user_value) {
  *user_value = 7;
  return 0;
}

const SrpcProcEntry kTable[] = {
    {"plif_get_version", "", CountArguments},
    {"plif_file_read", "sli", CountArguments},
    {"plif_file_write", "slb", CountArguments, 1},
    {"plif_file_rename", "ss", Fail},
    {"every_letter", " bdfilrstu ", CountArguments},
    {"table", "r", CountArguments},
    SrpcHookEntry("SRPC_OPEN", Hook),
    SrpcHookEntry("SRPC_CLOSE", Hook),
    {},
};

// A server never started, with one client registered as a session registers it.
struct Dispatcher : SRPCSocketSvr {
  StdSocket client;
  SrpcSession session;
  Dispatcher() : SRPCSocketSvr(kTable) {
    session.ctx = {nullptr, &client, this};
    OnClientOpen(nullptr, &client, &session.user_value);
  }
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

void FuzzDispatch(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const uint8_t kind = (data[0] & 1) != 0 ? kSrpcOneWay : kSrpcRequest;
  SrpcPacketWriter writer;
  (data[0] & 2) != 0 ? writer.BeginExtended(kind) : writer.BeginPlain(kind);
  writer.stream().Write(data + 1, static_cast<int>(size - 1));
  const char* bytes;
  int length;
  Check(writer.Finish(&bytes, &length));
  SrpcPacket packet;
  Check(packet.Open(bytes, length));

  static auto& dispatcher = *new Dispatcher();  // kept: a server's end waits for sessions
  uint64_t before = Heap::AllocatedBytes();
  SrpcPieces answer;
  Check(dispatcher.ServePacket(dispatcher.session, packet, &answer));
  Check(Heap::AllocatedBytes() - before <=
        static_cast<uint64_t>(DecodeLimits::For(length).storage_left) + 4 * size + (64 << 10));
  std::string bytes_out = answer.Joined();
  SrpcPacket opened;
  bool answered = opened.Open(bytes_out.data(), static_cast<int>(bytes_out.size())) &&
                  (opened.Kind() == kSrpcAnswer || opened.Kind() == kSrpcErrorAnswer);
  Check(kind == kSrpcOneWay ? answer.count == 0 : answered);
  // Nothing of one input outlives it (leak checkers miss the tables cells point to).
  SRPCSocketSvr::EndCall(dispatcher.session);
}

PELLARY_FUZZ_TARGET(FuzzDispatch)
