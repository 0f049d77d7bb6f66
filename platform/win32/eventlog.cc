// The event log on the system's own: RegisterEventSourceA on the local machine, one
// ReportEventA per entry with the strings as its inserts, DeregisterEventSource.
#include "platform/win32/windows_headers.h"

#include "platform/error.h"
#include "platform/eventlog.h"

namespace platform {

EventSourceHandle RegisterEventSource(const char* source_name) {
  if (source_name == nullptr || source_name[0] == '\0') {
    SetLastError(kErrorInvalidParameter);
    return kNoEventSource;
  }
  HANDLE source = RegisterEventSourceA(nullptr, source_name);
  return reinterpret_cast<EventSourceHandle>(source);
}

bool ReportEvent(EventSourceHandle source, uint16_t type, const char* const* strings,
                 uint16_t count) {
  if (source == kNoEventSource) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  // Event id 0 in category 0: the source registers no message file, so the viewer shows the
  // inserts themselves.
  return ReportEventA(reinterpret_cast<HANDLE>(source), type, 0, 0, nullptr, count, 0,
                      const_cast<const char**>(strings), nullptr) != 0;
}

bool DeregisterEventSource(EventSourceHandle source) {
  if (source == kNoEventSource) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return ::DeregisterEventSource(reinterpret_cast<HANDLE>(source)) != 0;
}

}  // namespace platform
