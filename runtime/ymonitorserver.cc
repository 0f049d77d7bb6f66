// The log server: broadcast, the day's log file with its write buffer, roll-over and
// retention.
#include "runtime/ymonitorserver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/datetime.h"
#include "foundation/plusfile.h"
#include "foundation/yarray.h"
#include "platform/clock.h"

YMonitorServer* g_log_server = nullptr;

namespace {

constexpr char kUnit[] = "ymonitorserver";
constexpr uint32_t kRollOverPauseMs = 100;

CString LogDirectory(const char* dir) {
  CString trimmed(dir != nullptr ? dir : "");
  trimmed.Trim();
  if (!trimmed.IsEmpty() && trimmed.GetAt(trimmed.GetLength() - 1) != '\\') trimmed += '\\';
  return trimmed;
}

CString Formatted(const char* format, va_list args) {
  CString text;
  text.FormatV(format, args);
  return text;
}

}  // namespace

YMonitorServer::YMonitorServer(const char* log_dir, int save_days, int write_buffer_size,
                               int buffers_per_client, int buffer_size)
    : MonitorServer(buffers_per_client, buffer_size),
      log_dir_(LogDirectory(log_dir)),
      save_days_(save_days) {
  if (write_buffer_size >= 1) {
    buffer_.assign(std::min(write_buffer_size, kMaxWriteBuffer), '\0');
  }
}

YMonitorServer::~YMonitorServer() {
  ScopedLock hold(file_lock_, kUnit, __LINE__);
  if (fill_ > 0) WriteOut(buffer_.data(), fill_);
  fill_ = 0;
  if (file_open_) file_.Close();
}

void YMonitorServer::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text = Formatted(format, args);
  va_end(args);
  Broadcast(text);
  ToFile(text, text.GetLength());
}

void YMonitorServer::LogFile(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text = Formatted(format, args);
  va_end(args);
  ToFile(text, text.GetLength());
}

void YMonitorServer::Trace(const char* text) {
  Log("%s\r\n", text);
}

void YMonitorServer::TraceConsole(const char* text) {
  std::printf("%s\r\n", text);
}

bool YMonitorServer::StartListening(const char* address, int port, int max_clients) {
  return StartInBackground(address, port, max_clients);
}

void YMonitorServer::StopListening() {
  Stop();
  WaitForStarter();
}

void YMonitorServer::ToFile(const char* text, int length) {
  ScopedLock hold(file_lock_, kUnit, __LINE__);
  if (!file_logging()) return;
  int size = static_cast<int>(buffer_.size());
  if (size < 2) {
    WriteOut(text, length);
    return;
  }
  if (fill_ + length > size) {
    if (fill_ > 0) WriteOut(buffer_.data(), fill_);
    fill_ = 0;
    if (length >= size) {
      WriteOut(text, length);
      return;
    }
  }
  std::memcpy(buffer_.data() + fill_, text, length);
  fill_ += length;
}

void YMonitorServer::WriteOut(const char* bytes, int length) {
  CString name = log_dir_ + NowText("YYYY-MM-DD") + ".log";
  if (!file_open_ || file_.GetFilePath().CompareNoCase(PlusFile::WithBackslashes(name)) != 0) {
    if (!OpenDayFile(name)) return;
  }
  if (file_.Write(bytes, length) < length) {
    file_.Close();
    file_open_ = false;
  }
}

void YMonitorServer::DeleteOldFiles() {
  YStringArray names;
  PlusFile::FindFiles(log_dir_ + "*.log", names);
  std::vector<std::string> sorted;
  for (int i = 0; i < names.GetCount(); ++i) sorted.emplace_back(names.GetAt(i).GetString());
  std::sort(sorted.begin(), sorted.end());
  int excess = static_cast<int>(sorted.size()) - save_days_;
  for (int i = 0; i < excess; ++i) PlusFile::DeleteFile(log_dir_ + sorted[i].c_str());
}

bool YMonitorServer::OpenDayFile(const CString& name) {
  DeleteOldFiles();
  if (file_open_) file_.Close();
  file_open_ = false;
  platform::SleepMs(kRollOverPauseMs);
  unsigned mode = kModeReadWrite | kShareDenyWrite | kTypeBinary;
  file_open_ = file_.Open(name, mode) != 0 || file_.Open(name, mode | kModeCreate) != 0;
  if (file_open_) file_.SeekToEnd();
  return file_open_;
}

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text = Formatted(format, args);
  va_end(args);
  if (g_log_server != nullptr) {
    g_log_server->Log("%s", text.GetString());
  } else {
    std::fputs(text, stdout);
  }
}
