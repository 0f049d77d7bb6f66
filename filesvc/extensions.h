// The opt-in procedures (unit "extensions"), served only when the profile sets Extensions=1:
// what the specified table cannot tell a client. The procedure table (procs.h) puts them
// behind the same access guard as the others and hands each its path as the guard spelled it.
//
//  plif_dir_list "ss" (directory as given, pattern): one NET_TABLE of the directory's entries
//    whose names match the pattern (`*` and `?`, without regard to ASCII case; "" matches
//    all), sorted byte-wise by name, at most kDirListPage rows. The pattern argument may go on
//    with "/" and a name: the page then starts after that name, so a client continues with
//    the last name it got until a page comes back empty. A NULL table when the directory
//    cannot be listed (missing, a file, unreadable) or the pattern is longer than
//    kMaxPattern.
//  plif_file_stat "s" (path, lower-cased): the same table with the path's one row, or without
//    rows when nothing is there; NULL when the call is refused.
//  plif_file_checksum "sll" (path lower-cased, position, length): NET_SUPERLONG, zlib's CRC-32
//    of that range as the cache sees the file, cut at its end; -1 when the file cannot be read
//    or the position or length is negative.
//
// The table's columns: "name" (NET_CSTRING: the entry's name as on disk; for plif_file_stat
// the path's last component), "dir" (NET_LONG 1 for a directory, else 0), "length"
// (NET_SUPERLONG, the full length; the cache's view for a file it holds), "mtime"
// (NET_SUPERLONG, the last-write time in whole seconds since 1970-01-01 UTC).
//
// Each logs one line: "dir_list:%s %s %d" (directory, pattern argument, rows or -1),
// "file_stat:%s size:%lld" (path, length or -1), "file_checksum:%s pos:%lld size:%lld
// crc:%lld" (path, position, length, checksum or -1).
//
// Threads: as every handler, on the caller's session thread, several at once.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"
#include "values/netdat.h"

inline constexpr int kDirListPage = 1000;
inline constexpr int kMaxPattern = 1024;

// The handlers' work; each answers as above and returns 0.
int32_t ListDir(const CString& dir, const NetValueList& arguments, NetValueList* results);
int32_t StatPath(const CString& path, NetValueList* results);
int32_t ChecksumRange(const CString& path, const NetValueList& arguments, NetValueList* results);
