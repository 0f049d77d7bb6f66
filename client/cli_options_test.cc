// pellary-cli's command line as getopt_long reads it: every form people type, and one line
// naming each mistake.
#include "client/cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::vector<std::string> args;
  std::string problem;  // "" when the line is good, and then:
  std::vector<std::string> words = {};
  unsigned given = 0;
  int connections = 4;
  std::string host = "127.0.0.1";
  int port = 7027;
};

TEST(CliOptions, FormsAndMistakes) {
  const std::vector<Case> cases = {
      {{"--connections=4", "get", "/a", "b"}, "", {"get", "/a", "b"}, kOptConnections},
      {{"get", "/a", "b", "-c", "8"}, "", {"get", "/a", "b"}, kOptConnections, 8},
      {{"get", "/a", "-c8", "b"}, "", {"get", "/a", "b"}, kOptConnections, 8},
      {{"-rfp", "put", "x", "/y"}, "", {"put", "x", "/y"}, kOptRecursive | kOptForce | kOptParents},
      {{"--resume", "--verify", "-l"}, "", {}, kOptResume | kOptVerify | kOptLong},
      {{"put", "--", "-x", "--force"}, "", {"put", "-x", "--force"}},
      {{"put", "-", "/y"}, "", {"put", "-", "/y"}},
      {{"-q", "-h", "--version", "ls"}, "", {"ls"}},  // global switches are not command options
      {{"-H", "h:9", "--port=10", "version"}, "", {"version"}, 0, 4, "h", 10},
      {{"--port", "10", "--host=[::1]:11"}, "", {}, 0, 4, "::1", 11},
      {{"--host", "[fe80::1]"}, "", {}, 0, 4, "fe80::1"},
      {{"--host", "fe80::2"}, "", {}, 0, 4, "fe80::2"},
      {{"--ho=server.example"}, "", {}, 0, 4, "server.example"},  // a unique abbreviation
      {{"--bogus", "version"}, "unknown option --bogus"},
      {{"--bogus=1"}, "unknown option --bogus"},
      {{"-Z"}, "unknown option -Z"},
      {{"-qZ"}, "unknown option -Z"},
      {{"--re"}, "unknown option --re"},  // --resume or --recursive
      {{"--force=yes"}, "--force takes no value"},
      {{"get", "--connections"}, "--connections needs a value"},
      {{"-c", "17"}, "--connections takes 1 to 16: 17"},
      {{"-c", "0"}, "--connections takes 1 to 16: 0"},
      {{"-c", "4x"}, "--connections takes 1 to 16: 4x"},
      {{"-c", "+4"}, "--connections takes 1 to 16: +4"},
      {{"--port=70000"}, "not a port number: 70000"},
      {{"-P", "0"}, "not a port number: 0"},
      {{"--host=h:"}, "not a port number: h:"},
      {{"--host=h:x"}, "not a port number: x"},
      {{"--host=:9"}, "no host name in :9"},
      {{"--host=[::1"}, "no ']' after the IPv6 address: [::1"},
      {{"--host=[::1]9"}, "not HOST[:PORT]: [::1]9"},
      {{"--host=[]:9"}, "no host name in []:9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Options options;
    EXPECT_EQ(ParseCommandLine(c.args, &options), c.problem);
    if (!c.problem.empty()) continue;
    EXPECT_EQ(options.words, c.words);
    EXPECT_EQ(options.given, c.given);
    EXPECT_EQ(options.host, c.host);
    EXPECT_EQ(options.port, c.port);
    EXPECT_EQ(options.connections, c.connections);
  }
  Options switches;
  ASSERT_EQ(ParseCommandLine({"-qh", "-V", "-rpfl", "--resume", "--verify"}, &switches), "");
  for (bool on :
       {switches.quiet, switches.help, switches.version, switches.recursive, switches.parents,
        switches.force, switches.long_listing, switches.resume, switches.verify}) {
    EXPECT_TRUE(on);
  }
}

TEST(CliOptions, HelpListsTheAcceptedOptionsWithinEightyColumns) {
  std::string all = OptionHelp(~0u);
  for (const char* name : {"--host=HOST[:PORT]", "-P, --port=PORT", "-q, --quiet", "-h, --help",
                           "-V, --version", "-r, --recursive", "-p, --parents", "-f, --force",
                           "-c, --connections=N", "--resume", "--verify", "-l, --long"}) {
    EXPECT_NE(all.find(name), std::string::npos) << name;
  }
  for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 80u) << all.substr(start, end - start);
  }
  EXPECT_EQ(OptionHelp(kOptForce).find("--resume"), std::string::npos);
  EXPECT_EQ(OptionName(kOptVerify | kOptLong), "--verify");
}

}  // namespace
