// Windows paths on a POSIX file system: the translation every file and file-system call of the
// POSIX backend makes before it reaches the kernel. Internal to platform/posix/.
//
// Contract of ToNativePath:
//  1. `\` and `/` both separate; the result uses `/` only.
//  2. A leading drive letter `X:` names the root: `d:\data\a` is `/data/a`, `d:data` is
//     `/data`. Paths without one stay relative to the current directory.
//  3. A path that exists as given costs one lstat and is returned unchanged.
//  4. Otherwise each component that does not exist as spelled is matched without regard to
//     ASCII case against its directory's entries, first match in listing order wins. A
//     component that matches nothing keeps its spelling, and so do all after it, so a file or
//     directory about to be created gets the name the caller gave.
// Every function here may be called from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

std::string ToNativePath(const char* path);
// Points 1 and 2 only, without any look-up: for a path that is already resolved and must be
// opened exactly as it stands.
std::string SpelledNativePath(std::string_view path);

// ASCII case folding, the only folding Windows file names get here: bytes of 128 and above
// compare as they are.
inline char FoldAscii(char ch) {
  return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
}
bool EqualNoCase(std::string_view a, std::string_view b);

// Where the last component of a Windows or native path starts: just after its last `\` or
// `/`, else after a leading drive letter, else 0.
size_t LastComponentStart(std::string_view path);

// Whether `native` names an entry (lstat: a dangling symbolic link counts).
bool NativeExists(const std::string& native);

// `name` inside `dir`; `name` alone when `dir` is "".
std::string Join(const std::string& dir, std::string_view name);

// Calls `visit(name, directory_fd)` for every entry of `native_dir` ("." and ".." included),
// in the order the system lists them, until `visit` returns false. False with errno set when
// the directory cannot be opened.
bool ForEachEntry(const std::string& native_dir,
                  const std::function<bool(const char* name, int directory_fd)>& visit);

// Stores `err` of a call on `native` as the thread's last error. ENOENT becomes 3 (path not
// found) instead of 2 when a directory on the way to `native` is missing, as on Windows.
void SetLastErrorForPath(int err, const std::string& native);

}  // namespace platform
