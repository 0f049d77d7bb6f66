// The one place where POSIX errno values become Win32 error numbers.
#pragma once

#include <cstdint>

namespace platform {

// errno to the Win32 number. ENOENT is 2 here; callers that can tell a missing directory
// from a missing file turn it into 3 themselves.
uint32_t Win32ErrorFromErrno(int err);
// Stores the mapped errno as the thread's last error.
void SetLastErrorFromErrno(int err);

}  // namespace platform
