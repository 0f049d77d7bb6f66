// What every pellary-cli command stands on: the options, one connection to the server with
// calls that turn failures into the command's error line and exit code, and the progress line
// of a transfer. A striped transfer opens several sessions that share one Reporter, so that
// however many connections fail, the user reads one line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/cli.h"
#include "client/cli_options.h"
#include "client/remote_files.h"
#include "srpc/srpcclient.h"

void AddString(NetValueList& list, const std::string& text);
void AddSuperLong(NetValueList& list, int64_t value);
void AddLong(NetValueList& list, int32_t value);
// `text` with line breaks turned into spaces.
std::string OneLine(const char* text);
// The system's reason for the C library call on a local file that failed last in this
// thread (errno), for an error line.
std::string SystemReason();

// A size for people: "512 B", "1.5 KiB", "12.0 MiB" and so on up to TiB.
std::string FormatBytes(int64_t bytes);

// What a progress line shows.
struct ProgressFigures {
  std::string name;    // what moves
  int64_t done = 0;    // bytes in place: moved by this run, or found there already
  int64_t total = -1;  // -1 when unknown
  int64_t moved = 0;   // bytes this run moved (or compared), for the rate
  uint32_t elapsed_ms = 0;
  bool finished = false;
};
// "name  2.0 MiB of 8.0 MiB (25%)  1.0 MiB/s  0:00:06 left"; finished, "... in 0:00:08"
// instead of the time left. A percentage only with a total, a rate only once bytes moved in
// measurable time.
std::string FormatProgress(const ProgressFigures& figures);

// The one error line of a command, "pellary-cli: <command> <subject>: <what>": the first
// failure is kept, later ones (from other connections of the same transfer) are not, and it
// is printed by Flush when the command has ended, after what the command adds to it.
class Reporter {
 public:
  Reporter(std::string command, std::FILE* err, std::FILE* terminal)
      : command_(std::move(command)), err_(err), terminal_(terminal) {}
  void Report(const std::string& subject, const std::string& what);
  // Adds `more` to the kept failure's text; nothing when there is none.
  void Append(const std::string& more);
  void Flush();
  // Where progress is drawn: null when it is not wanted.
  std::FILE* terminal() const { return terminal_; }

 private:
  std::mutex mutex_;
  bool reported_ = false;
  std::string line_;  // the kept failure, until it is printed
  std::string command_;
  std::FILE* err_;
  std::FILE* terminal_;
};

// The progress of one transfer, redrawn in place on a terminal at most every 200 ms and ended
// with a newline. Without a terminal it draws nothing. Any thread may advance it.
class Progress {
 public:
  Progress(std::FILE* terminal, std::string name, int64_t total, int64_t done = 0);
  // Bytes this run moved.
  void Advance(int64_t bytes);
  // Bytes found in place, which the rate does not count.
  void Skip(int64_t bytes);
  void Finish();

 private:
  void Draw(uint32_t now, bool finished);

  std::mutex mutex_;
  std::FILE* terminal_;
  ProgressFigures figures_;
  uint32_t start_;
  uint32_t last_draw_ = 0;
};

// One connection and the command being run. Call and the helpers on it report the failure
// themselves and give the exit code to end with: kCliOk when the command may go on.
class Session {
 public:
  // `in` is where `put -` reads (null for a session that never does).
  Session(const Options& options, std::shared_ptr<Reporter> reporter, std::FILE* out,
          std::FILE* in = nullptr)
      : options_(options), reporter_(std::move(reporter)), out_(out), in_(in) {}

  int Connect();
  int Fail(const std::string& subject, const std::string& what);
  int Call(const char* procedure, const std::string& subject, const NetValueList& arguments,
           NetValueList* results);
  // The exit code for what a helper of remote_files.h gave: kCliOk for kOk, else the failure
  // reported (kCliUnreachable when the connection broke).
  int Remote(RemoteResult result, const std::string& subject);
  // A procedure answering one NET_LONG.
  int CallLong(const char* procedure, const std::string& subject, const NetValueList& arguments,
               int32_t* value);
  // A procedure taking one path and answering 1 for success.
  int PathCall(const char* procedure, const std::string& path, const std::string& failure);
  // A procedure taking one path and answering 1 for yes: kCliOk and `yes` set, or the exit
  // code.
  int PathTest(const char* procedure, const std::string& path, bool* yes);
  // kCliOk and `exists` set, or the exit code.
  int FileExists(const std::string& path, bool* exists);
  int RequireFile(const std::string& path);
  // kCliOk and `exists` set (the path is a directory), or the exit code.
  int DirExists(const std::string& path, bool* exists);
  // The free MiB of the volume of `path` on the server; -1 when it cannot be told. Quiet: for
  // a message about another failure.
  int32_t FreeMegabytes(const std::string& path);
  // Makes the directories of `paths` that are missing, in their order.
  int MakeDirs(const std::vector<std::string>& paths);
  // The whole length of an existing server file: from plif_file_stat where the server offers
  // it, else from plif_file_getlength's low 32 bits and reads beyond them.
  int RemoteLength(const std::string& path, int64_t* length);

  const Options& options() const { return options_; }
  const std::shared_ptr<Reporter>& reporter() const { return reporter_; }
  std::FILE* out() const { return out_; }
  std::FILE* in() const { return in_; }
  // For the helpers of remote_files.h.
  SrpcClient& client() { return client_; }
  std::FILE* terminal() const { return reporter_->terminal(); }

 private:
  int LengthByProbing(const std::string& path, int64_t* length);

  const Options& options_;
  std::shared_ptr<Reporter> reporter_;
  std::FILE* out_;
  std::FILE* in_;
  bool stat_not_offered_ = false;  // learnt once per connection
  SrpcClient client_;
};
