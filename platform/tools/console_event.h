// Console control events raised in this process, for tests and tools: the handlers that
// service.h's SetConsoleCtrlHandler added run as for an event from outside.
#pragma once

#include <cstdint>

namespace platform {

// Raises kCtrlCEvent or kCtrlBreakEvent (service.h) in this process as a terminal would
// (POSIX: SIGINT or SIGTERM). Windows: the event goes to every process on this process's
// console; one that shares its console with other processes first gets a console of its own.
// False (87) for other events.
bool RaiseConsoleCtrlEvent(uint32_t event);

}  // namespace platform
