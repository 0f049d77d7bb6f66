// A small file system of a test's own mounted over a directory, for a full disk (root and a
// system that allows mounts only; a test skips elsewhere). Unmounted when it goes.
#pragma once

#include <sys/mount.h>

#include <string>

class SmallVolume {
 public:
  SmallVolume(const std::string& at, const char* size) : at_(at) {
    std::string options = std::string("size=") + size;
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string at_;
  bool mounted_;
};
