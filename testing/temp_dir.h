// A fresh directory under the system's temporary directory for one test, removed with its
// contents when the test ends. Tests only; production code reaches the OS through platform/.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

class TempDir {
 public:
  TempDir() {
    // create_directory is false when the name exists: draw another (as mkdtemp does).
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "pellary-test-%08x", static_cast<unsigned>(random()));
      std::filesystem::path candidate = std::filesystem::temp_directory_path() / name;
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
    }
    if (path_.empty()) std::abort();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `name` below the directory, joined with '/'.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TempDir that is the process's current directory for its lifetime, for code that writes
// files relative to the current directory (logs, dumps).
class CurrentTempDir : public TempDir {
 public:
  CurrentTempDir() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path());
  }
  ~CurrentTempDir() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

// The whole file, "" when it cannot be read.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
