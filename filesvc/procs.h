// The file-service procedure table (unit "procs"): what a client can call, and the handlers
// behind each name.
//
// Entries, in the order handed to the SRPC server (which sorts its own copy by name):
//   SRPC_OPEN, SRPC_CLOSE (connection hooks: log the peer),
//   plif_get_version "", plif_file_create "s", plif_file_open "s", plif_file_read "sli",
//   plif_file_write "slb", plif_file_getlength "s", plif_file_remove "s",
//   plif_file_rename "ss", plif_file_clear "", plif_file_exists "s", plif_dir_exists "s",
//   plif_mkdir "s", plif_rmdir "s", plif_get_freespace "s", _shutdown "",
// then (only in the table with extensions) plif_dir_list "ss", plif_file_stat "s",
// plif_file_checksum "sll", then the entry whose name is null. No entry is serialized.
//
// Every handler returns 0: what happened to the file is its result value, never an SRPC error.
// A handler that answers clears the result list and puts exactly one value there: NET_LONG for
// 1/0, counts and megabytes, NET_SUPERLONG for a length, NET_STRING for the version, NET_BINARY
// for read data. File paths (plif_file_*) are lower-cased (ASCII letters only) before they
// reach the disk manager and the log; directory paths (plif_dir_exists, plif_mkdir,
// plif_rmdir) and the free-space path are used as given. Reads are cut to 64 KiB. A path
// reaches the log through LogValue (control bytes escaped, cut after 1,000 bytes), so that no
// client can write a log line of its own.
//
// Threads: handlers run on the calling client's session thread, several at a time; they
// share only the disk manager g_pellary_mng and the log server, which lock for themselves.
// The table is read-only once made; procedures may be called only while g_pellary_mng exists.
#pragma once

#include "srpc/srpcsvr.h"

// The table, ended by an entry whose name is null; it lives as long as the process. With
// `extensions` it holds the opt-in procedures of extensions.h as well.
const SrpcProcEntry* PellaryProcTable(bool extensions = false);

// The stop routine that `_shutdown` runs: the application's own, handed down at start-up
// before the server serves (the file service stands below the application and cannot reach
// up for it). Without one (null) `_shutdown` answers and stops nothing.
void SetStopRoutine(void (*stop)());
