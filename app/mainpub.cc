// MainPub start-up and close, StopServer, and the process-wide objects they own.
#include "app/mainpub.h"

#include <cstdio>
#include <cstdlib>

#include "foundation/datetime.h"
#include "foundation/plusfile.h"
#include "platform/process.h"
#include "platform/text.h"
#include "runtime/dumpstack.h"
#include "runtime/monitor/console.h"
#include "runtime/monitor/diagnostics.h"
#include "runtime/monitor/ymonitorserver.h"
#include "srpc/srpcsvr.h"

SRPCSocketSvr* g_srpc_srv = nullptr;
CString g_program_dir;

namespace {

constexpr char kDefaultProfile[] = "pellary.pf";
constexpr char kDumpFile[] = "dumpstack.log";
constexpr char kVersion[] =
    NATIVE_TEXT("Pellary 版本:2007-3-21", "Pellary \xb0\xe6\xb1\xbe:2007-3-21");
constexpr int kFoldWidth = 60;
constexpr int kMonitorClients = 20;
constexpr int kBuffersPerClient = 100;
constexpr int kBufferSize = 2048;

// The executable's directory, cut after its last separator.
CString ProgramDirectory() {
  CString path(platform::ProgramPath().c_str());
  int slash = path.ReverseFind('/');
  int backslash = path.ReverseFind('\\');
  int cut = slash > backslash ? slash : backslash;
  return cut < 0 ? CString() : path.Left(cut + 1);
}

CString Trimmed(ProfileFile* profile, const char* key, const char* default_value) {
  CString value;
  profile->GetString(key, value, default_value);
  value.Trim();
  return value;
}

// The log server with its banner and monitor listener.
void StartLogServer(ProfileFile* profile, int write_buffer, int monitor_port,
                    void (*before_listening)(ProfileFile*)) {
  int port = std::atoi(Trimmed(profile, "mon.port", "0"));
  if (monitor_port > 0) port = monitor_port;
  std::printf("mon.port %d\r\n", port);
  CString log_dir = Trimmed(profile, "log.dir", g_program_dir + "log");
  int save_days = static_cast<int>(profile->GetFloat("log.savedays", 0));
  g_log_server =
      new YMonitorServer(log_dir, save_days, write_buffer, kBuffersPerClient, kBufferSize);
  CString banner;
  banner.Format(NATIVE_TEXT("%s\r\n开始运行时间：%s\r\n",
                            "%s\r\n\xbf\xaa\xca\xbc\xd4\xcb\xd0\xd0\xca\xb1\xbc\xe4\xa3\xba%s\r\n"),
                kVersion, NowText("YYYY-MM-DD hh:mm:ss").GetString());
  g_log_server->SetBanner(banner);
  if (before_listening != nullptr) before_listening(profile);
  // "mon.addr" lets a user keep the log stream off public interfaces.
  CString address = Trimmed(profile, "mon.addr", "0.0.0.0");
  g_log_server->StartListening(address, port, kMonitorClients);
  g_log_server->Log("%s\r\n", banner.GetString());
}

void LogServerLine(const char* line) {
  LogLine("%s", line);
}

// The SRPC server's own settings beyond the system's keys, off when absent:
// "srpc.idletimeout" ends sessions that completed no request for that many seconds.
void ConfigureServer(ProfileFile* profile, SRPCSocketSvr* server) {
  server->set_log(LogServerLine);
  int idle_timeout = static_cast<int>(profile->GetFloat("srpc.idletimeout", 0));
  if (idle_timeout <= 0) return;
  server->set_idle_timeout(idle_timeout);
  LogLine("idle timeout :%d \r\n", idle_timeout);
}

}  // namespace

void StopServer() {
  if (g_srpc_srv != nullptr) g_srpc_srv->Stop();
}

ProfileFile* MainPubStart(int argc, char** argv, DiagnosticsThread* diagnostics, int write_buffer,
                          SRPCSocketSvr* server, int monitor_port,
                          void (*before_listening)(ProfileFile*)) {
  g_program_dir = ProgramDirectory();
  platform::SetCurrentDirectory(g_program_dir);
  InstallDumpStack(kDumpFile);
  if (diagnostics != nullptr) diagnostics->StartFor(server);
  const char* path = argc >= 2 ? argv[1] : kDefaultProfile;
  g_log_server = nullptr;
  if (PlusFile::FileExists(path) == 0) {
    std::printf(NATIVE_TEXT("找不到配置文件 %s\r\n",
                            "\xd5\xd2\xb2\xbb\xb5\xbd\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe %s\r\n"),
                path);
    InternalNotice(false, false, "Public/MainPub", 77);
    InternalError(false, false, "Public/MainPub", 77);
  }
  ProfileFile* profile = new ProfileFile(path, kFoldWidth);
  StartLogServer(profile, write_buffer, monitor_port, before_listening);
  // A console that is a pipe or a file (a service manager's journal) gets its lines from a
  // thread of their own, so that no call waits for it; a terminal gets each line at once.
  if (!platform::IsTerminal(stdout)) console::StartQueue();
  if (server != nullptr) ConfigureServer(profile, server);
  return profile;
}

void MainPubClose(ProfileFile* profile, DiagnosticsThread* diagnostics) {
  if (g_log_server != nullptr) {
    g_log_server->StopListening();
    delete g_log_server;
    g_log_server = nullptr;
  }
  console::StopQueue();
  delete profile;
  if (diagnostics != nullptr) {
    diagnostics->Stop();
    diagnostics->Wait();
  }
}
