// A file holding one fuzz input, for decoders that read files. One per process and target,
// rewritten for every input.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/process.h"

class ScratchFile {
 public:
  ScratchFile(const char* name, const uint8_t* data, size_t size)
      : path_((std::filesystem::temp_directory_path() / ("pellary-fuzz-" + std::string(name) + "-" +
                                                         std::to_string(platform::FetchThreadId())))
                  .string()) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
