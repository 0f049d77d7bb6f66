// The event log on syslog. openlog keeps one ident for the whole process, so every report
// opens, writes and closes under one lock with its own source's name; a source is only that
// name.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/error.h"
#include "platform/eventlog.h"

namespace platform {
namespace {

struct EventSource {
  std::string name;
};

std::mutex g_syslog_mutex;

int PriorityOf(uint16_t type) {
  if (type == kEventlogErrorType) return LOG_ERR;
  if (type == kEventlogWarningType) return LOG_WARNING;
  return LOG_INFO;
}

// JOURNAL_STREAM is "<device>:<inode>" of the journal's stream that systemd gave us as
// standard error; it only counts while standard error is still that stream.
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  return fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

EventSourceHandle RegisterEventSource(const char* source_name) {
  if (source_name == nullptr || source_name[0] == '\0') {
    SetLastError(kErrorInvalidParameter);
    return kNoEventSource;
  }
  return reinterpret_cast<EventSourceHandle>(new EventSource{source_name});
}

bool ReportEvent(EventSourceHandle source, uint16_t type, const char* const* strings,
                 uint16_t count) {
  if (source == kNoEventSource) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  std::string message;
  for (uint16_t i = 0; i < count; ++i) {
    if (i > 0) message += " - ";
    message += strings[i];
  }
  const EventSource* record = reinterpret_cast<const EventSource*>(source);
  int options = LOG_PID | (StandardErrorIsJournal() ? 0 : LOG_PERROR);
  std::lock_guard<std::mutex> hold(g_syslog_mutex);
  openlog(record->name.c_str(), options, LOG_DAEMON);
  syslog(PriorityOf(type), "%s", message.c_str());
  closelog();
  return true;
}

bool DeregisterEventSource(EventSourceHandle source) {
  if (source == kNoEventSource) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  delete reinterpret_cast<EventSource*>(source);
  return true;
}

}  // namespace platform
