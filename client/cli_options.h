// pellary-cli's command line: the options (with getopt_long, so `--opt=value`, `--opt value`,
// short forms, option clusters, `--` and options after the operands all work as in other
// tools), the server's address in the forms people type, and the help lines of the options.
//
// Parsing is pure: the environment is read by the caller (ApplyEnvironment) before the
// command line, which then overrides it. getopt_long keeps its state in globals, so one parse
// runs at a time in the process (a lock serialises them).
#pragma once

#include <string>
#include <vector>

constexpr int kMaxConnections = 16;

// The options that only some commands take; each command lists the ones it accepts.
enum CommandOption : unsigned {
  kOptConnections = 1u << 0,
  kOptResume = 1u << 1,
  kOptVerify = 1u << 2,
  kOptForce = 1u << 3,
  kOptRecursive = 1u << 4,
  kOptParents = 1u << 5,
  kOptLong = 1u << 6,
  kOptGlobal = 1u << 7,  // the options of every command (host, port, quiet, help, version)
};

struct Options {
  std::string host = "127.0.0.1";
  int port = 7027;
  bool quiet = false;
  bool help = false;
  bool version = false;
  bool force = false;
  bool resume = false;
  bool verify = false;
  bool recursive = false;
  bool parents = false;
  bool long_listing = false;
  int connections = 4;
  unsigned given = 0;              // the CommandOption bits of the options given
  std::vector<std::string> words;  // the command and its operands
};

// A decimal port 1-65535, else 0.
int ParsePort(const std::string& text);

// The server as "HOST", "HOST:PORT", "[IPV6]", "[IPV6]:PORT" or a bare IPv6 literal (more
// than one colon, no port). `port` is changed only when the text names one. "" when all is
// well, else what is wrong.
std::string ParseHostPort(const std::string& text, std::string* host, int* port);

// $PELLARY_HOST (which may carry a port, as --host does) and $PELLARY_PORT, when set and not
// empty. "" or what is wrong.
std::string ApplyEnvironment(Options* options);

// `args` are the words after the program name. "" when all is well, else the problem in one
// line (the caller adds where to find help).
std::string ParseCommandLine(const std::vector<std::string>& args, Options* options);

// "--name" of the lowest option among the CommandOption `bits`.
std::string OptionName(unsigned bits);

// The help lines ("  -c, --connections=N  what it does") of the options whose CommandOption
// bit is in `accepted`, in a fixed order.
std::string OptionHelp(unsigned accepted);
