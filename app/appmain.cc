// The application main: start-up, serving, and the shutdown order.
#include "app/appmain.h"

#include <cstdio>
#include <cstdlib>

#include "app/mainpub.h"
#include "filesvc/access.h"
#include "filesvc/pellarymng.h"
#include "filesvc/procs.h"
#include "foundation/plusfile.h"
#include "runtime/monitor/diagnostics.h"
#include "runtime/monitor/ymonitorserver.h"
#include "srpc/srpcsvr.h"

namespace {

constexpr size_t kClientStack = 0x40000;
constexpr int kWriteBuffer = 4096;
constexpr int64_t kBlockSize = 4096;

// The server's own profile keys.
struct Settings {
  int max_clients = 0;
  CString address;
  CString port;
  CString temp_dir;
  CString file_dir;
  int save_old_hour = 0;
  int64_t cache_bytes = 0;
  bool extensions = false;    // the opt-in procedures of filesvc/extensions.h
  bool shared_files = false;  // other servers or programs change the files too
};

// A directory key: the profile's text as given, or program directory + "temp", created.
CString DirectoryKey(ProfileFile* profile, const char* key) {
  CString value;
  profile->GetString(key, value, "");
  if (value.GetLength() >= 1) return value;
  value = g_program_dir + "temp";
  PlusFile::MakeDir(value);
  return value;
}

Settings ReadSettings(ProfileFile* profile) {
  Settings settings;
  settings.max_clients = static_cast<int>(profile->GetFloat("srpc.maxclnt", 1000.0f));
  LogLine("max clients :%d \r\n", settings.max_clients);
  profile->GetString("srpc.server.addr", settings.address, "");
  settings.address.Trim();
  if (settings.address.IsEmpty()) settings.address = "0.0.0.0";
  profile->GetString("srpc.server.port", settings.port, "7027");
  settings.temp_dir = DirectoryKey(profile, "TempDir");
  settings.file_dir = DirectoryKey(profile, "FileDir");
  settings.save_old_hour = static_cast<int>(profile->GetFloat("SaveOldHour", 0));
  int cache_mib = static_cast<int>(profile->GetFloat("CacheSize", 20.0f));
  // Shifted in 32 bits and widened with its sign, as the setting always was: a size of 2048
  // MiB or more, or below 0, comes out as another size (a negative one gives the cache its
  // minimum). The server runs all the same, and says so.
  settings.cache_bytes =
      static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(cache_mib) << 20));
  if (settings.cache_bytes != int64_t{cache_mib} << 20) {
    LogLine("cache size not understood :%d \r\n", cache_mib);
  }
  settings.extensions = static_cast<int>(profile->GetFloat("Extensions", 0)) != 0;
  if (settings.extensions) LogLine("extensions :1 \r\n");
  settings.shared_files = static_cast<int>(profile->GetFloat("SharedFiles", 0)) != 0;
  if (settings.shared_files) LogLine("shared files :1 \r\n");
  return settings;
}

// The optional fences (AllowedDirs, ReadOnly, AllowedClients, with AllowShutdown). One that
// cannot be built stops the process: a server meant to be fenced must not run open. Run by
// start-up before the monitor port opens, so that the allow-list holds there from the first
// client on.
void ConfigureAccess(ProfileFile* profile) {
  static AccessPolicy policy;
  CString dirs, read_only, clients, allow_shutdown, problem;
  profile->GetString("AllowedDirs", dirs, "");
  profile->GetString("ReadOnly", read_only, "");
  profile->GetString("AllowedClients", clients, "");
  profile->GetString("AllowShutdown", allow_shutdown, "");
  read_only.Trim();
  allow_shutdown.Trim();
  if (!policy.Configure(dirs, read_only, clients, &problem) ||
      !policy.ConfigureShutdown(allow_shutdown, &problem)) {
    LogLine("%s\r\n", problem.GetString());
    std::exit(1);
  }
  if (dirs.IsEmpty() && !policy.read_only() && clients.IsEmpty()) return;
  LogLine("AllowedDirs:%s ReadOnly:%d AllowedClients:%s AllowShutdown:%d\r\n", dirs.GetString(),
          policy.read_only() ? 1 : 0, clients.GetString(), policy.shutdown_allowed() ? 1 : 0);
  g_access_policy = &policy;
  g_log_server->SetClientFilter([](const char* address) { return policy.ClientAllowed(address); });
}

void Serve(const Settings& settings) {
  LogLine("SRPCSocketSvr::Start... \r\n");
  if (!g_srpc_srv->Start(settings.address, settings.port, settings.max_clients)) {
    LogLine("server start failed \r\n");
  }
  LogLine("g_srpc_srv->WaitForSafeShutdown....\r\n");
  g_srpc_srv->Close(true);
  g_srpc_srv->WaitForSafeShutdown();
}

}  // namespace

int AppMain(int argc, char** argv) {
  DiagnosticsThread diagnostics;
  g_srpc_srv = new SRPCSocketSvr(PellaryProcTable(), kClientStack);
  SetStopRoutine(StopServer);
  ProfileFile* profile =
      MainPubStart(argc, argv, &diagnostics, kWriteBuffer, g_srpc_srv, 0, ConfigureAccess);
  Settings settings = ReadSettings(profile);
  if (settings.extensions) g_srpc_srv->ReplaceTable(PellaryProcTable(true));
  g_pellary_mng = new PellaryMng(settings.temp_dir, settings.file_dir, settings.save_old_hour,
                                 settings.cache_bytes, kBlockSize, settings.shared_files);
  Serve(settings);
  diagnostics.Stop();
  diagnostics.Wait();
  SRPCSocketSvr* server = g_srpc_srv;
  g_srpc_srv = nullptr;
  delete server;
  delete g_pellary_mng;
  g_pellary_mng = nullptr;
  g_log_server->StopListening();
  std::printf("SafeClose....\r\n");
  MainPubClose(profile, &diagnostics);
  return 0;
}
