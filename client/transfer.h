// pellary-cli's transfers: get, put and cat, and the striping under get and put.
//
// A striped transfer cuts its byte range into blocks (64 KiB for reads, the server's cap per
// call; 4 MiB for writes, since every write call is made durable on its own) and hands them out
// in order to up to --connections connections, each moving the blocks it takes. A block is
// never handed out more than kStripeWindow blocks past the lowest unfinished one, so whatever
// an interrupted transfer left behind, every block more than kStripeWindow blocks below the
// end of the file it wrote is complete: that is where --resume starts again. The blocks from
// there to that end are compared before they are moved (put: the part's block by the
// server's checksum, else read back; get: by checksum where the server offers it), and only
// those that differ move. --verify compares by checksums where offered, else reads back.
//
// A block of zeros is not written where the file being written has nothing yet (beyond its
// end, before the last block, which sets the length): a sparse file stays sparse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/session.h"

constexpr int32_t kReadBlock = 64 * 1024;
constexpr int64_t kWriteBlock = 4 * 1024 * 1024;
constexpr int64_t kStripeWindow = kMaxConnections;

// The first byte that a resumed transfer moves again, given the length of what an interrupted
// one left (a multiple of `block`, never more than `length`).
int64_t ResumePoint(int64_t length, int64_t block);

// Why the server wrote `written` of `length` bytes, told by the free MiB of its volume
// (-1 when unknown): a full volume when the rest would not fit.
std::string ShortWriteText(int64_t written, int64_t length, int64_t free_mib);

// One file each way: `local` and `target` are the files themselves (no directory to go
// into), with the options of the session's command.
int GetFile(Session& session, const std::string& remote, const std::string& local);
int PutFile(Session& session, const std::string& local, const std::string& target);

// The commands: their words are the command and its operands.
int Get(Session& session, const std::vector<std::string>& words);
int Put(Session& session, const std::vector<std::string>& words);
int Cat(Session& session, const std::vector<std::string>& words);
