// A fresh directory under the system's temporary directory for one test, removed with its
// contents when the test ends. Tests only; production code reaches the OS through platform/.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
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

// A current directory that child processes of the program share: the first process makes a
// fresh one and names it in the environment variable `variable`; a process that finds it
// named there (a child started afresh) works in it and leaves its removal to the owner.
class SharedCurrentDir {
 public:
  explicit SharedCurrentDir(const char* variable) : variable_(variable) {
    const char* inherited = std::getenv(variable_);
    if (inherited != nullptr && inherited[0] != '\0') {
      previous_ = std::filesystem::current_path();
      path_ = inherited;
      std::filesystem::current_path(path_);
      return;
    }
    own_ = std::make_unique<CurrentTempDir>();
    path_ = own_->path();
    Announce(path_);
  }
  ~SharedCurrentDir() {
    if (own_ != nullptr) {
      Announce("");
    } else {
      std::filesystem::current_path(previous_);
    }
  }
  SharedCurrentDir(const SharedCurrentDir&) = delete;
  SharedCurrentDir& operator=(const SharedCurrentDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  void Announce(const std::string& path) const {
#ifdef _WIN32
    _putenv_s(variable_, path.c_str());
#else
    setenv(variable_, path.c_str(), 1);
#endif
  }

  const char* variable_;
  std::unique_ptr<CurrentTempDir> own_;
  std::filesystem::path previous_;
  std::string path_;
};

// The current directory of a test whose death statements write files there. GoogleTest runs
// a death statement in a child process; where it cannot fork (Windows) the child starts the
// program afresh and runs the test body again up to that statement, so it would make a
// directory of its own. Instead the parent names its directory in the environment and a
// child that finds it there works in it.
class DeathTestDir : public SharedCurrentDir {
 public:
  DeathTestDir() : SharedCurrentDir("PELLARY_DEATH_TEST_DIR") {}
};

// Makes or overwrites the file at `path` with exactly `bytes`.
inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The whole file, "" when it cannot be read. In one read: a character at a time takes
// seconds for a file of tens of MiB in a debug build.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  if (size <= 0) return std::string(std::istreambuf_iterator<char>(in), {});  // a pipe or proc
  std::string bytes(static_cast<size_t>(size), '\0');
  in.seekg(0);
  in.read(bytes.data(), size);
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}
