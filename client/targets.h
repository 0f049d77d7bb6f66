// Where a copy goes, decided as cp and scp decide it: a directory target means "into it",
// under the source's own name. Pure functions on the paths' text; whether a path is a
// directory is asked by the caller (of the server or of the local file system).
//
// Server paths are the server's: '/' and '\' both separate (a Windows server takes either),
// and they are absolute, since the server resolves a relative path in its own program
// directory, where its profile lives.
#pragma once

#include <string>
#include <utility>
#include <vector>

// "/x", "\x", "C:\x", "C:/x" or "\\host\share\x": true. "x", "./x", "C:x": false.
bool IsAbsoluteRemote(const std::string& path);

bool EndsWithSeparator(const std::string& path);

// The last component of a server path ("" when the path ends with a separator).
std::string RemoteBaseName(const std::string& path);

// What comes before the base name, separator included: "/srv/f/" for "/srv/f/a.bin".
std::string RemoteDirName(const std::string& path);

// `dir` and `name` joined with the separator `dir` already uses ('/' when it has none).
std::string JoinRemote(const std::string& dir, const std::string& name);

// The directories above `path` that a copy to it stands in, from the top down, without the
// root: "/a/b/c" gives "/a", "/a/b"; "C:\a\b" gives "C:\a". For --parents.
std::vector<std::string> RemoteParents(const std::string& path);

// Where put writes a file called `name`: into `remote` when it ends with a separator or
// `remote_is_dir`, else `remote` itself.
std::string PutTarget(const std::string& remote, const std::string& name, bool remote_is_dir);

// Where get writes the server file called `name`: into `local` when it ends with a separator or
// `local_is_dir`, as `name` in the current directory when `local` is empty, else `local`.
std::string GetTarget(const std::string& local, const std::string& name, bool local_is_dir);

// Whether a name the server listed may be used as one component of a local path: not empty,
// not "." or "..", without a separator. Anything else from a server would lead a download
// out of its directory.
bool IsPlainName(const std::string& name);

// The names among `paths` (relative paths of a tree) that are equal once ASCII letters are
// lower-cased, as the server lower-cases file paths, so that one would overwrite the other
// there: each name with the first one it collides with, in the order of `paths`.
std::vector<std::pair<std::string, std::string>> CaseCollisions(
    const std::vector<std::string>& paths);
