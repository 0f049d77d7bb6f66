// What a client can learn of the server's files through the opt-in procedures, which a server
// offers only with Extensions=1 in its profile: a directory's listing, one path's entry, and
// the CRC-32 of a byte range. Each call is one or more SRPC calls on the client's connection,
// in the caller's thread.
//
// Results, never exceptions:
//   kOk          the answer is in the output;
//   kNotFound    nothing there, or refused by the server's access rules (the server answers
//                both alike): the directory cannot be listed, the path has no entry, the file
//                cannot be read;
//   kNotOffered  the server answered -1 "PROC NOT SUPPORT": it runs without Extensions=1
//                (a stopping server answers every call so too);
//   kFailed      the connection broke or the server answered another error: the client's
//                error_text() says what;
//   kBadAnswer   the answer was not of the shape these procedures give.
// RemoteResultText turns a result into a message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "srpc/srpcclient.h"

enum class RemoteResult { kOk, kNotFound, kNotOffered, kFailed, kBadAnswer };

// One directory entry as the server sees it.
struct RemoteEntry {
  std::string name;  // as on disk, without its directory
  bool is_dir = false;
  int64_t length = 0;  // the full length (for a file the server caches, its cached length)
  int64_t mtime = 0;   // last write, seconds since 1970-01-01 UTC
};

// Every entry of `dir` whose name matches `pattern` (`*` and `?`, ASCII letters in either
// case; "" matches all), in byte-wise order of the names. The server answers a page at a
// time; this asks for pages until one comes back empty. `pattern` holds no '/' (the server
// reads what follows one as the name a page starts after). On any result but kOk, `entries`
// holds the pages that came before.
RemoteResult ListDir(SrpcClient& client, const std::string& dir, const std::string& pattern,
                     std::vector<RemoteEntry>* entries);

// The entry of `path` (lower-cased by the server, as the file procedures do): kOk with it,
// or kNotFound with none.
RemoteResult StatPath(SrpcClient& client, const std::string& path,
                      std::optional<RemoteEntry>* entry);

// zlib's CRC-32 of `length` bytes of `path` from `position` (lower-cased by the server), as
// the server sees the file (its cache included), cut at the file's end: 0 for a range wholly
// past it. kNotFound when the file cannot be read or position or length is negative.
RemoteResult Checksum(SrpcClient& client, const std::string& path, int64_t position, int64_t length,
                      uint32_t* crc);

// What `result` means, for a message to the user: for kFailed the client's error text; for
// kNotOffered a text naming the profile setting that offers the procedures; "" for kOk.
std::string RemoteResultText(RemoteResult result, const SrpcClient& client);
