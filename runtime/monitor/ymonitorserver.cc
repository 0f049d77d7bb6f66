// The log server: broadcast, the day's log file with its write buffer, roll-over and
// retention.
#include "runtime/monitor/ymonitorserver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/datetime.h"
#include "foundation/plusfile.h"
#include "foundation/yarray.h"
#include "platform/clock.h"
#include "runtime/monitor/console.h"

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

// "YYYY-MM-DD.log", digits where the date has them: the name of a day file, and only such
// names are the log server's own to trim.
bool IsDayFileName(const std::string& name) {
  constexpr char kForm[] = "dddd-dd-dd.log";
  if (name.size() != sizeof kForm - 1) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    bool digit = name[i] >= '0' && name[i] <= '9';
    if (kForm[i] == 'd' ? !digit : name[i] != kForm[i]) return false;
  }
  return true;
}

// Through the log server (`refusal`: within its refusal rate limit), or on the console while
// there is none.
void LogOrPrint(const CString& text, bool refusal) {
  if (g_log_server == nullptr) {
    std::fputs(text, stdout);
  } else if (refusal) {
    g_log_server->LogRefusalText(text);
  } else {
    g_log_server->LogText(text);
  }
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
  LogText(text);
}

void YMonitorServer::LogFile(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text = Formatted(format, args);
  va_end(args);
  ToFile(text, text.GetLength());
}

void YMonitorServer::LogRefusal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text = Formatted(format, args);
  va_end(args);
  LogRefusalText(text);
}

void YMonitorServer::LogRefusalText(const CString& text) {
  int suppressed = 0;
  bool admitted = false;
  {
    ScopedLock hold(limiter_lock_, kUnit, __LINE__);
    admitted = limiter_.Admit(platform::GetTickCount(), &suppressed);
    suppressed_pending_.store(limiter_.Pending());
  }
  ReportSuppressed(suppressed);
  if (admitted) Write(text);
}

void YMonitorServer::LogText(const CString& text) {
  // Most lines come while no refusal waits to be reported: they need not take the lock.
  if (suppressed_pending_.load()) {
    int due = 0;
    {
      ScopedLock hold(limiter_lock_, kUnit, __LINE__);
      due = limiter_.TakeDue(platform::GetTickCount());
      suppressed_pending_.store(limiter_.Pending());
    }
    ReportSuppressed(due);
  }
  Write(text);
}

void YMonitorServer::ReportSuppressed(int count) {
  if (count <= 0) return;
  CString line;
  line.Format("suppressed %d refusal lines\r\n", count);
  Write(line);
}

void YMonitorServer::Write(const CString& text) {
  Broadcast(text);
  ToFile(text, text.GetLength());
}

void YMonitorServer::Trace(const char* text) {
  Log("%s\r\n", text);
}

void YMonitorServer::TraceConsole(const char* text) {
  CString line;
  line.Format("%s\r\n", text);
  console::Print(line);
}

bool YMonitorServer::StartListening(const char* address, int port, int max_clients) {
  return StartInBackground(address, port, max_clients);
}

void YMonitorServer::StopListening() {
  Stop();
  WaitForStarter();
}

void YMonitorServer::ServeClient(ClientThread* thread, StdSocket* client) {
  if (client_filter_) {
    CString address, port;
    client->GetPeerAddr(&address, &port);
    if (!client_filter_(address)) {
      LogRefusal("monitor:%s,%s refused: not an allowed client\r\n", address.GetString(),
                 port.GetString());
      client->Close();
      return;
    }
  }
  MonitorServer::ServeClient(thread, client);
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
  CString day = NowText("YYYY-MM-DD") + ".log";
  CString name = log_dir_ + day;
  if (!file_open_ || file_.GetFilePath().CompareNoCase(PlusFile::WithBackslashes(name)) != 0) {
    if (!OpenDayFile(day)) return;
  }
  if (file_.Write(bytes, length) < length) {
    file_.Close();
    file_open_ = false;
  }
}

void YMonitorServer::DeleteOldFiles(const std::string& opening) {
  YStringArray names;
  PlusFile::FindFiles(log_dir_ + "*.log", names);
  std::vector<std::string> sorted;
  for (int i = 0; i < names.GetCount(); ++i) {
    std::string name = names.GetAt(i).GetString();
    if (IsDayFileName(name)) sorted.push_back(name);
  }
  std::sort(sorted.begin(), sorted.end());
  int excess = static_cast<int>(sorted.size()) - save_days_;
  for (int i = 0; i < excess; ++i) {
    // A day file dated later than today (a clock set back) must not cost today's lines.
    if (sorted[i] != opening) PlusFile::DeleteFile(log_dir_ + sorted[i].c_str());
  }
}

bool YMonitorServer::OpenDayFile(const CString& day) {
  CString name = log_dir_ + day;
  DeleteOldFiles(day.GetString());
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
  LogOrPrint(text, false);
}

void LogRefusalLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text = Formatted(format, args);
  va_end(args);
  LogOrPrint(text, true);
}
