// The one place where POSIX errno values become Win32 error numbers.
#pragma once

#include <cstdint>

namespace platform {

// errno to the Win32 number. ENOENT is 2 here; callers that can tell a missing directory
// from a missing file turn it into 3 themselves.
uint32_t Win32ErrorFromErrno(int err);
// Stores the mapped errno as the thread's last error.
void SetLastErrorFromErrno(int err);
// errno to the Winsock number, for socket calls: the same errno means another number there
// (EINVAL is 10022 for a socket, 87 for a file).
uint32_t WinsockErrorFromErrno(int err);
// The errno value a Winsock number stands for (the first of those that map to it), or -1 for
// numbers that no errno maps to.
int ErrnoFromWinsock(uint32_t code);

}  // namespace platform
