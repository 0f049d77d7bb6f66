// pellary-cli: the command-line client of the file service. RunCli holds all of its logic so
// that tests run it in-process; cli_main.cc only hands it the command line.
//
// Exit codes: 0 success, 1 the remote (or local file) operation failed, 2 usage error,
// 3 the server could not be reached or the connection broke. `exists` answers no with 1, so
// a failure there is 4. Every failure is one line on `err` naming the command, the path and
// what failed.
//
// One call of RunCli opens one connection; it is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr int kCliOk = 0;
constexpr int kCliFailed = 1;
constexpr int kCliUsage = 2;
constexpr int kCliUnreachable = 3;
constexpr int kCliUndecided = 4;  // exists: neither yes nor no (1 is its "no")

// `args` are the words after the program name; `in` is what `put -` reads.
int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
           std::FILE* in = stdin);
