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

// A size for people: "512 B", "1.5 KiB", "12.0 MiB" and so on up to TiB.
std::string FormatBytes(int64_t bytes);
// The progress line of a transfer: bytes done, of the total with a percentage when the total
// is known (not negative), the mean rate and the time left at that rate once any time passed.
std::string FormatProgress(int64_t done, int64_t total, uint32_t elapsed_ms);

// `args` are the words after the program name; `in` is what `put -` reads.
int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
           std::FILE* in = stdin);
