// State reports, the event-log report and the error text of the service host.
#include "service/statusreport.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/error.h"
#include "platform/eventlog.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "statusreport";
constexpr size_t kMessageSize = 256;
// Room that the number and the punctuation around it take in a message.
constexpr size_t kNumberRoom = 14;

bool TakesCheckPoint(uint32_t state) {
  return state != platform::kServiceRunning && state != platform::kServiceStopped;
}

}  // namespace

ServiceReporter::ServiceReporter(const char* service_name, StatusSink status_sink,
                                 EventSink event_sink)
    : service_name_(service_name),
      status_sink_(std::move(status_sink)),
      event_sink_(std::move(event_sink)) {
  FATAL_CHECK(service_name_ != nullptr && status_sink_ && event_sink_);
  status_.service_type = platform::kServiceWin32OwnProcess;
  status_.service_specific_exit_code = 0;
}

void ServiceReporter::SetDebug() {
  std::lock_guard<std::mutex> hold(mutex_);
  debug_ = true;
}

bool ServiceReporter::ReportStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint) {
  {
    // Held across the sink, so that reports from two threads arrive in check-point order.
    std::lock_guard<std::mutex> hold(mutex_);
    if (debug_) return true;
    status_.controls_accepted =
        state == platform::kServiceStartPending ? 0 : platform::kServiceAcceptStop;
    status_.current_state = state;
    status_.win32_exit_code = exit_code;
    status_.wait_hint = wait_hint;
    status_.check_point = TakesCheckPoint(state) ? check_point_++ : 0;
    if (status_sink_(status_)) return true;
  }
  AddToMessageLog("SetServiceStatus");
  return false;
}

bool ServiceReporter::ReportCurrentStatus() {
  platform::ServiceStatus current;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    current = status_;
  }
  return ReportStatus(current.current_state, current.win32_exit_code, current.wait_hint);
}

void ServiceReporter::AddToMessageLog(const char* message) {
  char error_line[kMessageSize];
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (debug_) return;
    last_error_ = platform::LastError();
    std::snprintf(error_line, sizeof error_line, "%s error: %d", service_name_,
                  static_cast<int>(last_error_));
  }
  event_sink_(error_line, message);
}

uint32_t ServiceReporter::last_error() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return last_error_;
}

void WriteEventLog(const char* source, const std::string& error_line, const char* message) {
  platform::EventSourceHandle handle = platform::RegisterEventSource(source);
  if (handle == platform::kNoEventSource) return;
  const char* strings[2] = {error_line.c_str(), message};
  platform::ReportEvent(handle, platform::kEventlogErrorType, strings, 2);
  platform::DeregisterEventSource(handle);
}

std::string FormatErrorText(const char* system_text, uint32_t code) {
  size_t length = system_text == nullptr ? 0 : std::strlen(system_text);
  if (length == 0 || length + kNumberRoom > kMessageSize) return std::string();
  std::string text(system_text, length);
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(length - 2);
  char number[kNumberRoom];
  std::snprintf(number, sizeof number, " (0x%x)", code);
  return text + number;
}

std::string LastErrorText() {
  uint32_t code = platform::LastError();
  return FormatErrorText(platform::ServiceErrorText(code), code);
}
