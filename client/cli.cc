// pellary-cli's logic: the command table with the help it prints, and one function per small
// command, each made of single SRPC calls through a Session that turns failed calls into the
// error line and the exit code. Options are read in cli_options.cc, transfers live in
// transfer.cc, trees and listings in tree.cc.
#include "client/cli.h"

#include <cstdint>
#include <string>
#include <vector>

#include "client/session.h"
#include "client/targets.h"
#include "client/transfer.h"
#include "client/tree.h"
#include "platform/process.h"
#include "srpc/srpcclient.h"
#include "values/nettable.h"

namespace {

constexpr char kProgram[] = "pellary-cli";
constexpr char kDefaultMonitorPort[] = "7028";

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
  if (status == kCliFailed) return kCliUndecided;  // 1 is "no"
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
  if (!session.options().parents) {
    return session.PathCall("plif_mkdir", words[1], "cannot create the directory");
  }
  std::vector<std::string> dirs = RemoteParents(words[1]);
  dirs.push_back(words[1]);
  return session.MakeDirs(dirs);
}

int Rmdir(Session& session, const Words& words) {
  return session.PathCall("plif_rmdir", words[1], "cannot remove the directory");
}

// The server answers some free space for a path it cannot find, and every Windows volume's
// free space is asked by a directory: df asks whether it is one first.
int Df(Session& session, const Words& words) {
  bool is_dir = false;
  int status = session.DirExists(words[1], &is_dir);
  if (status != kCliOk) return status;
  if (!is_dir) return session.Fail(words[1], "no such directory on the server");
  NetValueList arguments;
  AddString(arguments, words[1]);
  int32_t megabytes = 0;
  status = session.CallLong("plif_get_freespace", words[1], arguments, &megabytes);
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

int Monitor(const Options& options, std::FILE* out, std::FILE* err);
int Help(const Options& options, std::FILE* out, std::FILE* err);

struct Command {
  const char* name;
  const char* operands;  // as the help shows them
  // One letter per operand: 'S' a server path (which must be absolute), 'L' a local one (or
  // "-" for standard input or output), 'P' a name pattern, '.' anything else.
  const char* kinds;
  size_t least, most;   // how many operands it takes
  unsigned options;     // the CommandOption bits it accepts
  const char* summary;  // its line in the overview
  const char* details;  // what its own help adds, each line ending in a newline
  int (*run)(Session&, const Words&);
  // Instead of `run`, for a command that needs no SRPC connection.
  int (*offline)(const Options&, std::FILE* out, std::FILE* err) = nullptr;
};

constexpr unsigned kTransferOptions = kOptConnections | kOptResume | kOptVerify;

constexpr Command kCommands[] = {
    {"get", "REMOTE [LOCAL]", "SL", 1, 2, kTransferOptions | kOptRecursive,
     "copy a server file (-r: a directory) here",
     "LOCAL may be a directory (the file goes into it under its own name), \"-\" for\n"
     "standard output, or left out for the file's own name here. The server file must\n"
     "exist before LOCAL is created or cut. What arrived stays in LOCAL after a\n"
     "failure, for --resume. With -r, REMOTE's whole tree is listed first (this needs\n"
     "the server's Extensions=1), then copied file by file.\n",
     Get},
    {"put", "LOCAL REMOTE", "LS", 2, 2, kTransferOptions | kOptForce | kOptParents | kOptRecursive,
     "copy a file (-r: a directory) to the server",
     "REMOTE may be a server directory (the file goes into it under its own name; a\n"
     "REMOTE ending in / means one), LOCAL \"-\" for standard input. The file is written\n"
     "to REMOTE.part and renamed into place at the end. The server's rename never\n"
     "overwrites: an existing REMOTE is an error unless --force is given. With -r, a\n"
     "tree whose names differ only in case is refused before anything is sent: the\n"
     "server lower-cases file names, so one file would overwrite the other.\n",
     Put},
    {"ls", "REMOTE [PATTERN]", "SP", 1, 2, kOptLong, "list a server directory",
     "PATTERN picks names with * and ? (letters in either case). Needs the server's\n"
     "Extensions=1.\n",
     Ls},
    {"stat", "REMOTE", "S", 1, 1, 0, "show a server file's or directory's entry",
     "Type, full length and time of the last write. Needs the server's Extensions=1.\n", Stat},
    {"cat", "REMOTE", "S", 1, 1, 0, "print a server file", "", Cat},
    {"len", "REMOTE", "S", 1, 1, 0, "print a server file's length in bytes", "", Len},
    {"exists", "PATTERN", "S", 1, 1, 0, "print yes or no; * and ? match",
     "Exit status 0 for yes, 1 for no, 4 when the server's answer tells neither.\n", Exists},
    {"rm", "REMOTE", "S", 1, 1, 0, "remove a server file", "", Rm},
    {"mv", "FROM TO", "SS", 2, 2, 0, "rename a server file; never onto an existing one", "", Mv},
    {"mkdir", "DIR", "S", 1, 1, kOptParents, "make a server directory",
     "With --parents, missing directories above it are made too, and an existing DIR\n"
     "is no error.\n",
     Mkdir},
    {"rmdir", "DIR", "S", 1, 1, 0, "remove an empty server directory", "", Rmdir},
    {"df", "PATH", "S", 1, 1, 0, "print the free MiB of PATH's volume", "", Df},
    {"version", "", "", 0, 0, 0, "print the server's version", "", Version},
    {"procs", "", "", 0, 0, 0, "list the server's procedures with their indices", "", Procs},
    {"shutdown", "", "", 0, 0, 0, "stop the server", "", Shutdown},
    {"monitor", "[PORT]", ".", 0, 1, 0, "print the server's log stream until it closes",
     "PORT is the server's monitor port (default 7028).\n", nullptr, Monitor},
    {"help", "[COMMAND]", ".", 0, 1, 0, "print this help, or a command's", "", nullptr, Help},
};

// What is wrong with the operands that the server need not be asked about: "" for nothing.
std::string CheckOperands(const Command& command, const Options& options) {
  const Words& words = options.words;
  for (size_t i = 1; i < words.size(); ++i) {
    if (command.kinds[i - 1] == 'S' && !IsAbsoluteRemote(words[i])) {
      return "not an absolute server path: " + words[i] +
             " (the server would take it from its own program directory)";
    }
    if (command.kinds[i - 1] == 'P' && words[i].find_first_of("/\\") != std::string::npos) {
      return "a pattern matches names in one directory: " + words[i];
    }
    if (command.kinds[i - 1] == 'L' && words[i] == "-" && (options.resume || options.verify)) {
      return std::string("--resume and --verify cannot read standard ") +
             (i == 1 ? "input" : "output") + " again";
    }
  }
  return "";
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// A usage mistake: one line, and where to read more.
int UsageError(std::FILE* err, const std::string& problem, const std::string& command = "") {
  std::string help = command.empty() ? "--help" : command + " --help";
  std::fprintf(err, "%s: %s\nTry '%s %s'.\n", kProgram, problem.c_str(), kProgram, help.c_str());
  return kCliUsage;
}

void PrintOverview(std::FILE* out) {
  std::fprintf(out, "usage: %s [OPTIONS] COMMAND [ARGS...]\nCommands:\n", kProgram);
  for (const Command& command : kCommands) {
    std::string left = std::string(command.name) + " " + command.operands;
    std::fprintf(out, "  %-22s %s\n", left.c_str(), command.summary);
  }
  std::fprintf(out,
               "Options (any command):\n%s"
               "Options of some commands (which ones: '%s help COMMAND'):\n%s"
               "Exit status: 0 done, 1 failed (one line on standard error says why), 2 usage\n"
               "error, 3 the server could not be reached or the connection broke; exists\n"
               "answers 0 yes, 1 no, 4 when it could not tell.\n",
               OptionHelp(kOptGlobal).c_str(), kProgram, OptionHelp(~kOptGlobal).c_str());
}

// "usage: pellary-cli put [OPTIONS] LOCAL REMOTE".
std::string Synopsis(const Command& command) {
  std::string line = std::string("usage: ") + kProgram + " " + command.name;
  if (command.options != 0) line += " [OPTIONS]";
  if (*command.operands != '\0') line += std::string(" ") + command.operands;
  return line;
}

void PrintCommandHelp(const Command& command, std::FILE* out) {
  std::fprintf(out, "%s\n%s.\n%s", Synopsis(command).c_str(), command.summary, command.details);
  if (command.options != 0) std::fprintf(out, "Options:\n%s", OptionHelp(command.options).c_str());
}

int Help(const Options& options, std::FILE* out, std::FILE* err) {
  if (options.words.size() < 2) {
    PrintOverview(out);
    return kCliOk;
  }
  const Command* command = FindCommand(options.words[1]);
  if (command == nullptr) return UsageError(err, "unknown command " + options.words[1]);
  PrintCommandHelp(*command, out);
  return kCliOk;
}

// Prints the server's log stream (its monitor port) until the server closes it.
int Monitor(const Options& options, std::FILE* out, std::FILE* err) {
  const std::string port = options.words.size() == 2 ? options.words[1] : kDefaultMonitorPort;
  if (ParsePort(port) == 0) return UsageError(err, "not a port number: " + port, "monitor");
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

int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, std::FILE* in) {
  Options options;
  std::string problem = ApplyEnvironment(&options);
  if (problem.empty()) problem = ParseCommandLine(args, &options);
  if (!problem.empty()) return UsageError(err, problem);
  if (options.version) {
    std::fprintf(out, "%s %s\n", kProgram, PELLARY_VERSION);
    return kCliOk;
  }
  if (options.words.empty()) {
    if (options.help) return Help(options, out, err);
    return UsageError(err, "no command given");
  }
  const Command* command = FindCommand(options.words[0]);
  if (command == nullptr) return UsageError(err, "unknown command " + options.words[0]);
  if (options.help) {
    PrintCommandHelp(*command, out);
    return kCliOk;
  }
  if (unsigned extra = options.given & ~command->options; extra != 0) {
    return UsageError(err, std::string(command->name) + " does not take " + OptionName(extra),
                      command->name);
  }
  size_t operands = options.words.size() - 1;
  if (operands < command->least || operands > command->most) {
    return UsageError(err, Synopsis(*command), command->name);
  }
  if (problem = CheckOperands(*command, options); !problem.empty()) {
    return UsageError(err, problem, command->name);
  }
  if (command->offline != nullptr) return command->offline(options, out, err);
  std::FILE* terminal = !options.quiet && platform::IsTerminal(err) ? err : nullptr;
  auto reporter = std::make_shared<Reporter>(options.words[0], err, terminal);
  Session session(options, reporter, out, in);
  int status = session.Connect();
  if (status == kCliOk) status = command->run(session, options.words);
  reporter->Flush();
  return status;
}
