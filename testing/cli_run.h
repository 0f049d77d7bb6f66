// pellary-cli run in-process, for tests: its exit code and what it printed on standard output
// and standard error, with a given standard input.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "client/cli.h"

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

// The whole of a temporary file, which is closed.
inline std::string DrainFile(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

inline CliRun RunCliCaptured(const std::vector<std::string>& args, const std::string& input = "") {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::FILE* in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  int code = RunCli(args, out, err, in);
  std::fclose(in);
  return {code, DrainFile(out), DrainFile(err)};
}
