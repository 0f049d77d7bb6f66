// pellary-cli's logic: options, the command table, and one function per command, each made
// of single SRPC calls through a Session that turns failed calls into the error line and the
// exit code.
#include "client/cli.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "client/srpcclient.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "values/nettable.h"

namespace {

constexpr char kProgram[] = "pellary-cli";
constexpr char kDefaultMonitorPort[] = "7028";
constexpr int32_t kReadChunk = 64 * 1024;        // the server answers at most this per read
constexpr size_t kWriteChunk = 4 * 1024 * 1024;  // large writes: few round trips

constexpr char kUsage[] =
    "usage: pellary-cli [--host HOST] [--port PORT] [--force] [--quiet] COMMAND ARGS...\n"
    "  get REMOTE LOCAL   copy a server file to a local file\n"
    "  put LOCAL REMOTE   copy a local file to the server: it is written to\n"
    "                     REMOTE.part-<id> and renamed into place at the end. The server's\n"
    "                     rename never overwrites, so an existing REMOTE is an error unless\n"
    "                     --force is given, which removes it just before the rename\n"
    "  cat REMOTE         print a server file\n"
    "  len REMOTE         print a server file's length in bytes\n"
    "  exists PATTERN     print yes (exit 0) or no (exit 1); * and ? match\n"
    "  rm REMOTE          remove a server file\n"
    "  mv FROM TO         rename a server file; never onto an existing one\n"
    "  mkdir DIR, rmdir DIR\n"
    "  df PATH            print the free MiB of PATH's volume\n"
    "  version            print the server's version\n"
    "  procs              list the server's procedures with their indices\n"
    "  shutdown           stop the server\n"
    "  monitor [PORT]     print the server's log stream (its monitor port, default 7028)\n"
    "                     until the server closes it\n"
    "get and put show their progress on a terminal, unless --quiet.\n"
    "Host and port default to $PELLARY_HOST or 127.0.0.1 and $PELLARY_PORT or 7027.\n"
    "Exit: 0 done, 1 the operation failed, 2 usage error, 3 server not reachable.\n";

struct Options {
  std::string host = "127.0.0.1";
  int port = 7027;
  bool force = false;
  bool quiet = false;
  std::vector<std::string> words;  // the command and its operands
};

// A decimal port 1-65535, else 0.
int ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return 0;
    port = port * 10 + (ch - '0');
  }
  return port <= 65535 ? port : 0;
}

// The environment first, then the command line. An empty text when all is well, else why not.
std::string ParseOptions(const std::vector<std::string>& args, Options* options) {
  if (const char* host = std::getenv("PELLARY_HOST"); host != nullptr && *host != '\0') {
    options->host = host;
  }
  if (const char* port = std::getenv("PELLARY_PORT"); port != nullptr && *port != '\0') {
    options->port = ParsePort(port);
    if (options->port == 0) return "PELLARY_PORT is not a port number";
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--force") {
      options->force = true;
    } else if (arg == "--quiet") {
      options->quiet = true;
    } else if (arg == "--host" || arg == "--port") {
      if (i + 1 == args.size()) return arg + " needs a value";
      const std::string& value = args[++i];
      if (arg == "--host") options->host = value;
      if (arg == "--port" && (options->port = ParsePort(value)) == 0) {
        return "not a port number: " + value;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else {
      options->words.push_back(arg);
    }
  }
  return "";
}

std::string OneLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  for (char& ch : line) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  return line;
}

void AddString(NetValueList& list, const std::string& text) {
  list.SetString(list.Append(1) - 1, text.c_str());
}
void AddSuperLong(NetValueList& list, int64_t value) {
  list.SetSuperLong(list.Append(1) - 1, value);
}
void AddLong(NetValueList& list, int32_t value) {
  list.SetLong(list.Append(1) - 1, value);
}
void AddBinary(NetValueList& list, const char* bytes, size_t length) {
  list.SetBinary(list.Append(1) - 1, bytes, static_cast<int>(length));
}

// The progress of one transfer, redrawn in place on a terminal at most every 200 ms and ended
// with a newline. Without a terminal it draws nothing.
class Progress {
 public:
  Progress(std::FILE* terminal, int64_t total)
      : terminal_(terminal), total_(total), start_(platform::GetTickCount()) {}

  void Advance(int64_t bytes) {
    done_ += bytes;
    uint32_t now = platform::GetTickCount();
    if (now - last_draw_ >= 200) Draw(now);
  }
  void Finish() {
    if (terminal_ == nullptr) return;
    Draw(platform::GetTickCount());
    std::fputc('\n', terminal_);
  }

 private:
  void Draw(uint32_t now) {
    last_draw_ = now;
    if (terminal_ == nullptr) return;
    std::string line = FormatProgress(done_, total_, now - start_);
    std::fprintf(terminal_, "\r%s\033[K", line.c_str());  // then clear the rest of the line
    std::fflush(terminal_);
  }

  std::FILE* terminal_;
  int64_t total_;
  int64_t done_ = 0;
  uint32_t start_;
  uint32_t last_draw_ = 0;
};

// The connection and the command being run. Call and the helpers on it print the error line
// themselves and give the exit code to end with: kCliOk when the command may go on.
class Session {
 public:
  Session(std::string command, const Options& options, std::FILE* out, std::FILE* err)
      : command_(std::move(command)),
        force_(options.force),
        out_(out),
        err_(err),
        terminal_(!options.quiet && platform::IsTerminal(err) ? err : nullptr) {}

  int Connect(const Options& options) {
    if (client_.Connect(options.host.c_str(), options.port)) return kCliOk;
    Report("", "cannot reach the server: " + OneLine(client_.error_text().GetString()));
    return kCliUnreachable;
  }

  // The error line "pellary-cli: <command> <subject>: <what>".
  void Report(const std::string& subject, const std::string& what) {
    std::string head = subject.empty() ? command_ : command_ + " " + subject;
    if (terminal_ != nullptr) std::fputs("\r\033[K", terminal_);  // not after a progress line
    std::fprintf(err_, "%s: %s: %s\n", kProgram, head.c_str(), what.c_str());
  }
  int Fail(const std::string& subject, const std::string& what) {
    Report(subject, what);
    return kCliFailed;
  }

  int Call(const char* procedure, const std::string& subject, const NetValueList& arguments,
           NetValueList* results) {
    int32_t code = client_.Call(procedure, arguments, results);
    if (code == 0) return kCliOk;
    std::string text = OneLine(client_.error_text().GetString());
    if (code == kSrpcConnectionBroken) {
      Report(subject, "connection to the server broke: " + text);
      return kCliUnreachable;
    }
    return Fail(subject, "the server answered " + std::to_string(code) + " " + text);
  }

  // A procedure answering one NET_LONG.
  int CallLong(const char* procedure, const std::string& subject, const NetValueList& arguments,
               int32_t* value) {
    NetValueList results;
    int status = Call(procedure, subject, arguments, &results);
    if (status != kCliOk) return status;
    if (results.Count() < 1 || results.Type(0) != NET_LONG) {
      return Fail(subject, "unexpected answer from the server");
    }
    *value = results.GetLong(0);
    return kCliOk;
  }

  // A procedure taking one path and answering 1 for success.
  int PathCall(const char* procedure, const std::string& path, const std::string& failure) {
    NetValueList arguments;
    AddString(arguments, path);
    int32_t value = 0;
    int status = CallLong(procedure, path, arguments, &value);
    if (status != kCliOk) return status;
    return value == 1 ? kCliOk : Fail(path, failure);
  }

  // kCliOk and `exists` set, or the exit code.
  int FileExists(const std::string& path, bool* exists) {
    NetValueList arguments;
    AddString(arguments, path);
    int32_t value = 0;
    int status = CallLong("plif_file_open", path, arguments, &value);
    *exists = value == 1;
    return status;
  }

  int RequireFile(const std::string& path) {
    bool exists = false;
    int status = FileExists(path, &exists);
    if (status != kCliOk) return status;
    return exists ? kCliOk : Fail(path, "no such file on the server");
  }

  bool force() const { return force_; }
  std::FILE* out() const { return out_; }
  // Where progress is drawn: null when it is not wanted.
  std::FILE* terminal() const { return terminal_; }

 private:
  std::string command_;
  bool force_;
  std::FILE* out_;
  std::FILE* err_;
  std::FILE* terminal_;
  SrpcClient client_;
};

using Words = std::vector<std::string>;

// Reads `remote` from position 0 in 64 KiB calls into `sink` until an empty answer.
int Download(Session& session, const std::string& remote, std::FILE* sink,
             const std::string& sink_name, Progress& progress) {
  int status = kCliOk;
  for (int64_t position = 0; status == kCliOk;) {
    NetValueList arguments, results;
    AddString(arguments, remote);
    AddSuperLong(arguments, position);
    AddLong(arguments, kReadChunk);
    status = session.Call("plif_file_read", remote, arguments, &results);
    if (status != kCliOk) break;
    if (results.Count() < 1 || results.Type(0) != NET_BINARY) {
      return session.Fail(remote, "unexpected answer from the server");
    }
    int length = 0;
    const char* bytes = results.GetBinary(0, &length);
    if (length <= 0) break;
    if (std::fwrite(bytes, 1, length, sink) != static_cast<size_t>(length)) {
      return session.Fail(remote, "cannot write " + sink_name);
    }
    position += length;
    progress.Advance(length);
  }
  if (status == kCliOk) progress.Finish();
  return status;
}

// The length of an existing server file. The server sends its low 32 bits as a signed
// number: read unsigned they are right up to 4 GiB.
int RemoteLength(Session& session, const std::string& remote, int64_t* length) {
  int status = session.RequireFile(remote);
  NetValueList arguments, results;
  AddString(arguments, remote);
  if (status == kCliOk) status = session.Call("plif_file_getlength", remote, arguments, &results);
  if (status != kCliOk) return status;
  if (results.Count() < 1 || results.Type(0) != NET_SUPERLONG) {
    return session.Fail(remote, "unexpected answer from the server");
  }
  *length = static_cast<uint32_t>(results.GetSuperLong(0));
  return kCliOk;
}

int Get(Session& session, const Words& words) {
  const std::string& remote = words[1];
  const std::string& local = words[2];
  // The server file must be there before the local one is created or cut to nothing.
  int64_t length = -1;
  int status = session.terminal() != nullptr ? RemoteLength(session, remote, &length)
                                             : session.RequireFile(remote);
  if (status != kCliOk) return status;
  std::FILE* file = std::fopen(local.c_str(), "wb");
  if (file == nullptr) return session.Fail(remote, "cannot open local file " + local);
  Progress progress(session.terminal(), length);
  status = Download(session, remote, file, local, progress);
  if (std::fclose(file) != 0 && status == kCliOk) {
    status = session.Fail(remote, "cannot write local file " + local);
  }
  if (status != kCliOk) std::remove(local.c_str());
  return status;
}

int Cat(Session& session, const Words& words) {
  Progress silent(nullptr, -1);
  int status = session.RequireFile(words[1]);
  if (status == kCliOk) status = Download(session, words[1], session.out(), "stdout", silent);
  std::fflush(session.out());
  return status;
}

// Writes the whole of `file` to the existing server file `remote` in 4 MiB calls.
int Upload(Session& session, std::FILE* file, const std::string& remote, Progress& progress) {
  std::vector<char> buffer(kWriteChunk);
  for (int64_t position = 0;;) {
    size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
    if (got == 0) break;
    NetValueList arguments;
    AddString(arguments, remote);
    AddSuperLong(arguments, position);
    AddBinary(arguments, buffer.data(), got);
    int32_t written = 0;
    int status = session.CallLong("plif_file_write", remote, arguments, &written);
    if (status != kCliOk) return status;
    if (written != static_cast<int32_t>(got)) {
      return session.Fail(remote, "the server wrote " + std::to_string(written) + " of " +
                                      std::to_string(got) + " bytes");
    }
    position += static_cast<int64_t>(got);
    progress.Advance(static_cast<int64_t>(got));
  }
  if (std::ferror(file)) return session.Fail(remote, "cannot read the local file");
  progress.Finish();
  return kCliOk;
}

// Moves the finished `part` onto `target`, removing an existing target first with --force.
int Publish(Session& session, const std::string& part, const std::string& target) {
  bool exists = false;
  int status = session.FileExists(target, &exists);
  if (status == kCliOk && exists) {
    status = session.PathCall("plif_file_remove", target, "cannot remove the existing file");
  }
  if (status != kCliOk) return status;
  NetValueList arguments;
  AddString(arguments, part);
  AddString(arguments, target);
  int32_t renamed = 0;
  status = session.CallLong("plif_file_rename", target, arguments, &renamed);
  if (status != kCliOk) return status;
  return renamed == 1 ? kCliOk
                      : session.Fail(target, "the server refused to rename " + part +
                                                 " into place; the uploaded data stays there");
}

// The temporary name beside the target. The id is the calling thread's, which for this
// single-threaded program is its process id, so two uploads at once never share a name.
std::string PartName(const std::string& target) {
  return target + ".part-" + std::to_string(platform::FetchThreadId());
}

int UploadAndPublish(Session& session, std::FILE* file, const std::string& target, int64_t total) {
  bool exists = false;
  int status = session.FileExists(target, &exists);
  if (status != kCliOk) return status;
  if (exists && !session.force()) {
    return session.Fail(target, "already exists on the server (--force replaces it)");
  }
  std::string part = PartName(target);
  status = session.PathCall("plif_file_create", part, "cannot create the file on the server");
  Progress progress(session.terminal(), total);
  if (status == kCliOk) status = Upload(session, file, part, progress);
  if (status == kCliFailed) {
    // Best effort: the server may hold a half-written part; the failure is already reported.
    NetValueList arguments, results;
    AddString(arguments, part);
    session.Call("plif_file_remove", part, arguments, &results);
  }
  // A failed publish keeps the complete part: with --force the old target may be gone already.
  if (status == kCliOk) status = Publish(session, part, target);
  return status;
}

int Put(Session& session, const Words& words) {
  const std::string& local = words[1];
  const std::string& remote = words[2];
  std::FILE* file = std::fopen(local.c_str(), "rb");
  if (file == nullptr) return session.Fail(remote, "cannot open local file " + local);
  std::error_code unknown;
  auto size = std::filesystem::file_size(local, unknown);
  int status = UploadAndPublish(session, file, remote, unknown ? -1 : static_cast<int64_t>(size));
  std::fclose(file);
  return status;
}

int Len(Session& session, const Words& words) {
  int64_t length = 0;
  int status = RemoteLength(session, words[1], &length);
  if (status == kCliOk) std::fprintf(session.out(), "%lld\n", static_cast<long long>(length));
  return status;
}

int Exists(Session& session, const Words& words) {
  NetValueList arguments;
  AddString(arguments, words[1]);
  int32_t found = 0;
  int status = session.CallLong("plif_file_exists", words[1], arguments, &found);
  if (status != kCliOk) return status;
  std::fprintf(session.out(), "%s\n", found == 1 ? "yes" : "no");
  return found == 1 ? kCliOk : kCliFailed;
}

// The server answers 1 for removing a file that is not there, so rm asks first.
int Rm(Session& session, const Words& words) {
  int status = session.RequireFile(words[1]);
  if (status != kCliOk) return status;
  return session.PathCall("plif_file_remove", words[1], "the server cannot remove it");
}

int Mv(Session& session, const Words& words) {
  const std::string& from = words[1];
  const std::string& to = words[2];
  NetValueList arguments;
  AddString(arguments, from);
  AddString(arguments, to);
  int32_t renamed = 0;
  int status = session.CallLong("plif_file_rename", from, arguments, &renamed);
  if (status != kCliOk || renamed == 1) return status;
  return session.Fail(from, "rename to " + to +
                                " refused (the source is missing or the target exists; the "
                                "server never overwrites)");
}

int Mkdir(Session& session, const Words& words) {
  return session.PathCall("plif_mkdir", words[1], "cannot create the directory");
}

int Rmdir(Session& session, const Words& words) {
  return session.PathCall("plif_rmdir", words[1], "cannot remove the directory");
}

int Df(Session& session, const Words& words) {
  NetValueList arguments;
  AddString(arguments, words[1]);
  int32_t megabytes = 0;
  int status = session.CallLong("plif_get_freespace", words[1], arguments, &megabytes);
  if (status == kCliOk) std::fprintf(session.out(), "%d MiB free\n", megabytes);
  return status;
}

int Version(Session& session, const Words&) {
  NetValueList none, results;
  int status = session.Call("plif_get_version", "", none, &results);
  if (status != kCliOk) return status;
  if (results.Count() < 1 || results.Type(0) != NET_STRING) {
    return session.Fail("", "unexpected answer from the server");
  }
  std::fprintf(session.out(), "%s\n", results.GetString(0));
  return kCliOk;
}

int Procs(Session& session, const Words&) {
  NetValueList none, results;
  int status = session.Call("corvexa_srpc_getcmds", "", none, &results);
  if (status != kCliOk) return status;
  if (results.Count() < 1 || results.Type(0) != NET_TABLE || results.GetTable(0) == nullptr) {
    return session.Fail("", "unexpected answer from the server");
  }
  const NetTable* table = results.GetTable(0);
  for (int row = 1; row <= table->RowCount(); ++row) {  // rows count from 1, indices from 0
    std::fprintf(session.out(), "%3d %s(%s)\n", row - 1, table->GetString(row, "cmd"),
                 table->GetString(row, "argfmt"));
  }
  return kCliOk;
}

int Shutdown(Session& session, const Words&) {
  NetValueList none, results;
  return session.Call("_shutdown", "", none, &results);
}

struct Command {
  const char* name;
  size_t operands;
  int (*run)(Session&, const Words&);
};

constexpr Command kCommands[] = {
    {"get", 2, Get},           {"put", 2, Put}, {"cat", 1, Cat},         {"len", 1, Len},
    {"exists", 1, Exists},     {"rm", 1, Rm},   {"mv", 2, Mv},           {"mkdir", 1, Mkdir},
    {"rmdir", 1, Rmdir},       {"df", 1, Df},   {"version", 0, Version}, {"procs", 0, Procs},
    {"shutdown", 0, Shutdown},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int UsageError(std::FILE* err, const std::string& problem) {
  std::fprintf(err, "%s: %s\n%s", kProgram, problem.c_str(), kUsage);
  return kCliUsage;
}

}  // namespace

std::string FormatBytes(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  for (; value >= 1024 && unit + 1 < std::size(kUnits); ++unit) value /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatProgress(int64_t done, int64_t total, uint32_t elapsed_ms) {
  std::string line = FormatBytes(done);
  if (total >= 0) {
    line += " of " + FormatBytes(total);
    if (total > 0) line += " (" + std::to_string(done * 100 / total) + "%)";
  }
  if (elapsed_ms == 0 || done == 0) return line;
  double rate = static_cast<double>(done) * 1000 / elapsed_ms;  // bytes per second
  line += "  " + FormatBytes(static_cast<int64_t>(rate)) + "/s";
  if (total < done) return line;
  int64_t seconds = static_cast<int64_t>(static_cast<double>(total - done) / rate + 0.5);
  char left[48];
  std::snprintf(left, sizeof left, "  %lld:%02lld:%02lld left",
                static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60));
  return line + left;
}

namespace {

// Prints the server's log stream (its monitor port) until the server closes it.
int Monitor(const Options& options, std::FILE* out, std::FILE* err) {
  const std::string port = options.words.size() == 2 ? options.words[1] : kDefaultMonitorPort;
  if (ParsePort(port) == 0) return UsageError(err, "not a port number: " + port);
  StdSocket socket;
  if (!socket.Connect(options.host.c_str(), port.c_str())) {
    std::fprintf(err, "%s: monitor %s:%s: cannot reach the log stream: %s\n", kProgram,
                 options.host.c_str(), port.c_str(),
                 OneLine(socket.error_text().GetString()).c_str());
    return kCliUnreachable;
  }
  char buffer[4096];
  while (socket.IsConnected()) {
    if (socket.WaitReadable(1, 0) == 0) continue;
    int n = socket.RecvSome(buffer, sizeof buffer);
    if (n <= 0) break;
    std::fwrite(buffer, 1, static_cast<size_t>(n), out);
    std::fflush(out);
  }
  return kCliOk;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::fputs(kUsage, out);
    return kCliOk;
  }
  Options options;
  std::string problem = ParseOptions(args, &options);
  if (!problem.empty()) return UsageError(err, problem);
  if (options.words.empty()) return UsageError(err, "no command given");
  if (options.words[0] == "monitor" && options.words.size() <= 2) {
    return Monitor(options, out, err);
  }
  const Command* command = FindCommand(options.words[0]);
  if (command == nullptr) return UsageError(err, "unknown command " + options.words[0]);
  if (options.words.size() != command->operands + 1) {
    return UsageError(
        err, options.words[0] + " takes " + std::to_string(command->operands) + " operand(s)");
  }
  Session session(options.words[0], options, out, err);
  int status = session.Connect(options);
  return status == kCliOk ? command->run(session, options.words) : status;
}
