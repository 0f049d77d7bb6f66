// Files this process holds open without sharing. Windows refuses to delete or rename a file
// while any handle to it is open without delete sharing, which the file calls never grant;
// so the server's own exclusively held files (the cache's index files) survive a sweep of
// their directory. POSIX has no such rule: the backend keeps the identities of the
// descriptors it opened with FileShare::kNone and refuses to unlink or rename those files
// (32, a sharing violation). Files opened with some sharing are left to POSIX's rules, since
// no caller relies on more. Internal to platform/posix/; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Notes descriptor `fd` of the file (device, inode), just opened without sharing, until
// ForgetExclusive(fd).
void NoteExclusive(int fd, uint64_t device, uint64_t inode);
// Before `fd` closes; nothing when it was not noted.
void ForgetExclusive(int fd);
// Whether the entry `native` (not following a final link) is a file noted above.
bool HeldExclusively(const std::string& native);

}  // namespace platform
