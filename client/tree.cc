// put -r, get -r, ls and stat (contract in tree.h).
#include "client/tree.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <utility>

#include "client/remote_files.h"
#include "client/targets.h"
#include "client/transfer.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

// How deep get -r goes: a server's directory link to its own parent would list for ever.
constexpr int kMaxDepth = 64;

// A tree's directories and files, as '/'-separated paths relative to its root, each directory
// before what it holds.
struct Tree {
  std::vector<std::string> dirs;
  std::vector<std::string> files;
};

// The local tree below `root`: "" or why it cannot be copied. Links to files are read as the
// files; a link to a directory, or anything but files and directories, is refused rather than
// left out unnoticed.
std::string WalkLocal(const std::string& root, Tree* tree) {
  std::string prefix = fs::path(root).generic_string();
  if (prefix.back() != '/') prefix += '/';
  std::error_code error;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, error), end;
  for (; !error && it != end; it.increment(error)) {
    std::string relative = it->path().generic_string().substr(prefix.size());
    fs::file_status status = it->status(error);
    if (error) break;
    if (it->is_symlink() && fs::is_directory(status)) {
      return "cannot copy " + it->path().string() + ": a link to a directory";
    }
    if (fs::is_directory(status)) {
      tree->dirs.push_back(relative);
    } else if (fs::is_regular_file(status)) {
      tree->files.push_back(relative);
    } else {
      return "cannot copy " + it->path().string() + ": not a file or a directory";
    }
  }
  if (error) return "cannot read local directory " + root + ": " + error.message();
  std::sort(tree->dirs.begin(), tree->dirs.end());
  std::sort(tree->files.begin(), tree->files.end());
  return "";
}

std::string CollisionText(const std::vector<std::pair<std::string, std::string>>& collisions) {
  std::string text = "names that differ only in case would be one file on the server: ";
  constexpr size_t kNamed = 3;
  for (size_t i = 0; i < std::min(collisions.size(), kNamed); ++i) {
    text += (i == 0 ? "" : ", ") + collisions[i].first + " and " + collisions[i].second;
  }
  if (collisions.size() > kNamed)
    text += " and " + std::to_string(collisions.size() - kNamed) + " more";
  return text + "; nothing sent";
}

// The name of a local path's last component, also for "dir/".
std::string LocalBaseName(const std::string& path) {
  fs::path name(path);
  if (!name.has_filename()) name = name.parent_path();
  return name.filename().string();
}

std::string WithoutFinalSeparators(std::string path) {
  while (path.size() > 1 && EndsWithSeparator(path)) path.pop_back();
  return path;
}

// The server tree below `root`, listed whole before anything is written.
int WalkRemote(Session& session, const std::string& root, Tree* tree) {
  std::vector<std::pair<std::string, int>> pending = {{"", 0}};  // a directory, its depth
  while (!pending.empty()) {
    auto [dir, depth] = pending.back();
    pending.pop_back();
    std::string remote_dir = dir.empty() ? root : JoinRemote(root, dir);
    std::vector<RemoteEntry> entries;
    int status = session.Remote(ListDir(session.client(), remote_dir, "", &entries), remote_dir);
    if (status != kCliOk) return status;
    for (const RemoteEntry& entry : entries) {
      if (!IsPlainName(entry.name)) {
        return session.Fail(remote_dir, "the server listed the name \"" + entry.name +
                                            "\", which would lead out of the directory; nothing "
                                            "written");
      }
      std::string relative = dir.empty() ? entry.name : dir + "/" + entry.name;
      if (!entry.is_dir) {
        tree->files.push_back(relative);
      } else if (depth + 1 < kMaxDepth) {
        tree->dirs.push_back(relative);
        pending.emplace_back(relative, depth + 1);
      } else {
        return session.Fail(remote_dir, "more than " + std::to_string(kMaxDepth) +
                                            " directories deep (a link to a directory above?)");
      }
    }
  }
  std::sort(tree->dirs.begin(), tree->dirs.end());
  return kCliOk;
}

int MakeLocalDir(Session& session, const std::string& subject, const std::string& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (!error) return kCliOk;
  return session.Fail(subject, "cannot make local directory " + dir + ": " + error.message());
}

void PrintEntry(std::FILE* out, const RemoteEntry& entry, bool long_listing) {
  if (long_listing) {
    std::fprintf(out, "%c %14lld %s %s\n", entry.is_dir ? 'd' : '-',
                 static_cast<long long>(entry.length), FormatTime(entry.mtime).c_str(),
                 entry.name.c_str());
  } else {
    std::fprintf(out, "%s%s\n", entry.name.c_str(), entry.is_dir ? "/" : "");
  }
}

}  // namespace

std::string FormatTime(int64_t seconds_since_1970) {
  platform::LocalTime time = platform::LocalTimeOf(seconds_since_1970);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", time.year, time.month, time.day,
                time.hour, time.minute);
  return text;
}

int PutTree(Session& session, const std::string& local, const std::string& remote) {
  Tree tree;
  if (std::string why = WalkLocal(local, &tree); !why.empty()) return session.Fail(remote, why);
  std::vector<std::string> names = tree.dirs;
  names.insert(names.end(), tree.files.begin(), tree.files.end());
  if (auto collisions = CaseCollisions(names); !collisions.empty()) {
    return session.Fail(local, CollisionText(collisions));
  }
  bool remote_is_dir = false;
  int status = session.DirExists(remote, &remote_is_dir);
  if (status != kCliOk) return status;
  std::string name = LocalBaseName(local);
  std::string root = remote_is_dir && IsPlainName(name) ? JoinRemote(remote, name) : remote;
  std::vector<std::string> dirs;
  if (session.options().parents) dirs = RemoteParents(root);
  dirs.push_back(root);
  for (const std::string& dir : tree.dirs) dirs.push_back(JoinRemote(root, dir));
  status = session.MakeDirs(dirs);
  for (size_t i = 0; status == kCliOk && i < tree.files.size(); ++i) {
    status = PutFile(session, local + "/" + tree.files[i], JoinRemote(root, tree.files[i]));
  }
  return status;
}

int GetTree(Session& session, const std::string& remote, const std::string& local) {
  std::string root = WithoutFinalSeparators(remote);
  std::string name = RemoteBaseName(root);
  std::error_code error;
  bool local_is_dir = !local.empty() && fs::is_directory(local, error);
  if (!IsPlainName(name) && !local_is_dir) {
    return session.Fail(remote, "name a local directory to copy it into");
  }
  std::string local_root = local_is_dir && IsPlainName(name) ? local + "/" + name
                           : local.empty()                   ? name
                                                             : local;
  Tree tree;
  int status = WalkRemote(session, root, &tree);
  if (status == kCliOk) status = MakeLocalDir(session, remote, local_root);
  for (size_t i = 0; status == kCliOk && i < tree.dirs.size(); ++i) {
    status = MakeLocalDir(session, remote, local_root + "/" + tree.dirs[i]);
  }
  for (size_t i = 0; status == kCliOk && i < tree.files.size(); ++i) {
    status = GetFile(session, JoinRemote(root, tree.files[i]), local_root + "/" + tree.files[i]);
  }
  return status;
}

int Ls(Session& session, const std::vector<std::string>& words) {
  const std::string& remote = words[1];
  std::vector<RemoteEntry> entries;
  RemoteResult listed =
      ListDir(session.client(), remote, words.size() > 2 ? words[2] : "", &entries);
  if (listed == RemoteResult::kNotFound) {  // a file is listed as itself, as ls lists it
    std::optional<RemoteEntry> entry;
    RemoteResult found = StatPath(session.client(), remote, &entry);
    if (found == RemoteResult::kOk && !entry->is_dir) {
      PrintEntry(session.out(), *entry, session.options().long_listing);
      return kCliOk;
    }
  }
  int status = session.Remote(listed, remote);
  if (status != kCliOk) return status;
  for (const RemoteEntry& entry : entries) {
    PrintEntry(session.out(), entry, session.options().long_listing);
  }
  return kCliOk;
}

int Stat(Session& session, const std::vector<std::string>& words) {
  const std::string& remote = words[1];
  std::optional<RemoteEntry> entry;
  int status = session.Remote(StatPath(session.client(), remote, &entry), remote);
  if (status != kCliOk) return status;
  std::fprintf(session.out(), "name: %s\ntype: %s\nlength: %lld\nmtime: %s (%lld)\n",
               entry->name.c_str(), entry->is_dir ? "directory" : "file",
               static_cast<long long>(entry->length), FormatTime(entry->mtime).c_str(),
               static_cast<long long>(entry->mtime));
  return kCliOk;
}
