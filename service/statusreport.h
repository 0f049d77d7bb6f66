// What the service manager and the event log hear from the service host: the state reports
// with their check points and wait hints, the event-log report of the host's own errors, and
// the error text of its console messages.
//
// A ServiceReporter is shared by the service main's thread and the control handler's thread;
// every member may be called from either. SetDebug comes before any report.
//
// Invariants:
//  1. The check point of RUNNING and STOPPED reports is 0; every other report takes the next
//     value of a counter that starts at 1 and only grows.
//  2. A START_PENDING report accepts no controls; every other report accepts stop.
//  3. Reports reach the sink one at a time, in the order of their check points.
//  4. Under the debug flag (a console run) reports reach no sink: status reports count as
//     successful and event-log reports do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/service.h"

class ServiceReporter {
 public:
  // Hands a status to the service manager; false with the last error set when it failed.
  using StatusSink = std::function<bool(const platform::ServiceStatus&)>;
  // Writes one error entry with two strings: "<service> error: <code>" and the message.
  using EventSink = std::function<void(const std::string& error_line, const char* message)>;

  ServiceReporter(const char* service_name, StatusSink status_sink, EventSink event_sink);

  void SetDebug();

  // Reports `state`; a failed report is written to the event log. → whether it reached the
  // service manager (always true under the debug flag).
  bool ReportStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint);
  // Reports the current state again, as for a control the service does not act on.
  bool ReportCurrentStatus();
  // The event-log report of `message`, with the calling thread's last error, which is kept as
  // the exit code of the stopped service.
  void AddToMessageLog(const char* message);
  uint32_t last_error() const;

 private:
  const char* service_name_;
  StatusSink status_sink_;
  EventSink event_sink_;
  mutable std::mutex mutex_;
  bool debug_ = false;
  uint32_t last_error_ = 0;
  uint32_t check_point_ = 1;
  platform::ServiceStatus status_;
};

// The event sink of a real run: the system's event log, with `source` as the event source.
void WriteEventLog(const char* source, const std::string& error_line, const char* message);

// "<text> (0x<code>)", the text without a final CR LF; "" when there is no text or it would not
// fit a 256-character message with its number.
std::string FormatErrorText(const char* system_text, uint32_t code);
// The same for the calling thread's last error.
std::string LastErrorText();
