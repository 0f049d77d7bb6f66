// YMonitorServer: the log server. Every log line of the service goes through Log: it is
// printed on the console, queued for every monitor client, and, when file logging is on,
// added to the day's log file "<log dir>YYYY-MM-DD.log". Opening a new day's file first
// deletes the oldest day files of the directory so that at most the retention number remain.
// Only names of exactly that form count, so other programs' "*.log" files in the directory
// are left alone, and the file about to be opened is never one of those deleted.
//
// File logging is on only with a log directory and a retention of at least one day. File
// output gathers in a write buffer (at most 8192 bytes) and is written when the buffer would
// overflow and when the server is destroyed, so the last lines before a crash may be missing
// from the file; the console and the monitor clients have them.
//
// Refusal lines (a refused path, procedure or client) go through LogRefusal, which lets at
// most RefusalLimiter::kPerWindow of them through in a second and reports the others in one
// line, "suppressed %d refusal lines\r\n", before the next line logged after that second.
//
// A client filter, when set, decides which monitor clients are served: any other is
// disconnected before it gets the banner, with one refusal line naming it.
//
// Threads: Log, LogFile and LogRefusal from any thread. The file and its buffer have their
// own traced lock, taken after the broadcast is done; the refusal limiter has one of its own,
// never held while logging. The client filter is set before the listener starts and only read
// after.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/base.h"
#include "foundation/cstring.h"
#include "runtime/monitor/logtext.h"
#include "runtime/monitor/netmon.h"
#include "runtime/mt.h"

class YMonitorServer : public MonitorServer {
 public:
  static constexpr int kMaxWriteBuffer = 8192;

  YMonitorServer(const char* log_dir, int save_days, int write_buffer_size, int buffers_per_client,
                 int buffer_size);
  // Writes out the buffer and closes the file.
  ~YMonitorServer() override;

  [[gnu::format(printf, 2, 3)]] void Log(const char* format, ...);
  [[gnu::format(printf, 2, 3)]] void LogFile(const char* format, ...);
  // Logs like Log, within the refusal rate limit.
  [[gnu::format(printf, 2, 3)]] void LogRefusal(const char* format, ...);
  // Log and LogRefusal of a line already formatted. A line goes to the console, the monitor
  // clients and the file, after the report of refusals suppressed in a past second.
  void LogText(const CString& text);
  void LogRefusalText(const CString& text);
  // Appends "\r\n" and logs; appends "\r\n" and prints on the console only.
  void Trace(const char* text);
  void TraceConsole(const char* text);

  // Whether a monitor client at the dotted IPv4 address may be served; set before
  // StartListening. Without one every client is served.
  using ClientFilter = std::function<bool(const char* address)>;
  void SetClientFilter(ClientFilter filter) { client_filter_ = std::move(filter); }

  // The background start of the listener, and its stop with the wait for its thread.
  bool StartListening(const char* address, int port, int max_clients);
  void StopListening();

  const CString& log_dir() const { return log_dir_; }
  bool file_logging() const { return !log_dir_.IsEmpty() && save_days_ >= 1; }

 protected:
  // Refuses a client the filter does not allow, else serves it as every monitor client.
  void ServeClient(ClientThread* thread, StdSocket* client) override;

 private:
  void ReportSuppressed(int count);
  void Write(const CString& text);
  void ToFile(const char* text, int length);
  void WriteOut(const char* bytes, int length);
  // `day` is the day file's name without the directory.
  bool OpenDayFile(const CString& day);
  // Trims the day files to the retention number, never deleting `opening`.
  void DeleteOldFiles(const std::string& opening);

  CString log_dir_;
  int save_days_;
  std::vector<char> buffer_;  // empty: no write buffer
  int fill_ = 0;
  CCriticalSection file_lock_{1};
  BaseFile file_;
  bool file_open_ = false;
  CCriticalSection limiter_lock_{1};
  RefusalLimiter limiter_;  // guarded by limiter_lock_
  // limiter_.Pending() as the last holder of limiter_lock_ left it, read without the lock.
  std::atomic<bool> suppressed_pending_{false};
  ClientFilter client_filter_;
};

// The process's log server, or null before start-up made it and after close deleted it.
extern YMonitorServer* g_log_server;

// Logs through the log server, or prints on the console while there is none.
[[gnu::format(printf, 1, 2)]] void LogLine(const char* format, ...);
// A refusal line: through the log server's rate limit, or printed while there is none.
[[gnu::format(printf, 1, 2)]] void LogRefusalLine(const char* format, ...);
