// Copy targets from paths' text (contract in targets.h).
#include "client/targets.h"

#include <filesystem>
#include <map>

namespace {

bool IsSeparator(char ch) {
  return ch == '/' || ch == '\\';
}

bool IsLetter(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

bool HasDrive(const std::string& path) {
  return path.size() >= 2 && IsLetter(path[0]) && path[1] == ':';
}

// Where the first component below the root starts: after "/", "C:\" or "\\host\share\".
size_t RootLength(const std::string& path) {
  if (HasDrive(path)) return 3;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t share = path.find_first_of("/\\", 2);
    size_t end = share == std::string::npos ? share : path.find_first_of("/\\", share + 1);
    return end == std::string::npos ? path.size() : end + 1;
  }
  return 1;
}

}  // namespace

bool IsAbsoluteRemote(const std::string& path) {
  if (HasDrive(path)) return path.size() > 2 && IsSeparator(path[2]);
  return !path.empty() && IsSeparator(path[0]);
}

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && IsSeparator(path.back());
}

std::string RemoteBaseName(const std::string& path) {
  size_t last = path.find_last_of("/\\");
  return last == std::string::npos ? path : path.substr(last + 1);
}

std::string RemoteDirName(const std::string& path) {
  return path.substr(0, path.size() - RemoteBaseName(path).size());
}

std::string JoinRemote(const std::string& dir, const std::string& name) {
  if (EndsWithSeparator(dir)) return dir + name;
  bool backslashes = dir.find('\\') != std::string::npos && dir.find('/') == std::string::npos;
  return dir + (backslashes ? '\\' : '/') + name;
}

std::vector<std::string> RemoteParents(const std::string& path) {
  std::vector<std::string> parents;
  for (size_t at = path.find_first_of("/\\", RootLength(path)); at != std::string::npos;
       at = path.find_first_of("/\\", at + 1)) {
    if (!IsSeparator(path[at - 1])) parents.push_back(path.substr(0, at));
  }
  return parents;
}

std::string PutTarget(const std::string& remote, const std::string& name, bool remote_is_dir) {
  return EndsWithSeparator(remote) || remote_is_dir ? JoinRemote(remote, name) : remote;
}

std::string GetTarget(const std::string& local, const std::string& name, bool local_is_dir) {
  if (local.empty()) return name;
  bool separator =
      local.back() == '/' || local.back() == std::filesystem::path::preferred_separator;
  if (separator) return local + name;
  return local_is_dir ? local + "/" + name : local;
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::vector<std::pair<std::string, std::string>> CaseCollisions(
    const std::vector<std::string>& paths) {
  std::vector<std::pair<std::string, std::string>> collisions;
  std::map<std::string, const std::string*> seen;  // lower-cased: the first path
  for (const std::string& path : paths) {
    std::string lower = path;
    for (char& ch : lower) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    auto [at, fresh] = seen.emplace(lower, &path);
    if (!fresh) collisions.emplace_back(*at->second, path);
  }
  return collisions;
}
