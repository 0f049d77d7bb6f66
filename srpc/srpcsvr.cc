// The SRPC server: the sorted procedure table, dispatch, the session loop and the client
// table.
#include "srpc/srpcsvr.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/base.h"
#include "foundation/datetime.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/text.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "srpcsvr";
constexpr char kFindCmd[] = "corvexa_srpc_findcmd";
constexpr char kGetCmds[] = "corvexa_srpc_getcmds";
constexpr char kOpenHook[] = "SRPC_OPEN";
constexpr char kCloseHook[] = "SRPC_CLOSE";
constexpr char kProcNotSupported[] = "PROC NOT SUPPORT";
constexpr char kArgFormatError[] = "ARG FORMAT ERROR";
constexpr int kClientIpWidth = 40;
constexpr int kProcWidth = 100;
constexpr int kParamWidth = 300;
constexpr int kCmdWidth = 128;

int TypeOfLetter(char letter) {
  int type = TypeOfTag(letter);
  FATAL_CHECK(type >= 0);  // a format letter no argument can have
  return type;
}

bool IsFormatSpace(char ch) {
  return std::isspace(static_cast<unsigned char>(ch)) != 0;
}

// The format without the white space around it: its first letter and *length letters.
const char* TrimFormat(const char* format, int* length) {
  const char* begin = format;
  const char* end = format + std::strlen(format);
  while (begin < end && IsFormatSpace(*begin)) ++begin;
  while (end > begin && IsFormatSpace(end[-1])) --end;
  *length = static_cast<int>(end - begin);
  return begin;
}

// The trimmed format names, letter by letter, the type of every argument.
bool ArgumentsMatch(const char* format, const NetValueList& arguments) {
  int letters;
  const char* begin = TrimFormat(format, &letters);
  if (letters != arguments.Count()) return false;
  for (int k = 0; k < arguments.Count(); ++k) {
    if (arguments.Type(k) != TypeOfLetter(begin[k])) return false;
  }
  return true;
}

// How many values decide a call of a procedure with this format: a list of that many is
// refused whatever follows it, so no more are ever decoded.
int DecidingValues(const char* format) {
  int letters;
  TrimFormat(format, &letters);
  return letters + 1;
}

bool IsHook(const char* name) {
  return std::strcmp(name, kOpenHook) == 0 || std::strcmp(name, kCloseHook) == 0;
}

}  // namespace

SRPCSocketSvr::SRPCSocketSvr(const SrpcProcEntry* table, size_t client_stack_size)
    : SocketSvr(client_stack_size) {
  BuildTable(table);
  clients_.AddColumn("sock", NET_SUPERLONG);
  clients_.AddColumn("clntip", NET_STRING, kClientIpWidth);
  clients_.AddColumn("clntport", NET_LONG);
  clients_.AddColumn("proc", NET_STRING, kProcWidth);
  clients_.AddColumn("time", NET_DATETIME);
  clients_.AddColumn("param", NET_STRING, kParamWidth);
  clients_.AddColumn("thid", NET_SUPERLONG);
  clients_.AddColumn("count", NET_LONG);
  sock_column_ = clients_.FindColumn("sock");
  call_columns_ = {clients_.FindColumn("proc"), clients_.FindColumn("count"),
                   clients_.FindColumn("time"), clients_.FindColumn("param"),
                   clients_.FindColumn("thid")};
  clients_.SortByColumn(sock_column_, 1);
  set_timeout(kClientTimeoutSeconds);
}

SRPCSocketSvr::~SRPCSocketSvr() {
  // Sessions use the table until they end: wait for them before it goes.
  Stop();
  WaitForSafeShutdown();
  ReleaseTable();
}

void SRPCSocketSvr::ReplaceTable(const SrpcProcEntry* table) {
  ReleaseTable();
  BuildTable(table);
}

void SRPCSocketSvr::ReleaseTable() {
  for (int i = 0; i < count_; ++i) delete procs_[i].lock;
  Heap::Release(procs_);
  procs_ = nullptr;
  count_ = 0;
}

void SRPCSocketSvr::BuildTable(const SrpcProcEntry* table) {
  int given = 0;
  while (table[given].name != nullptr) ++given;
  count_ = given + 2;
  procs_ = static_cast<SrpcProcEntry*>(Heap::Allocate(sizeof(SrpcProcEntry) * count_));
  double now = NowDayNumber();
  for (int i = 0; i < given; ++i) {
    procs_[i] = table[i];
    procs_[i].count = 0;
    procs_[i].total_ms = 0;
    procs_[i].lock = table[i].serialize != 0 ? new CCriticalSection() : nullptr;
    procs_[i].last_call = now;
  }
  procs_[given] = {kFindCmd, "s", FindCmd, 0, 0, 0, nullptr, now};
  procs_[given + 1] = {kGetCmds, "", GetCmds, 0, 0, 0, nullptr, now};
  SortTable();
}

void SRPCSocketSvr::SortTable() {
  for (int i = 0; i < count_; ++i) {
    for (int j = i + 1; j < count_; ++j) {
      if (std::strcmp(procs_[j].name, procs_[i].name) < 0) std::swap(procs_[i], procs_[j]);
    }
  }
}

int SRPCSocketSvr::FindProc(const char* name) const {
  int low = 0;
  int high = count_ - 1;
  while (low <= high) {
    int middle = (low + high) / 2;
    int order = std::strcmp(procs_[middle].name, name);
    if (order == 0) return middle;
    if (order > 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return -1;
}

int SRPCSocketSvr::GetProcStats(NetTable* table) {
  table->Clear();
  table->AddColumn("proc", NET_CSTRING);
  table->AddColumn("count", NET_LONG);
  table->AddColumn("times", NET_LONG);
  table->AddColumn("time", NET_DATETIME);
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  for (int i = 0; i < count_; ++i) {
    int row = table->AppendRow();
    table->SetCString(row, 1, CString(procs_[i].name));
    table->SetLong(row, 2, procs_[i].count);
    table->SetLong(row, 3, procs_[i].total_ms);
    table->SetDateTime(row, 4, procs_[i].last_call);
  }
  return table->RowCount();
}

int32_t SRPCSocketSvr::FindCmd(SrpcCallCtx* ctx, int64_t, NetValueList* arguments,
                               NetValueList* results, CString*) {
  int index = results->Append(1) - 1;
  results->SetLong(index, ctx->server->FindProc(arguments->GetString(0)));
  return 0;
}

int32_t SRPCSocketSvr::GetCmds(SrpcCallCtx* ctx, int64_t, NetValueList*, NetValueList* results,
                               CString*) {
  NetTable* table = new NetTable(100, 128);
  table->AddColumn("cmd", NET_STRING, kCmdWidth);
  table->AddColumn("argfmt", NET_STRING, kCmdWidth);
  SRPCSocketSvr* server = ctx->server;
  for (int i = 0; i < server->count_; ++i) {
    int row = table->AppendRow();
    table->SetString(row, 1, server->procs_[i].name);
    table->SetString(row, 2, server->procs_[i].format);
  }
  int index = results->Append(1) - 1;
  results->SetTable(index, table, 1);
  return 0;
}

int32_t SRPCSocketSvr::OnPreDispatch(SrpcCallCtx*, const char*, int, SrpcPacket*, int64_t,
                                     NetValueList*, NetValueList*, CString) {
  return 0;
}

void SRPCSocketSvr::ServeClient(ClientThread* thread, StdSocket* client) {
  SrpcSession session;
  session.ctx = {thread, client, this};
  SrpcPacketReader reader;
  OnClientOpen(thread, client, &session.user_value);
  uint32_t idle_since = platform::GetTickCount();
  while (IsStopping() == 0) {
    SrpcPacketReader::Result received = reader.Receive(*client, IdleLeft(idle_since));
    if (received == SrpcPacketReader::Result::kFailed) break;
    if (received == SrpcPacketReader::Result::kPacket) {
      SrpcPieces answer;
      bool serving = ServePacket(session, reader.packet(), &answer);
      if (serving && answer.count > 0) SendAnswer(session, *client, answer);
      EndCall(session);
      if (!serving) break;
      idle_since = platform::GetTickCount();
    }
    if (!client->IsConnected() || IdleLeft(idle_since) == 0) break;
  }
  OnClientClose(thread, client, &session.user_value);
}

bool SRPCSocketSvr::ServePacket(SrpcSession& session, SrpcPacket& packet, SrpcPieces* answer) {
  answer->count = 0;
  SrpcRequest request;
  packet.ReadRequest(&request);
  int index = ResolveIndex(request);
  // A request that names no procedure is answered whatever its arguments: none are decoded.
  packet.DecodeValues(session.arguments, index < 0 ? 0 : DecidingValues(procs_[index].format),
                      true);
  session.results.Clear();
  int32_t code = 0;
  Outcome outcome = Dispatch(session, packet, index, &code);
  if (outcome == Outcome::kClose) return false;
  if (request.kind == kSrpcRequest) BuildAnswer(session, outcome, code, answer);
  return true;
}

void SRPCSocketSvr::SendAnswer(SrpcSession& session, StdSocket& client, const SrpcPieces& answer) {
  static_assert(SrpcPieces::kMost <= StdSocket::kMostPieces);
  int sent = client.SendSome(answer.piece, answer.count);
  if (sent < 0 || sent == answer.total) return;
  std::string rest = answer.Joined(sent);
  session.results.Clear();  // lent bytes go back before a slow peer is waited for
  client.SendAll(rest.data(), static_cast<int>(rest.size()));
}

void SRPCSocketSvr::EndCall(SrpcSession& session) {
  session.arguments.Clear();
  session.results.Clear();
  session.writer.Trim();
}

int64_t SRPCSocketSvr::IdleLeft(uint32_t idle_since) const {
  if (idle_timeout_ <= 0) return -1;
  int64_t left = int64_t{idle_timeout_} * 1000 - (platform::GetTickCount() - idle_since);
  return left > 0 ? left : 0;
}

// Leaves *answer without pieces when the writer refused the packet (it could not grow).
void SRPCSocketSvr::BuildAnswer(SrpcSession& session, Outcome outcome, int32_t code,
                                SrpcPieces* answer) {
  bool built = outcome == Outcome::kAnswer
                   ? session.writer.BuildAnswer(session.results, answer)
                   : session.writer.BuildErrorAnswer(code, session.error_text, answer);
  if (!built) answer->count = 0;
}

SRPCSocketSvr::Outcome SRPCSocketSvr::Dispatch(SrpcSession& session, SrpcPacket& packet, int index,
                                               int32_t* code) {
  int32_t pre =
      OnPreDispatch(&session.ctx, packet.Bytes(), packet.Length(), &packet, session.user_value,
                    &session.arguments, &session.results, session.error_text);
  if (pre == kSrpcCloseConnection) return Outcome::kClose;
  if (pre == kSrpcHandled) return Outcome::kAnswer;
  if (index < 0 || IsStopping() != 0) {
    *code = kSrpcProcNotSupported;
    session.error_text = kProcNotSupported;
    return Outcome::kError;
  }
  SrpcProcEntry& entry = procs_[index];
  if (!ArgumentsMatch(entry.format, session.arguments)) {
    *code = kSrpcArgFormatError;
    session.error_text = kArgFormatError;
    return Outcome::kError;
  }
  *code = Execute(session, entry);
  return *code == 0 ? Outcome::kAnswer : Outcome::kError;
}

int SRPCSocketSvr::ResolveIndex(const SrpcRequest& request) const {
  if (request.cut_short) return -1;
  int index =
      request.extended
          ? (request.index < static_cast<uint32_t>(count_) ? static_cast<int>(request.index) : -1)
          : FindProc(request.name);
  if (index >= 0 && IsHook(procs_[index].name)) return -1;
  return index;
}

int32_t SRPCSocketSvr::Execute(SrpcSession& session, SrpcProcEntry& entry) {
  CallStarted(session, entry);
  uint32_t start = platform::GetTickCount();
  if (entry.lock != nullptr) entry.lock->Lock(kUnit, __LINE__);
  int32_t code = entry.handler(&session.ctx, session.user_value, &session.arguments,
                               &session.results, &session.error_text);
  if (entry.lock != nullptr) entry.lock->Unlock();
  CallEnded(session, entry, start);
  return code;
}

int SRPCSocketSvr::ClientRow(StdSocket* client) const {
  int64_t key = reinterpret_cast<int64_t>(client);
  int row = clients_.FindSorted(sock_column_, key, 0, 0);
  FATAL_CHECK(row > 0);  // a session's row lives from its open to its close
  return row;
}

void SRPCSocketSvr::CallStarted(SrpcSession& session, SrpcProcEntry& entry) {
  CString params = session.arguments.Print();
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  double now = NowDayNumber();
  ++entry.count;
  entry.last_call = now;
  int row = ClientRow(session.ctx.socket);
  clients_.SetString(row, call_columns_.proc, entry.name);
  clients_.SetLong(row, call_columns_.count, entry.count);
  clients_.SetDateTime(row, call_columns_.time, now);
  clients_.SetString(row, call_columns_.param, params);
  clients_.SetSuperLong(row, call_columns_.thread,
                        static_cast<int64_t>(platform::CurrentThreadId()));
}

void SRPCSocketSvr::CallEnded(SrpcSession& session, SrpcProcEntry& entry, uint32_t start) {
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  entry.total_ms += static_cast<int32_t>(platform::GetTickCount() - start);
  clients_.SetString(ClientRow(session.ctx.socket), call_columns_.proc, "");
}

void SRPCSocketSvr::CallHook(const char* name, SrpcCallCtx* ctx, StdSocket* client,
                             int64_t* user_value) {
  int index = FindProc(name);
  if (index < 0) return;
  auto hook = reinterpret_cast<SrpcHook>(reinterpret_cast<void (*)()>(procs_[index].handler));
  hook(ctx, client, user_value);
}

int SRPCSocketSvr::OnClientOpen(ClientThread* thread, StdSocket* client, int64_t* user_value) {
  CString address;
  CString port;
  client->GetPeerAddr(&address, &port);
  {
    ScopedLock hold(clients_lock_, kUnit, __LINE__);
    int64_t key = reinterpret_cast<int64_t>(client);
    int row = clients_.FindSorted(sock_column_, key, 1, 0);
    clients_.InsertRows(row, 1);
    clients_.SetSuperLong(row, sock_column_, key);
    clients_.SetString(row, "clntip", address);
    clients_.SetLong(row, "clntport", std::atoi(port));
    clients_.SetString(row, "proc", "");
    clients_.SetDateTime(row, "time", NowDayNumber());
  }
  *user_value = 0;
  SrpcCallCtx ctx = {thread, client, this};
  CallHook(kOpenHook, &ctx, client, user_value);
  return 1;
}

int SRPCSocketSvr::OnClientClose(ClientThread* thread, StdSocket* client, int64_t* user_value) {
  SrpcCallCtx ctx = {thread, client, this};
  CallHook(kCloseHook, &ctx, client, user_value);
  *user_value = 0;
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  int row = clients_.FindSorted(sock_column_, reinterpret_cast<int64_t>(client), 0, 0);
  if (row > 0) clients_.DeleteRow(row);
  return 1;
}

void SRPCSocketSvr::CopyClients(NetTable* table) {
  ScopedLock hold(clients_lock_, kUnit, __LINE__);
  clients_.CopyTo(*table);
}

void SRPCSocketSvr::DumpCalls(const char* path) {
  NetTable calls;
  CopyClients(&calls);
  BaseFile file;
  if (file.Open(path, kModeCreate | kModeWrite | kTypeBinary) == 0) return;
  calls.SortByColumn(calls.FindColumn("time"), 0);
  for (int row = 1; row <= calls.RowCount(); ++row) {
    if (calls.GetString(row, "proc")[0] == '\0') continue;
    DateTimeRecord time = calls.GetDateTime(row, "time");
    platform::LocalTime local;
    local.year = time.year;
    local.month = time.month;
    local.day = time.day;
    local.hour = time.hour;
    local.minute = time.minute;
    local.second = time.second;
    CString line;
    line.Format(NATIVE_TEXT("%s:%d,proc:%s,次数:[%d],线程:%lld,时间:%s,{参数:%s}\r\n",
                            "%s:%d,proc:%s,\xb4\xce\xca\xfd:[%d],\xcf\xdf\xb3\xcc:%lld,"
                            "\xca\xb1\xbc\xe4:%s,{\xb2\xce\xca\xfd:%s}\r\n"),
                calls.GetString(row, "clntip"), calls.GetLong(row, "clntport"),
                calls.GetString(row, "proc"), calls.GetLong(row, "count"),
                static_cast<long long>(calls.GetSuperLong(row, "thid")),
                DateTimeText("YYYY-MM-DD hh:mm:ss", local).GetString(),
                calls.GetString(row, "param"));
    file.Write(line.GetString(), line.GetLength());
  }
  file.Close();
}
