// The registry of exclusively held files (contract in exclusive.h): descriptor -> identity
// and identity -> count, under one mutex. A file found in it cannot be unlinked or renamed.
#include "platform/posix/exclusive.h"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <utility>

namespace platform {
namespace {

using Identity = std::pair<dev_t, ino_t>;

struct Registry {
  std::mutex lock;
  std::map<int, Identity> by_descriptor;
  std::map<Identity, int> holders;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every static destructor's close
  return *registry;
}

}  // namespace

void NoteExclusive(int fd, uint64_t device, uint64_t inode) {
  Identity identity{static_cast<dev_t>(device), static_cast<ino_t>(inode)};
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.lock);
  registry.by_descriptor[fd] = identity;
  ++registry.holders[identity];
}

void ForgetExclusive(int fd) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.lock);
  auto noted = registry.by_descriptor.find(fd);
  if (noted == registry.by_descriptor.end()) return;
  auto count = registry.holders.find(noted->second);
  if (--count->second == 0) registry.holders.erase(count);
  registry.by_descriptor.erase(noted);
}

bool HeldExclusively(const std::string& native) {
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> hold(registry.lock);
    if (registry.holders.empty()) return false;  // the usual case costs no stat
  }
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return false;
  std::lock_guard<std::mutex> hold(registry.lock);
  return registry.holders.count(Identity{st.st_dev, st.st_ino}) != 0;
}

}  // namespace platform
