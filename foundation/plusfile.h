// PlusFile: the file-system helpers of the foundation library, on Windows paths (`\` or `/`,
// a drive letter, any case; see platform/fs.h for how they reach the disk).
//
// The path texts (DirectoryOf, WithFinalSeparator, WithBackslashes) only look at bytes. The
// others report failure by their result alone: 1 or 0, except Rename and Remove, which keep
// the run-time library's form (0 on success, -1 on failure) because the files cache tests
// them that way. Nothing here locks; any thread may call.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"
#include "foundation/yarray.h"

namespace PlusFile {

// A directory entry's status. Times are seconds since 1970.
struct FileInfo {
  int64_t creation_time = 0;
  int64_t last_write_time = 0;
  int64_t last_access_time = 0;
  uint32_t size = 0;  // the low 32 bits of the size
  uint32_t attributes = 0;
};

// The text up to and including the last `\` or `/`; "" when there is none.
CString DirectoryOf(const char* path);
// Trimmed, with a final `\` (a final `/` becomes `\`). An empty text stays empty: it names
// the current directory, not the root.
CString WithFinalSeparator(const char* path);
// Every `/` turned into `\`.
CString WithBackslashes(const char* path);

// 1 when the path names an entry, or a pattern matches one; directories count.
int FileExists(const char* path);
// 1 when the path names a directory.
int DirExists(const char* path);
// Clears `names`, then adds the names (without directory) of the entries that match
// `pattern` and are not directories, in the order the system lists them. Their count.
int FindFiles(const char* pattern, YStringArray& names);

// The status of the first entry the path (or pattern) names; a zero creation or access time
// takes the last-write time. 1, or 0 when nothing is found.
int FileStatus(const char* path, FileInfo* info);
// The last-write time, 0 when nothing is found.
int64_t LastWriteTime(const char* path);

int MakeDir(const char* path);     // 0 when it exists or its parent is missing
int RemoveDir(const char* path);   // empty directories only
int DeleteFile(const char* path);  // files only, never directories
// 0 on success, -1 on failure: the target must not exist; files and directories move.
int Rename(const char* from, const char* to);
// 0 on success, -1 on failure: files only.
int Remove(const char* path);
// Bytes free to the caller on the volume holding `path`: 1 with `*free_to_caller` set, or 0
// leaving it untouched.
int FreeDiskSpace(const char* path, uint64_t* free_to_caller);

}  // namespace PlusFile
