// The access policy (contract in access.h).
#include "filesvc/access.h"

#include <cstdlib>

#include "platform/fs.h"

const AccessPolicy* g_access_policy = nullptr;

namespace {

// The comma-separated entries of `text`, trimmed, empty ones dropped.
std::vector<std::string> Entries(const char* text) {
  std::vector<std::string> entries;
  std::string all = text != nullptr ? text : "";
  size_t start = 0;
  while (start <= all.size()) {
    size_t comma = all.find(',', start);
    if (comma == std::string::npos) comma = all.size();
    std::string entry = all.substr(start, comma - start);
    size_t first = entry.find_first_not_of(" \t");
    size_t last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) entries.push_back(entry.substr(first, last - first + 1));
    start = comma + 1;
  }
  return entries;
}

// A decimal number of at most `digits` digits no greater than `max` at `text[*at]`.
bool Number(const std::string& text, size_t* at, int digits, uint32_t max, uint32_t* value) {
  size_t start = *at;
  *value = 0;
  while (*at < text.size() && *at - start < static_cast<size_t>(digits) && text[*at] >= '0' &&
         text[*at] <= '9') {
    *value = *value * 10 + static_cast<uint32_t>(text[(*at)++] - '0');
  }
  return *at > start && *value <= max;
}

// "a.b.c.d" (each 0-255, decimal), the whole text.
bool DottedQuad(const std::string& text, uint32_t* address) {
  size_t at = 0;
  *address = 0;
  for (int part = 0; part < 4; ++part) {
    uint32_t octet = 0;
    if (part > 0 && (at >= text.size() || text[at++] != '.')) return false;
    if (!Number(text, &at, 3, 255, &octet)) return false;
    *address = *address << 8 | octet;
  }
  return at == text.size();
}

// A flag of the profile: "" (the default, off), "0" or "1".
bool Flag(const char* key, const char* value, bool* on, CString* problem) {
  std::string flag = value != nullptr ? value : "";
  if (flag != "" && flag != "0" && flag != "1") {
    problem->Format("%s: %s is neither 0 nor 1", key, flag.c_str());
    return false;
  }
  *on = flag == "1";
  return true;
}

}  // namespace

bool AccessPolicy::Configure(const char* allowed_dirs, const char* read_only,
                             const char* allowed_clients, CString* problem) {
  for (const std::string& dir : Entries(allowed_dirs)) {
    std::string resolved;
    uint32_t attributes = 0;
    if (!platform::ResolvePath(dir.c_str(), &resolved) ||
        !platform::GetAttributes(resolved.c_str(), &attributes) ||
        (attributes & platform::kAttributeDirectory) == 0) {
      problem->Format("AllowedDirs: %s is not a directory", dir.c_str());
      return false;
    }
    allowed_dirs_.push_back(resolved);
  }
  if (!Flag("ReadOnly", read_only, &read_only_, problem)) return false;
  for (const std::string& entry : Entries(allowed_clients)) {
    size_t slash = entry.find('/');
    Network network;
    uint32_t bits = 32;
    size_t at = slash + 1;
    bool good =
        DottedQuad(entry.substr(0, slash), &network.address) &&
        (slash == std::string::npos || (Number(entry, &at, 2, 32, &bits) && at == entry.size()));
    if (!good) {
      problem->Format("AllowedClients: %s is not an IPv4 address or network", entry.c_str());
      return false;
    }
    network.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    network.address &= network.mask;
    allowed_clients_.push_back(network);
  }
  return true;
}

bool AccessPolicy::ConfigureShutdown(const char* allow_shutdown, CString* problem) {
  return Flag("AllowShutdown", allow_shutdown, &shutdown_allowed_, problem);
}

bool AccessPolicy::ClientAllowed(const char* address) const {
  if (allowed_clients_.empty()) return true;
  uint32_t ip = 0;
  if (!DottedQuad(address != nullptr ? address : "", &ip)) return false;
  for (const Network& network : allowed_clients_) {
    if ((ip & network.mask) == network.address) return true;
  }
  return false;
}

bool AccessPolicy::PathAllowed(const char* path, bool pattern) const {
  if (allowed_dirs_.empty()) return true;
  std::string text = path != nullptr ? path : "";
  if (text.empty()) return false;
  size_t last = text.find_last_of("/\\");
  std::string name = text.substr(last == std::string::npos ? 0 : last + 1);
  if (pattern && name.find_first_of("*?") != std::string::npos) {
    // A pattern matches names inside its directory only; that directory is what is judged.
    text = last == std::string::npos ? "." : text.substr(0, last + 1);
  }
  std::string resolved;
  return platform::ResolvePath(text.c_str(), &resolved) && ResolvedPathAllowed(resolved);
}

bool AccessPolicy::ResolvedPathAllowed(const std::string& resolved) const {
  if (allowed_dirs_.empty()) return true;
  for (const std::string& dir : allowed_dirs_) {
    if (platform::PathIsWithin(resolved, dir)) return true;
  }
  return false;
}
