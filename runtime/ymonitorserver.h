// YMonitorServer: the log server. Every log line of the service goes through Log: it is
// printed on the console, queued for every monitor client, and, when file logging is on,
// added to the day's log file "<log dir>YYYY-MM-DD.log". Opening a new day's file first
// deletes the oldest "*.log" files of the directory so that at most the retention number
// remain.
//
// File logging is on only with a log directory and a retention of at least one day. File
// output gathers in a write buffer (at most 8192 bytes) and is written when the buffer would
// overflow and when the server is destroyed, so the last lines before a crash may be missing
// from the file; the console and the monitor clients have them.
//
// Threads: Log and LogFile from any thread. The file and its buffer have their own traced
// lock, taken after the broadcast is done.
#pragma once

#include <cstdarg>
#include <vector>

#include "foundation/base.h"
#include "foundation/cstring.h"
#include "runtime/mt.h"
#include "runtime/netmon.h"

class YMonitorServer : public MonitorServer {
 public:
  static constexpr int kMaxWriteBuffer = 8192;

  YMonitorServer(const char* log_dir, int save_days, int write_buffer_size, int buffers_per_client,
                 int buffer_size);
  // Writes out the buffer and closes the file.
  ~YMonitorServer() override;

  [[gnu::format(printf, 2, 3)]] void Log(const char* format, ...);
  [[gnu::format(printf, 2, 3)]] void LogFile(const char* format, ...);
  // Appends "\r\n" and logs; appends "\r\n" and prints on the console only.
  void Trace(const char* text);
  void TraceConsole(const char* text);

  // The background start of the listener, and its stop with the wait for its thread.
  bool StartListening(const char* address, int port, int max_clients);
  void StopListening();

  const CString& log_dir() const { return log_dir_; }
  bool file_logging() const { return !log_dir_.IsEmpty() && save_days_ >= 1; }

 private:
  void ToFile(const char* text, int length);
  void WriteOut(const char* bytes, int length);
  bool OpenDayFile(const CString& name);
  void DeleteOldFiles();

  CString log_dir_;
  int save_days_;
  std::vector<char> buffer_;  // empty: no write buffer
  int fill_ = 0;
  CCriticalSection file_lock_{1};
  BaseFile file_;
  bool file_open_ = false;
};

// The process's log server, or null before start-up made it and after close deleted it.
extern YMonitorServer* g_log_server;

// Logs through the log server, or prints on the console while there is none.
[[gnu::format(printf, 1, 2)]] void LogLine(const char* format, ...);
