// This process's console, for the units that send console control events: events travel only
// through a console, and a process may have none (started detached, or by Wine without a
// terminal).
#pragma once

namespace platform {

// Gives this process a console of its own, hidden, when it has none, or with `alone` also
// when other processes share the one it has. Its standard handles stay where they were.
// False when no console could be made.
bool EnsureConsole(bool alone);

}  // namespace platform
