// The opt-in procedures served for real (first byte: which one; the rest: its argument values
// as they travel), on a disk manager over a fresh directory that the access policy fences, so
// that no input reaches beyond it. A first argument starting with '~' has the directory put in
// its place, so that inputs name real entries. Each answer holds one value of the procedure's
// type, or is the argument-format error.
#include <cstdlib>
#include <string>

#include "filesvc/access.h"
#include "filesvc/pellarymng.h"
#include "filesvc/procs.h"
#include "fuzz/fuzz_target.h"
#include "srpc/srpcsvr.h"
#include "testing/temp_dir.h"

namespace {

struct Procedure {
  const char* name;
  int type;  // of the one result value
};
constexpr Procedure kProcedures[] = {{"plif_dir_list", NET_TABLE},
                                     {"plif_file_stat", NET_TABLE},
                                     {"plif_file_checksum", NET_SUPERLONG}};

void Check(bool condition) {
  if (!condition) std::abort();
}

// A server never started, with one client registered as a session registers it.
struct Service : SRPCSocketSvr {
  TempDir temp, files;
  PellaryMng mng{temp.path().c_str(), files.path().c_str(), 0, 1 << 20};
  AccessPolicy policy;
  StdSocket client;
  SrpcSession session;
  Service() : SRPCSocketSvr(PellaryProcTable(true)) {
    WriteFileBytes(files / "data.bin", std::string(100000, 'd'));
    std::filesystem::create_directories(files / "Sub/inner dir");
    WriteFileBytes(files / "Sub/caf\xc3\xa9 x.txt", "text");
    CString problem;
    Check(policy.Configure(files.path().c_str(), "", "", &problem));
    session.ctx = {nullptr, &client, this};
    OnClientOpen(nullptr, &client, &session.user_value);
  }
};

// The request naming `procedure` with the values of `bytes`, as they stand but for a first
// text value starting with '~'.
bool Request(const char* procedure, const uint8_t* bytes, size_t size, const std::string& jail,
             SrpcPacketWriter* writer) {
  std::string values(reinterpret_cast<const char*>(bytes), size);
  if (values.starts_with("s~")) values.replace(1, 1, jail);
  writer->BeginPlain(kSrpcRequest);
  return writer->PutProcName(procedure) &&
         writer->stream().Write(values.data(), static_cast<int>(values.size())) != 0;
}

}  // namespace

void FuzzExtensions(const uint8_t* data, size_t size) {
  if (size == 0) return;
  static auto& service = *new Service();  // kept: a server's end waits for sessions
  const Procedure& procedure = kProcedures[data[0] % std::size(kProcedures)];
  SrpcPacketWriter writer;
  const char* bytes;
  int length;
  if (!Request(procedure.name, data + 1, size - 1, service.files.path(), &writer) ||
      !writer.Finish(&bytes, &length)) {
    return;  // more than a packet holds
  }
  SrpcPacket packet;
  Check(packet.Open(bytes, length));
  g_pellary_mng = &service.mng;
  g_access_policy = &service.policy;
  SrpcPieces answer;
  Check(service.ServePacket(service.session, packet, &answer));
  std::string answer_bytes = answer.Joined();
  SrpcPacket opened;
  Check(opened.Open(answer_bytes.data(), static_cast<int>(answer_bytes.size())));
  if (opened.Kind() == kSrpcAnswer) {
    NetValueList results;
    Check(opened.DecodeValues(results) == 1 && results.Type(0) == procedure.type);
    if (procedure.type == NET_SUPERLONG) {
      int64_t crc = results.GetSuperLong(0);
      Check(crc >= -1 && crc <= 0xffffffffLL);
    }
  } else {
    Check(opened.Kind() == kSrpcErrorAnswer);
  }
  SRPCSocketSvr::EndCall(service.session);
  g_access_policy = nullptr;
  g_pellary_mng = nullptr;
}

PELLARY_FUZZ_TARGET(FuzzExtensions)
