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

#include "client/session.h"
#include "client/transfer.h"
#include "platform/process.h"
#include "srpc/srpcclient.h"
#include "values/nettable.h"

namespace {

constexpr char kProgram[] = "pellary-cli";
constexpr char kDefaultMonitorPort[] = "7028";

constexpr char kUsage[] =
    "usage: pellary-cli [--host HOST] [--port PORT] [OPTIONS] COMMAND ARGS...\n"
    "  get REMOTE LOCAL   copy a server file to a local file\n"
    "  put LOCAL REMOTE   copy a local file to the server: it is written to REMOTE.part\n"
    "                     and renamed into place at the end. The server's rename never\n"
    "                     overwrites, so an existing REMOTE is an error unless --force is\n"
    "                     given, which removes it just before the rename\n"
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
    "Options of get and put:\n"
    "  --connections N    move the file over N connections at once (1-16, default 4)\n"
    "  --resume           continue an interrupted transfer from what the other side has\n"
    "                     (the local file for get, REMOTE.part for put)\n"
    "  --verify           compare both ends afterwards (reads the server file once more)\n"
    "  --quiet            no progress line (it is drawn only on a terminal anyway)\n"
    "Host and port default to $PELLARY_HOST or 127.0.0.1 and $PELLARY_PORT or 7027.\n"
    "Exit: 0 done, 1 the operation failed, 2 usage error, 3 server not reachable.\n";

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
    } else if (arg == "--resume") {
      options->resume = true;
    } else if (arg == "--verify") {
      options->verify = true;
    } else if (arg == "--host" || arg == "--port" || arg == "--connections") {
      if (i + 1 == args.size()) return arg + " needs a value";
      const std::string& value = args[++i];
      if (arg == "--host") options->host = value;
      if (arg == "--port" && (options->port = ParsePort(value)) == 0) {
        return "not a port number: " + value;
      }
      if (arg == "--connections") {
        options->connections = value.size() <= 2 ? std::atoi(value.c_str()) : 0;
        if (options->connections < 1 || options->connections > kMaxConnections ||
            value.find_first_not_of("0123456789") != std::string::npos) {
          return "--connections takes 1 to " + std::to_string(kMaxConnections) + ": " + value;
        }
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else {
      options->words.push_back(arg);
    }
  }
  return "";
}

using Words = std::vector<std::string>;

int Len(Session& session, const Words& words) {
  int64_t length = 0;
  int status = session.RemoteLength(words[1], &length);
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
  std::FILE* terminal = !options.quiet && platform::IsTerminal(err) ? err : nullptr;
  Session session(options, std::make_shared<Reporter>(options.words[0], err, terminal), out);
  int status = session.Connect();
  return status == kCliOk ? command->run(session, options.words) : status;
}
