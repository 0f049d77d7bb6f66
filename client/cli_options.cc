// pellary-cli's options through getopt_long (contract in cli_options.h).
#include "client/cli_options.h"

#include <getopt.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace {

// Values of the options that have no short form (getopt_long's codes above any character).
enum LongOnly : int { kResume = 256, kVerify };

// Where the help lines' texts start.
constexpr size_t kHelpColumn = 28;

struct OptionSpec {
  const char* name;
  int val;            // the short form's letter, or a LongOnly code
  unsigned bit;       // CommandOption
  bool Options::*on;  // what a switch sets; null for an option with a value
  const char* value;  // the value's name in help, for an option with a value
  const char* help;
};

constexpr OptionSpec kSpecs[] = {
    {"host", 'H', kOptGlobal, nullptr, "HOST[:PORT]",
     "the server: a name, an address or [IPv6]\n(default $PELLARY_HOST, else 127.0.0.1)"},
    {"port", 'P', kOptGlobal, nullptr, "PORT", "its port (default $PELLARY_PORT, else 7027)"},
    {"quiet", 'q', kOptGlobal, &Options::quiet, nullptr,
     "no progress line (drawn only on a terminal anyway)"},
    {"help", 'h', kOptGlobal, &Options::help, nullptr,
     "this help; with a command, the command's help"},
    {"version", 'V', kOptGlobal, &Options::version, nullptr, "print pellary-cli's version"},
    {"recursive", 'r', kOptRecursive, &Options::recursive, nullptr,
     "copy a directory and everything in it"},
    {"parents", 'p', kOptParents, &Options::parents, nullptr,
     "make missing server directories on the way"},
    {"force", 'f', kOptForce, &Options::force, nullptr,
     "replace an existing server file (removed just\nbefore the new one takes its name)"},
    {"connections", 'c', kOptConnections, nullptr, "N",
     "move a file over N connections (1-16, default 4)"},
    {"resume", kResume, kOptResume, &Options::resume, nullptr,
     "continue an interrupted transfer from what the\nother side has"},
    {"verify", kVerify, kOptVerify, &Options::verify, nullptr, "compare both ends afterwards"},
    {"long", 'l', kOptLong, &Options::long_listing, nullptr,
     "a line per entry: type, length, last write"},
};

const OptionSpec* FindSpec(int val) {
  for (const OptionSpec& spec : kSpecs) {
    if (spec.val == val) return &spec;
  }
  return nullptr;
}

// The table and option string that getopt_long reads. The string starts with ':' so that a
// missing value is told apart from an unknown option.
struct GetoptTables {
  std::vector<option> longs;
  std::string shorts = ":";
  GetoptTables() {
    for (const OptionSpec& spec : kSpecs) {
      longs.push_back(
          {spec.name, spec.on == nullptr ? required_argument : no_argument, nullptr, spec.val});
      if (spec.val < 256) {
        shorts += static_cast<char>(spec.val);
        if (spec.on == nullptr) shorts += ':';
      }
    }
    longs.push_back({nullptr, 0, nullptr, 0});
  }
};

std::string Dashed(const OptionSpec& spec) {
  return std::string("--") + spec.name;
}

// Takes one option's value into `options`: "" or what is wrong with it.
std::string TakeValue(const OptionSpec& spec, const std::string& value, Options* options) {
  switch (spec.val) {
    case 'H':
      return ParseHostPort(value, &options->host, &options->port);
    case 'P':
      options->port = ParsePort(value);
      return options->port == 0 ? "not a port number: " + value : "";
    case 'c': {
      bool digits = !value.empty() && value.size() <= 2 &&
                    value.find_first_not_of("0123456789") == std::string::npos;
      options->connections = digits ? std::atoi(value.c_str()) : 0;
      if (options->connections >= 1 && options->connections <= kMaxConnections) return "";
      return "--connections takes 1 to " + std::to_string(kMaxConnections) + ": " + value;
    }
  }
  return "";
}

// What getopt_long's '?' meant: a value given to a switch (the switch's code in optopt), an
// unknown letter (the letter in optopt), an unknown or ambiguous long name (optopt 0).
std::string Unknown(int code, const char* word) {
  if (const OptionSpec* spec = FindSpec(code); spec != nullptr && code != 0) {
    return Dashed(*spec) + " takes no value";
  }
  if (code != 0) return std::string("unknown option -") + static_cast<char>(code);
  std::string text = word;
  return "unknown option " + text.substr(0, text.find('='));
}

std::mutex g_getopt_mutex;

}  // namespace

int ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return 0;
    port = port * 10 + (ch - '0');
  }
  return port <= 65535 ? port : 0;
}

std::string ParseHostPort(const std::string& text, std::string* host, int* port) {
  std::string name = text, port_text;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return "no ']' after the IPv6 address: " + text;
    name = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "not HOST[:PORT]: " + text;
    if (!rest.empty()) port_text = rest.substr(1);
    if (rest == ":") return "not a port number: " + text;
  } else if (size_t colon = text.find(':');
             colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
    name = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (port_text.empty()) return "not a port number: " + text;
  }
  if (name.empty()) return "no host name in " + text;
  int number = port_text.empty() ? *port : ParsePort(port_text);
  if (number == 0) return "not a port number: " + port_text;
  *host = name;
  *port = number;
  return "";
}

std::string ApplyEnvironment(Options* options) {
  if (const char* host = std::getenv("PELLARY_HOST"); host != nullptr && *host != '\0') {
    std::string problem = ParseHostPort(host, &options->host, &options->port);
    if (!problem.empty()) return "PELLARY_HOST: " + problem;
  }
  if (const char* port = std::getenv("PELLARY_PORT"); port != nullptr && *port != '\0') {
    options->port = ParsePort(port);
    if (options->port == 0) return "PELLARY_PORT is not a port number";
  }
  return "";
}

std::string ParseCommandLine(const std::vector<std::string>& args, Options* options) {
  static const GetoptTables tables;
  // getopt_long reorders its argument vector (options may follow the operands): a copy.
  std::vector<std::string> words = args;
  words.insert(words.begin(), "pellary-cli");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());

  std::lock_guard<std::mutex> lock(g_getopt_mutex);
  optind = 0;  // 0, not 1: a full restart of the scan, in glibc and in mingw-w64
  opterr = 0;  // problems are reported by the caller, on its own stream
  for (int code; (code = getopt_long(argc, argv.data(), tables.shorts.c_str(), tables.longs.data(),
                                     nullptr)) != -1;) {
    if (code == ':') {  // mingw-w64 also answers ':' for a value given to a switch
      const OptionSpec& spec = *FindSpec(optopt);
      return Dashed(spec) + (spec.on != nullptr ? " takes no value" : " needs a value");
    }
    if (code == '?') return Unknown(optopt, argv[optind - 1]);
    const OptionSpec& spec = *FindSpec(code);
    options->given |= spec.bit;
    if (spec.on != nullptr) {
      options->*spec.on = true;
    } else if (std::string problem = TakeValue(spec, optarg, options); !problem.empty()) {
      return problem;
    }
  }
  options->given &= ~kOptGlobal;
  options->words.assign(argv.begin() + optind, argv.end() - 1);
  return "";
}

std::string OptionName(unsigned bits) {
  for (const OptionSpec& spec : kSpecs) {
    if ((spec.bit & bits & -bits) != 0) return Dashed(spec);
  }
  return "";
}

std::string OptionHelp(unsigned accepted) {
  std::string text;
  for (const OptionSpec& spec : kSpecs) {
    if ((spec.bit & accepted) == 0) continue;
    std::string left = spec.val < 256 ? std::string("  -") + static_cast<char>(spec.val) + ", "
                                      : std::string("      ");
    left += Dashed(spec);
    if (spec.on == nullptr) left += std::string("=") + spec.value;
    left.resize(std::max<size_t>(left.size() + 2, kHelpColumn), ' ');
    text += left;
    for (const char* help = spec.help; *help != '\0'; ++help) {
      text += *help;
      if (*help == '\n') text.append(kHelpColumn, ' ');
    }
    text += '\n';
  }
  return text;
}
