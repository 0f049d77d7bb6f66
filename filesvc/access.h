// The optional fences around the file service (unit "access"), all off unless the profile
// sets them:
//   AllowedDirs     directories (comma-separated) outside which no path is served: a path is
//                   resolved as the disk would resolve it (separators, drive letter, case,
//                   `..`, symbolic links of every existing component) and must lie inside one
//                   of them, compared by whole components;
//   ReadOnly        1: every procedure that would change the disk is refused;
//   AllowedClients  IPv4 addresses and networks (a.b.c.d or a.b.c.d/n, comma-separated): any
//                   other client is disconnected as soon as it connects, on the SRPC port and
//                   on the monitor port alike.
// While any of them is set the server is fenced, and two procedures that reach beyond the
// paths a client names are held to it as well: `_shutdown` is refused unless
//   AllowShutdown   1: a fenced server may still be stopped by a client;
// and `plif_file_clear` is refused unless every file directory lies inside the allowed
// directories. The procedure table asks the policy before every handler but the version
// (procs.cc), so the rules hold for every procedure alike. A refused call gets its
// procedure's failure result and a log line.
//
// Threads: configured once before the server starts, then only read, by any session thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/cstring.h"

class AccessPolicy {
 public:
  // Parses the three profile values ("" leaves a fence off). False, with `problem` naming the
  // entry, when an entry is malformed or an allowed directory cannot be resolved: a fence
  // that cannot be built must stop the server, not leave it open.
  bool Configure(const char* allowed_dirs, const char* read_only, const char* allowed_clients,
                 CString* problem);
  // Parses the AllowShutdown value ("", "0" or "1"); false, with `problem`, otherwise.
  bool ConfigureShutdown(const char* allow_shutdown, CString* problem);

  // Whether a client at the dotted IPv4 `address` may be served.
  bool ClientAllowed(const char* address) const;
  // Whether `path` (a pattern when `pattern`: wildcards in its last component) leads inside
  // an allowed directory. A pattern with wildcards is judged by the directory it searches.
  bool PathAllowed(const char* path, bool pattern) const;
  // Whether a path already resolved (platform::ResolvePath) lies inside an allowed directory:
  // the files cache asks this about the very path it is going to open.
  bool ResolvedPathAllowed(const std::string& resolved) const;
  bool read_only() const { return read_only_; }
  bool shutdown_allowed() const { return shutdown_allowed_; }
  bool jailed() const { return !allowed_dirs_.empty(); }

 private:
  struct Network {
    uint32_t address = 0;
    uint32_t mask = 0;
  };

  std::vector<std::string> allowed_dirs_;  // resolved
  std::vector<Network> allowed_clients_;
  bool read_only_ = false;
  bool shutdown_allowed_ = false;
};

// The server's policy; null serves everyone everything, as without the keys.
extern const AccessPolicy* g_access_policy;
