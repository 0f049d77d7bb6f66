// The pellary-cli executable: the command line goes to RunCli, its result is the exit status.
#include <cstdio>
#include <string>
#include <vector>

#include "client/cli.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  // Files pass through `cat`, `get REMOTE -` and `put - REMOTE` unchanged.
  platform::SetBinaryMode(stdin);
  platform::SetBinaryMode(stdout);
  return RunCli(args, stdout, stderr);
}
