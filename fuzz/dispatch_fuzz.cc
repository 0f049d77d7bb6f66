// Whole requests through the dispatcher, as a session serves them: bytes in, answer out. The
// first byte chooses the kind (R or Y) and whether the procedure is named or numbered; the rest
// is the body: the procedure reference, then the arguments. The table has the service's
// formats, every argument letter and a table argument; its handlers count their arguments.
//
// What must hold for every request: kind R gets exactly one A or B packet, kind Y none, and
// serving it asks the heap for no more than the request's decode budget plus a few times its
// bytes (the log form of the arguments, the answer). A request that breaks the bound aborts.
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_target.h"
#include "runtime/memobj.h"
#include "srpc/srpcsvr.h"

namespace {

int32_t CountArguments(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList* results,
                       CString*) {
  results->Append(1);
  results->SetLong(0, arguments->Count());
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
    {"plif_get_version", "", CountArguments, 0, 0, 0, nullptr, 0},
    {"plif_file_read", "sli", CountArguments, 0, 0, 0, nullptr, 0},
    {"plif_file_write", "slb", CountArguments, 1, 0, 0, nullptr, 0},
    {"plif_file_rename", "ss", Fail, 0, 0, 0, nullptr, 0},
    {"every_letter", " bdfilrstu ", CountArguments, 0, 0, 0, nullptr, 0},
    {"table", "r", CountArguments, 0, 0, 0, nullptr, 0},
    SrpcHookEntry("SRPC_OPEN", Hook),
    SrpcHookEntry("SRPC_CLOSE", Hook),
    {nullptr, nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// A server that is never started, with one client registered as a session registers it.
class Dispatcher : public SRPCSocketSvr {
 public:
  Dispatcher() : SRPCSocketSvr(kTable) {
    session_.ctx = {nullptr, &client_, this};
    OnClientOpen(nullptr, &client_, &session_.user_value);
  }
  SrpcSession& session() { return session_; }

 private:
  StdSocket client_;
  SrpcSession session_;
};

// Made once and kept: a server's end waits for sessions that a fuzzer never has.
Dispatcher& TheDispatcher() {
  static auto* dispatcher = new Dispatcher();
  return *dispatcher;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

void FuzzDispatch(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const uint8_t kind = (data[0] & 1) != 0 ? kSrpcOneWay : kSrpcRequest;
  SrpcPacketWriter writer;
  if ((data[0] & 2) != 0) {
    writer.BeginExtended(kind);
  } else {
    writer.BeginPlain(kind);
  }
  writer.stream().Write(data + 1, static_cast<int>(size - 1));
  const char* bytes;
  int length;
  Check(writer.Finish(&bytes, &length));
  SrpcPacket packet;
  Check(packet.Open(bytes, length));

  Dispatcher& dispatcher = TheDispatcher();
  uint64_t before = Heap::AllocatedBytes();
  const char* answer = nullptr;
  int answer_length = 0;
  Check(dispatcher.ServePacket(dispatcher.session(), packet, &answer, &answer_length));
  uint64_t taken = Heap::AllocatedBytes() - before;
  Check(taken <=
        static_cast<uint64_t>(DecodeLimits::For(length).storage_left) + 4 * size + (64 << 10));

  if (kind == kSrpcOneWay) {
    Check(answer == nullptr);
  } else {
    SrpcPacket opened;
    Check(answer != nullptr && opened.Open(answer, answer_length));
    Check(opened.Kind() == kSrpcAnswer || opened.Kind() == kSrpcErrorAnswer);
  }
  // Nothing of one input outlives it: a table that a cell points to is found by no leak
  // checker, since cells keep their pointers unaligned.
  dispatcher.session().arguments.Clear();
  dispatcher.session().results.Clear();
}

PELLARY_FUZZ_TARGET(FuzzDispatch)
