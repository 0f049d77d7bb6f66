// The file-service procedures (contract in procs.h): argument helpers, result helpers, the
// handlers and the table.
#include "filesvc/procs.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "filesvc/access.h"
#include "filesvc/extensions.h"
#include "filesvc/pellarymng.h"
#include "foundation/plusfile.h"
#include "runtime/dumpstack.h"
#include "runtime/monitor/logtext.h"
#include "runtime/monitor/ymonitorserver.h"
#include "runtime/mt.h"
#include "store/filescache.h"
#include "store/heapnew.h"

namespace {

constexpr char kUnit[] = "procs";
constexpr char kVersion[] = "1.0";

std::atomic<void (*)()> g_stop_routine{nullptr};

// ---- Arguments ----

PellaryMng& Mng() {
  FATAL_CHECK(g_pellary_mng != nullptr);
  return *g_pellary_mng;
}

// A copy of text argument i (a NULL argument is ""), lower-cased where the procedure works on
// a file path.
CString PathArg(const NetValueList& arguments, int i, bool lower_case) {
  CString path(arguments.GetString(i));
  if (lower_case) path.MakeLower();
  return path;
}

// ---- Results: the list cleared, then exactly one value ----

int32_t Answered(NetValueList* results) {
  results->Clear();
  results->Append(1);
  return 0;
}
int32_t AnswerLong(NetValueList* results, int32_t value) {
  Answered(results);
  results->SetLong(0, value);
  return 0;
}
int32_t AnswerSuperLong(NetValueList* results, int64_t value) {
  Answered(results);
  results->SetSuperLong(0, value);
  return 0;
}
int32_t AnswerString(NetValueList* results, const char* text) {
  Answered(results);
  results->SetString(0, text);
  return 0;
}
int32_t AnswerBinary(NetValueList* results, const char* bytes, int32_t length) {
  Answered(results);
  results->SetBinary(0, bytes, length);
  return 0;
}
int32_t AnswerNothing(NetValueList* results) {
  results->Clear();
  return 0;
}

// ---- Connection hooks ----

struct Peer {
  CString address;
  CString port;
};

// The peers of the open connections. The close line names the same peer as the open line,
// also when the client has reset the connection and its socket can no longer tell.
class PeerBook {
 public:
  Peer Opened(StdSocket* socket) {
    Peer peer = Ask(socket);
    ScopedLock hold(lock_, kUnit, __LINE__);
    peers_[socket] = peer;
    return peer;
  }
  Peer Closed(StdSocket* socket) {
    {
      ScopedLock hold(lock_, kUnit, __LINE__);
      auto found = peers_.find(socket);
      if (found != peers_.end()) {
        Peer peer = found->second;
        peers_.erase(found);
        return peer;
      }
    }
    return Ask(socket);
  }

 private:
  // "" and "" when the socket cannot tell.
  static Peer Ask(StdSocket* socket) {
    Peer peer;
    if (socket != nullptr) socket->GetPeerAddr(&peer.address, &peer.port);
    return peer;
  }

  CCriticalSection lock_;
  std::map<const StdSocket*, Peer> peers_;  // guarded by lock_
};

PeerBook& Peers() {
  static PeerBook book;
  return book;
}

// The session's user value of a client the allow-list turned away.
constexpr int64_t kRefusedClient = -1;

// A client the policy does not allow is disconnected before anything of it is read.
int32_t ConnectionOpened(SrpcCallCtx*, StdSocket* socket, int64_t* user_value) {
  Peer peer = Peers().Opened(socket);
  if (g_access_policy != nullptr && !g_access_policy->ClientAllowed(peer.address)) {
    LogRefusalLine("client:%s,%s refused: not an allowed client\r\n", peer.address.GetString(),
                   peer.port.GetString());
    *user_value = kRefusedClient;
    socket->Close();
    return 0;
  }
  LogLine("client:%s,%s connected\r\n", peer.address.GetString(), peer.port.GetString());
  return 0;
}

int32_t ConnectionClosed(SrpcCallCtx*, StdSocket* socket, int64_t* user_value) {
  Peer peer = Peers().Closed(socket);
  if (*user_value == kRefusedClient) return 0;
  LogLine("client:%s,%s closed\r\n", peer.address.GetString(), peer.port.GetString());
  return 0;
}

// ---- Access ----
// What the access policy needs to know of a procedure: which arguments are paths and how the
// handler uses them, whether it changes the disk, what else it reaches and what it answers
// when refused.

// kTable: a NULL table; kChecksum: the NET_SUPERLONG -1.
enum class Failure { kLong, kLength, kBinary, kNothing, kTable, kChecksum };
// Beyond its path arguments a procedure may reach every file directory (plif_file_clear) or
// the whole server (_shutdown).
enum class Reach { kPaths, kFileDirs, kServer };

struct Rule {
  int path_count = 0;       // the first arguments that are paths: 0, 1 or 2
  bool lower_case = false;  // the paths are lower-cased, for the check and the handler alike
  bool pattern = false;     // the path may hold wildcards
  bool changes = false;     // the procedure changes the disk
  Failure failure = Failure::kLong;
  Reach reach = Reach::kPaths;
};

// The path arguments of a call, spelled as its rule says: the policy judges the very strings
// the handler then uses.
constexpr int kMaxPaths = 2;
using CallPaths = std::array<CString, kMaxPaths>;

CallPaths PathsOf(const Rule& rule, const NetValueList& arguments) {
  CallPaths paths;
  for (int i = 0; i < rule.path_count; ++i) paths[i] = PathArg(arguments, i, rule.lower_case);
  return paths;
}

int32_t AnswerFailure(NetValueList* results, Failure failure) {
  switch (failure) {
    case Failure::kLong:
      return AnswerLong(results, 0);
    case Failure::kLength:
      return AnswerSuperLong(results, 0);
    case Failure::kBinary:
      return AnswerBinary(results, "", 0);
    case Failure::kTable:
      Answered(results);
      results->SetNull(0, NET_TABLE);
      return 0;
    case Failure::kChecksum:
      return AnswerSuperLong(results, -1);
    case Failure::kNothing:
      break;
  }
  return AnswerNothing(results);
}

// Whether every file directory lies where the policy serves paths. Asked at each call, as
// paths are, so that it follows the disk (a directory replaced by a link) as they do.
bool FileDirsAllowed(const AccessPolicy& policy) {
  const YStringArray& dirs = Mng().file_dirs();
  for (int i = 0; i < dirs.GetCount(); ++i) {
    if (!policy.PathAllowed(dirs.GetAt(i), false)) return false;
  }
  return true;
}

// Why `policy` refuses what a call reaches beyond its paths, or null. Such a call names no
// path: `subject` gets the procedure's name.
const char* ReachRefusal(const AccessPolicy& policy, Reach reach, CString* subject) {
  switch (reach) {
    case Reach::kPaths:
      break;
    case Reach::kFileDirs:
      *subject = "plif_file_clear";
      return FileDirsAllowed(policy) ? nullptr
                                     : "a file directory is outside the allowed directories";
    case Reach::kServer:
      *subject = "_shutdown";
      return policy.shutdown_allowed() ? nullptr : "the server is fenced";
  }
  return nullptr;
}

// Why `policy` refuses a call under `rule` with `paths`, or null; `subject` gets the path
// concerned.
const char* Refusal(const AccessPolicy& policy, const Rule& rule, const CallPaths& paths,
                    CString* subject) {
  if (const char* why = ReachRefusal(policy, rule.reach, subject)) return why;
  if (policy.read_only() && rule.changes) return "the server is read-only";
  for (int i = 0; i < rule.path_count; ++i) {
    *subject = paths[i];
    if (!policy.PathAllowed(*subject, rule.pattern)) return "outside the allowed directories";
  }
  return nullptr;
}

// A procedure behind the policy: it gets its paths as its rule spells them.
using GuardedProc = int32_t (*)(SrpcCallCtx* ctx, const CallPaths& paths,
                                const NetValueList& arguments, NetValueList* results);

// Every procedure but the version runs through here: the policy first. The subject is a
// client's text and is logged as a value.
template <Rule kRule, GuardedProc kHandler>
int32_t Guarded(SrpcCallCtx* ctx, int64_t, NetValueList* arguments, NetValueList* results,
                CString*) {
  static_assert(kRule.path_count >= 0 && kRule.path_count <= kMaxPaths);
  CallPaths paths = PathsOf(kRule, *arguments);
  if (const AccessPolicy* policy = g_access_policy) {
    CString subject;
    if (const char* why = Refusal(*policy, kRule, paths, &subject)) {
      LogRefusalLine("refused:%s %s\r\n", LogValue(subject).GetString(), why);
      return AnswerFailure(results, kRule.failure);
    }
  }
  return kHandler(ctx, paths, *arguments, results);
}

// File procedures work on the lower-cased path, directory ones on the path as given.
constexpr Rule kReadsFile{.path_count = 1, .lower_case = true};
constexpr Rule kChangesFile{.path_count = 1, .lower_case = true, .changes = true};
constexpr Rule kReadsDir{.path_count = 1};
constexpr Rule kChangesDir{.path_count = 1, .changes = true};
constexpr Rule kReadsData{.path_count = 1, .lower_case = true, .failure = Failure::kBinary};
constexpr Rule kReadsLength{.path_count = 1, .lower_case = true, .failure = Failure::kLength};
constexpr Rule kFindsFiles{.path_count = 1, .lower_case = true, .pattern = true};
constexpr Rule kRenamesFile{.path_count = 2, .lower_case = true, .changes = true};
constexpr Rule kClearsFileDirs{
    .changes = true, .failure = Failure::kNothing, .reach = Reach::kFileDirs};
constexpr Rule kStopsServer{.failure = Failure::kNothing, .reach = Reach::kServer};
constexpr Rule kListsDir{.path_count = 1, .failure = Failure::kTable};
constexpr Rule kStatsFile{.path_count = 1, .lower_case = true, .failure = Failure::kTable};
constexpr Rule kSumsFile{.path_count = 1, .lower_case = true, .failure = Failure::kChecksum};

// ---- Handlers ----
// Parameters: call context, the paths (as the rule spells them), arguments, results.

int32_t GetVersion(SrpcCallCtx*, int64_t, NetValueList*, NetValueList* results, CString*) {
  return AnswerString(results, kVersion);
}

// The procedures that take one path, answer one NET_LONG and log "<format>" with the path
// and that result. Every path a client sends is logged through LogValue.
using PathOperation = int (*)(const char* path);
template <PathOperation kOperation, const char* kFormat>
int32_t PathProcedure(SrpcCallCtx*, const CallPaths& paths, const NetValueList&,
                      NetValueList* results) {
  const CString& path = paths[0];
  int ret = kOperation(path);
  LogLine(kFormat, LogValue(path).GetString(), ret);
  return AnswerLong(results, ret);
}

int CreateFile(const char* path) {
  return Mng().FileCreate(path);
}
int OpenFile(const char* path) {
  return Mng().FileOpen(path);
}
int RemoveFile(const char* path) {
  return Mng().FileRemove(path);
}
// Anything the path (or pattern) finds counts, directories included.
int AnythingExists(const char* path) {
  return PlusFile::FileExists(path);
}
int IsDirectory(const char* path) {
  return Mng().DirExists(path);
}
int MakeDirectory(const char* path) {
  return Mng().MakeDir(path);
}
int RemoveDirectory(const char* path) {
  return Mng().RemoveDir(path);
}

constexpr char kCreateLine[] = "file_create:%s %d\r\n";
constexpr char kOpenLine[] = "file_open:%s  ret:%d\r\n";
constexpr char kRemoveLine[] = "file_remove:%s ret:%d\r\n";
constexpr char kExistsLine[] = "file_exists:%s %d\r\n";
constexpr char kDirExistsLine[] = "dir_exists:%s %d\r\n";
constexpr char kMkdirLine[] = "mkdir:%s %d\r\n";
constexpr char kRmdirLine[] = "rmdir:%s %d\r\n";

void GiveBackReadBuffer(const void* buffer) {
  char* bytes = static_cast<char*>(const_cast<void*>(buffer));
  if (g_pellary_mng != nullptr) {
    g_pellary_mng->ReleaseReadBuffer(bytes);
  } else {
    Heap::Release(bytes);
  }
}

// A read answered from the cache's blocks where they lie, their keys held until the answer
// is out (or copied, for a slow peer): the bytes are copied once, into the socket.
struct PinnedAnswer {
  FilesCache* cache = nullptr;
  FilesCache::Pinned pinned;
  NetValueList::Piece pieces[FilesCache::Pinned::kMost];
};

void GiveBackPinned(const void* token) {
  auto* answer = static_cast<PinnedAnswer*>(const_cast<void*>(token));
  answer->cache->Unpin(&answer->pinned);
  HeapDelete(answer);
}

bool AnswerInPlace(PellaryMng& mng, int64_t id, int64_t position, int32_t size,
                   NetValueList* results) {
  FilesCache::Pinned pinned;
  if (!mng.FilePin(id, position, size, &pinned)) return false;
  auto* answer = HeapNew<PinnedAnswer>();
  answer->cache = &mng.files_cache();
  answer->pinned = pinned;
  for (int i = 0; i < pinned.count; ++i) answer->pieces[i] = {pinned.bytes[i], pinned.lengths[i]};
  Answered(results);
  results->LendPieces(0, answer->pieces, pinned.count, GiveBackPinned, answer);
  return true;
}

// A negative size reads nothing; a size above one read buffer is cut to it.
int32_t FileRead(SrpcCallCtx*, const CallPaths& paths, const NetValueList& arguments,
                 NetValueList* results) {
  const CString& path = paths[0];
  int64_t position = arguments.GetSuperLong(1);
  int32_t size = arguments.GetLong(2);
  LogLine("file_read:%s pos:%d size:%d\r\n", LogValue(path).GetString(),
          static_cast<int32_t>(position), size);
  PellaryMng& mng = Mng();
  int32_t wanted = std::clamp(size, 0, PellaryMng::kReadBufferSize);
  int64_t id = wanted > 0 ? mng.FileId(path) : 0;  // resolved once: a failure is logged once
  if (id > 0 && AnswerInPlace(mng, id, position, wanted, results)) return 0;
  char* buffer = mng.GetReadBuffer();
  int32_t got = mng.FileReadById(id, position, buffer, wanted);
  // The answer is sent from the read buffer itself, which goes back to the pool once the
  // answer is out.
  Answered(results);
  results->LendBinary(0, buffer, std::max(got, 0), GiveBackReadBuffer);
  return 0;
}

int32_t FileWrite(SrpcCallCtx*, const CallPaths& paths, const NetValueList& arguments,
                  NetValueList* results) {
  const CString& path = paths[0];
  int64_t position = arguments.GetSuperLong(1);
  int length = 0;
  const char* data = arguments.GetBinary(2, &length);
  int32_t ret = Mng().FileWrite(path, position, data, length);
  LogLine("file_write:%s pos:%d  ret:%d\r\n", LogValue(path).GetString(),
          static_cast<int32_t>(position), ret);
  return AnswerLong(results, ret);
}

// The length travels as its low 32 bits, taken as signed and widened: a file of 3 GiB answers
// a negative number, as clients of the service have always seen it.
int32_t FileGetLength(SrpcCallCtx*, const CallPaths& paths, const NetValueList&,
                      NetValueList* results) {
  const CString& path = paths[0];
  int32_t size = static_cast<int32_t>(Mng().FileGetLength(path));
  LogLine("file_getlength:%s size:%d\r\n", LogValue(path).GetString(), size);
  return AnswerSuperLong(results, size);
}

int32_t FileRename(SrpcCallCtx*, const CallPaths& paths, const NetValueList&,
                   NetValueList* results) {
  const CString& from = paths[0];
  const CString& to = paths[1];
  int ret = Mng().FileRename(from, to);
  LogLine("file_rename:%s -> %s  %d\r\n", LogValue(from).GetString(), LogValue(to).GetString(),
          ret);
  return AnswerLong(results, ret);
}

int32_t FileClear(SrpcCallCtx*, const CallPaths&, const NetValueList&, NetValueList* results) {
  LogLine("file_clear\r\n");
  Mng().FileClear();
  return AnswerNothing(results);
}

// Whole megabytes free to the caller, rounded down; 0 when the volume cannot be asked.
int32_t GetFreeSpace(SrpcCallCtx*, const CallPaths& paths, const NetValueList&,
                     NetValueList* results) {
  uint64_t free_bytes = 0;
  PlusFile::FreeDiskSpace(PlusFile::WithBackslashes(paths[0]), &free_bytes);
  int32_t megabytes = static_cast<int32_t>(static_cast<uint32_t>(free_bytes / 1024 / 1024));
  LogLine("get_freespace: %dM\r\n", megabytes);
  return AnswerLong(results, megabytes);
}

// The answer goes out while the server is already stopping; the session ends with it.
int32_t Shutdown(SrpcCallCtx*, const CallPaths&, const NetValueList&, NetValueList* results) {
  void (*stop)() = g_stop_routine.load();
  if (stop != nullptr) stop();
  return AnswerNothing(results);
}

int32_t DirList(SrpcCallCtx*, const CallPaths& paths, const NetValueList& arguments,
                NetValueList* results) {
  return ListDir(paths[0], arguments, results);
}
int32_t FileStat(SrpcCallCtx*, const CallPaths& paths, const NetValueList&, NetValueList* results) {
  return StatPath(paths[0], results);
}
int32_t FileChecksum(SrpcCallCtx*, const CallPaths& paths, const NetValueList& arguments,
                     NetValueList* results) {
  return ChecksumRange(paths[0], arguments, results);
}

// The table without its end: the specified procedures, then with `extensions` the opt-in ones.
std::vector<SrpcProcEntry> Entries(bool extensions) {
  std::vector<SrpcProcEntry> entries = {
      SrpcHookEntry("SRPC_OPEN", ConnectionOpened),
      SrpcHookEntry("SRPC_CLOSE", ConnectionClosed),
      {.name = "plif_get_version", .format = "", .handler = GetVersion},
      {.name = "plif_file_create",
       .format = "s",
       .handler = Guarded<kChangesFile, PathProcedure<CreateFile, kCreateLine>>},
      {.name = "plif_file_open",
       .format = "s",
       .handler = Guarded<kReadsFile, PathProcedure<OpenFile, kOpenLine>>},
      {.name = "plif_file_read", .format = "sli", .handler = Guarded<kReadsData, FileRead>},
      {.name = "plif_file_write", .format = "slb", .handler = Guarded<kChangesFile, FileWrite>},
      {.name = "plif_file_getlength",
       .format = "s",
       .handler = Guarded<kReadsLength, FileGetLength>},
      {.name = "plif_file_remove",
       .format = "s",
       .handler = Guarded<kChangesFile, PathProcedure<RemoveFile, kRemoveLine>>},
      {.name = "plif_file_rename", .format = "ss", .handler = Guarded<kRenamesFile, FileRename>},
      {.name = "plif_file_clear", .format = "", .handler = Guarded<kClearsFileDirs, FileClear>},
      {.name = "plif_file_exists",
       .format = "s",
       .handler = Guarded<kFindsFiles, PathProcedure<AnythingExists, kExistsLine>>},
      {.name = "plif_dir_exists",
       .format = "s",
       .handler = Guarded<kReadsDir, PathProcedure<IsDirectory, kDirExistsLine>>},
      {.name = "plif_mkdir",
       .format = "s",
       .handler = Guarded<kChangesDir, PathProcedure<MakeDirectory, kMkdirLine>>},
      {.name = "plif_rmdir",
       .format = "s",
       .handler = Guarded<kChangesDir, PathProcedure<RemoveDirectory, kRmdirLine>>},
      {.name = "plif_get_freespace", .format = "s", .handler = Guarded<kReadsDir, GetFreeSpace>},
      {.name = "_shutdown", .format = "", .handler = Guarded<kStopsServer, Shutdown>},
  };
  if (extensions) {
    entries.push_back(
        {.name = "plif_dir_list", .format = "ss", .handler = Guarded<kListsDir, DirList>});
    entries.push_back(
        {.name = "plif_file_stat", .format = "s", .handler = Guarded<kStatsFile, FileStat>});
    entries.push_back({.name = "plif_file_checksum",
                       .format = "sll",
                       .handler = Guarded<kSumsFile, FileChecksum>});
  }
  entries.push_back({.name = nullptr});
  return entries;
}

}  // namespace

void SetStopRoutine(void (*stop)()) {
  g_stop_routine.store(stop);
}

const SrpcProcEntry* PellaryProcTable(bool extensions) {
  static const std::vector<SrpcProcEntry> specified = Entries(false);
  static const std::vector<SrpcProcEntry> extended = Entries(true);
  return (extensions ? extended : specified).data();
}
