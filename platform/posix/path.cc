// Translation of Windows paths to native ones, with case-insensitive lookup of missing
// components (contract in platform/posix/path.h), and where a path finally leads once its
// links are followed (ResolvePath, platform/fs.h).
#include "platform/posix/path.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/posix/posix_error.h"

namespace platform {
namespace {

bool IsSeparator(char ch) {
  return ch == '/' || ch == '\\';
}

bool HasDriveLetter(std::string_view path) {
  if (path.size() < 2 || path[1] != ':') return false;
  char letter = FoldAscii(path[0]);
  return letter >= 'a' && letter <= 'z';
}

}  // namespace

std::string SpelledNativePath(std::string_view path) {
  std::string native;
  native.reserve(path.size() + 1);
  if (HasDriveLetter(path)) {
    path.remove_prefix(2);
    native = "/";
    if (!path.empty() && IsSeparator(path[0])) path.remove_prefix(1);
  }
  for (char ch : path) native += IsSeparator(ch) ? '/' : ch;
  return native;
}

namespace {

// The first entry of `native_dir` equal to `name` without regard to case, or "".
std::string MatchInDirectory(const std::string& native_dir, std::string_view name) {
  std::string match;
  ForEachEntry(native_dir, [&](const char* entry, int) {
    if (!EqualNoCase(entry, name)) return true;
    match = entry;
    return false;
  });
  return match;
}

// Walks `native` from its start, replacing each missing component by its case-insensitive
// match while the directories along the way exist.
std::string Resolve(const std::string& native) {
  std::string resolved = native[0] == '/' ? "/" : "";
  bool looking = true;
  size_t pos = 0;
  while (pos < native.size()) {
    size_t end = native.find('/', pos);
    if (end == std::string::npos) end = native.size();
    std::string_view component(native.data() + pos, end - pos);
    pos = end + 1;
    if (component.empty()) continue;
    std::string candidate = Join(resolved, component);
    if (looking && !NativeExists(candidate)) {
      std::string match = MatchInDirectory(resolved.empty() ? "." : resolved, component);
      if (match.empty()) {
        looking = false;  // nothing below a missing directory can exist
      } else {
        candidate = Join(resolved, match);
      }
    }
    resolved = std::move(candidate);
  }
  if (native.back() == '/' && resolved.back() != '/') resolved += '/';
  return resolved;
}

bool DirectoryMissing(const std::string& native) {
  std::string_view path(native);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) return true;
  size_t start = LastComponentStart(path);
  if (start == 0) return false;  // the current directory
  struct stat st;
  std::string dir(path.substr(0, start));
  return stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string ToNativePath(const char* path) {
  std::string native = SpelledNativePath(path != nullptr ? path : "");
  if (native.empty() || NativeExists(native)) return native;
  return Resolve(native);
}

std::string NativePath(const char* path) {
  return ToNativePath(path);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

size_t LastComponentStart(std::string_view path) {
  size_t last = path.find_last_of("/\\");
  if (last != std::string_view::npos) return last + 1;
  return HasDriveLetter(path) ? 2 : 0;
}

bool NativeExists(const std::string& native) {
  struct stat st;
  return lstat(native.c_str(), &st) == 0;
}

std::string Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string joined = dir;
  if (joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

bool ForEachEntry(const std::string& native_dir,
                  const std::function<bool(const char* name, int directory_fd)>& visit) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(native_dir.c_str()));
  if (dir == nullptr) return false;
  int fd = dirfd(dir.get());
  while (const struct dirent* entry = readdir(dir.get())) {
    if (!visit(entry->d_name, fd)) break;
  }
  return true;
}

void SetLastErrorForPath(int err, const std::string& native) {
  if (err == ENOENT && DirectoryMissing(native)) {
    SetLastError(kErrorPathNotFound);
  } else {
    SetLastErrorFromErrno(err);
  }
}

}  // namespace platform

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit on a lookup
// The longest path Windows takes; a longer spelling names nothing and is not looked at.
constexpr size_t kMaxPathSpelling = 32767;

// The components of `path` in reverse order, so that the next one is at the back.
void PushComponents(const std::string& path, std::vector<std::string>* pending) {
  size_t end = path.size();
  while (end > 0) {
    size_t start = path.rfind('/', end - 1);
    size_t from = start == std::string::npos ? 0 : start + 1;
    if (end > from) pending->push_back(path.substr(from, end - from));
    if (start == std::string::npos) break;
    end = start;
  }
}

// The path as it stands when every component exists as spelled and none is a link, `.` or
// `..`: one look-up by the kernel (openat2 refusing links) instead of an lstat per component.
// Runs of separators are one, and none ends the path. False when that cannot be told at once
// (the component walk then decides).
bool ResolvedAtOnce(const std::string& native, std::string* resolved) {
  std::string out;
  out.reserve(native.size());
  for (size_t pos = 0; pos < native.size();) {
    size_t end = std::min(native.find('/', pos), native.size());
    std::string_view part(native.data() + pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") return false;
    out += '/';
    out += part;
  }
  if (out.empty()) out = "/";
  open_how how = {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd = syscall(SYS_openat2, AT_FDCWD, out.c_str(), &how, sizeof how);
  if (fd < 0) return false;  // a link, a missing component, or a kernel without openat2
  close(static_cast<int>(fd));
  *resolved = std::move(out);
  return true;
}

}  // namespace

// Names are matched without regard to case component by component, here rather than by
// ToNativePath: a `..` can lead back from a missing name to ones that exist.
bool ResolvePath(const char* path, std::string* resolved, FinalLink final_link) {
  if (path != nullptr && std::strlen(path) > kMaxPathSpelling) {
    SetLastError(kErrorFilenameTooLong);
    return false;
  }
  std::string native = SpelledNativePath(path != nullptr ? path : "");
  if (native.empty() || native[0] != '/') {
    char here[4096];
    native = std::string(getcwd(here, sizeof here) != nullptr ? here : "/") + "/" + native;
  }
  if (final_link == FinalLink::kFollow && ResolvedAtOnce(native, resolved)) return true;
  std::vector<std::string> pending;
  PushComponents(native, &pending);
  std::string out;  // "" is the root
  int links = 0;
  bool missing = false;  // below a missing component nothing is looked up
  while (!pending.empty()) {
    std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      out.resize(out.empty() ? 0 : out.rfind('/'));
      // Back above the missing component, what is left exists again.
      missing = missing && !NativeExists(out.empty() ? "/" : out);
      continue;
    }
    size_t before = out.size();
    out += '/';
    out += part;
    struct stat st;
    if (!missing && lstat(out.c_str(), &st) != 0) {
      // Not there as spelled: there without regard to case, or missing.
      std::string match = MatchInDirectory(before == 0 ? "/" : out.substr(0, before), part);
      out.resize(before + 1);
      out += match.empty() ? part : match;
      missing = match.empty() || lstat(out.c_str(), &st) != 0;
    }
    bool kept = final_link == FinalLink::kKeep && pending.empty();
    if (!missing && S_ISLNK(st.st_mode) && !kept) {
      char target[4096];
      ssize_t length = readlink(out.c_str(), target, sizeof target - 1);
      if (length < 0 || ++links > kMaxLinks) {
        SetLastError(kErrorCantResolveFilename);
        return false;
      }
      std::string link(target, static_cast<size_t>(length));
      out.resize(link.empty() || link[0] != '/' ? before : 0);
      PushComponents(link, &pending);
    }
  }
  *resolved = out.empty() ? "/" : std::move(out);
  return true;
}

std::string ResolvedNameKey(const std::string& resolved) {
  return resolved;
}

bool PathIsWithin(const std::string& path, const std::string& directory) {
  if (directory == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

}  // namespace platform
