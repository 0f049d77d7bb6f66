// The system's event log, as RegisterEventSource / ReportEvent / DeregisterEventSource give it:
// a source is a name under which entries are written; an entry has a type and a few strings.
// Any thread may report; a source handle belongs to the thread that registered it until it is
// deregistered.
//
// POSIX backend: syslog (facility daemon) with the source name as ident and the process id;
// the strings of one entry are joined with " - " into one message. The entry is also written
// to standard error, unless standard error already goes to the journal (JOURNAL_STREAM names
// it), so that a program run by hand shows what it logged.
//
// Windows backend: the system's event log, each string an insert of an entry with event id 0.
#pragma once

#include <cstdint>

namespace platform {

enum : uint16_t {
  kEventlogErrorType = 1,
  kEventlogWarningType = 2,
  kEventlogInformationType = 4,
};

using EventSourceHandle = intptr_t;
inline constexpr EventSourceHandle kNoEventSource = 0;

// kNoEventSource (87) for an empty name.
EventSourceHandle RegisterEventSource(const char* source_name);
bool ReportEvent(EventSourceHandle source, uint16_t type, const char* const* strings,
                 uint16_t count);
bool DeregisterEventSource(EventSourceHandle source);

}  // namespace platform
