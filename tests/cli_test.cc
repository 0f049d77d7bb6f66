// pellary-cli against the real server: RunCli runs in-process with temporary local files, and
// what it did is checked on the server's disk and through its own output and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/cli.h"
#include "client/transfer.h"
#include "platform/process.h"
#include "platform/tools/child.h"
#include "testing/cli_run.h"
#include "testing/text.h"
#include "tests/running_server.h"
#include "tests/small_volume.h"

namespace {

namespace fs = std::filesystem;
using e2e::RunningServer;

// pellary-cli ARGS, told the server's port first unless `port` is 0, with `input` as its
// standard input.
CliRun RunOn(int port, std::vector<std::string> args, const std::string& input = "") {
  if (port != 0) args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port)});
  return RunCliCaptured(args, input);
}

// Pieces of data in a sparse file: where each starts, and its bytes.
using Pieces = std::vector<std::pair<int64_t, std::string>>;

// A file of `size` bytes that holds `pieces` (cut at `size`) and nothing else: holes between.
void WriteSparse(const std::string& path, int64_t size, const Pieces& pieces) {
  { std::ofstream(path, std::ios::binary | std::ios::trunc); }
  fs::resize_file(path, static_cast<uintmax_t>(size));
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const auto& [at, bytes] : pieces) {
    if (at >= size) continue;
    file.seekp(at);
    file.write(bytes.data(), std::min<int64_t>(static_cast<int64_t>(bytes.size()), size - at));
  }
}

// Whether the file at `path` is `size` bytes that are `pieces` and zeros: its pieces are read,
// and the rest must be holes (so zeros), which its few allocated blocks show.
testing::AssertionResult IsSparseWith(const std::string& path, int64_t size, const Pieces& pieces) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return testing::AssertionFailure() << "no " << path;
  if (status.st_size != size) return testing::AssertionFailure() << status.st_size << " bytes";
  int64_t data = 0;
  std::ifstream file(path, std::ios::binary);
  for (const auto& [at, bytes] : pieces) {
    std::string read(bytes.size(), '\0');
    file.seekg(at);
    file.read(read.data(), static_cast<std::streamsize>(read.size()));
    if (read != bytes) return testing::AssertionFailure() << "the piece at " << at << " differs";
    data += static_cast<int64_t>(bytes.size());
  }
  // Each piece may touch two 4 MiB blocks that were written whole.
  int64_t allowed = data + static_cast<int64_t>(pieces.size()) * 8 * kWriteBlock;
  if (status.st_blocks * 512 > allowed) {
    return testing::AssertionFailure() << status.st_blocks * 512 << " bytes allocated";
  }
  return testing::AssertionSuccess();
}

// The files and directories below `root`: each relative path with its contents, or "/" for a
// directory.
std::map<std::string, std::string> TreeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = entry.path().lexically_relative(root).generic_string();
    tree[relative] = entry.is_directory() ? "/" : ReadFileBytes(entry.path().string());
  }
  return tree;
}

// One command and what it should do: its exit code, its standard output (whole, or only its
// start with `out_starts`) and the start of its standard error ("" for nothing at all).
struct Step {
  std::vector<std::string> args;
  int code;
  std::string out;
  std::string err;
  bool out_starts = false;
};

Step Fails(std::vector<std::string> args, std::string err, int code = 1) {
  return {std::move(args), code, "", std::move(err)};
}

Step Starts(std::vector<std::string> args, std::string out) {
  return {std::move(args), 0, std::move(out), "", true};
}

// A failure is one line; a usage mistake (2) is two: the mistake and where to read more.
void Expect(const Step& step, const CliRun& run) {
  SCOPED_TRACE(testing::PrintToString(step.args));
  EXPECT_EQ(run.code, step.code) << run.err;
  EXPECT_TRUE(step.out_starts ? run.out.starts_with(step.out) : run.out == step.out)
      << run.out.substr(0, 200);
  EXPECT_TRUE(run.err.starts_with(step.err)) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), step.err.empty() ? 0
                                                              : step.code == 2 ? 2
                                                                               : 1)
      << run.err;
}

// How many times the server wrote to `path` (as the client named it), once `path` was renamed:
// its log lines come a little after the calls.
size_t WritesBeforeRename(const RunningServer& server, const std::string& path) {
  std::string logged = Lower(path);
  std::string console = server.ConsoleWith("file_rename:" + logged + " -> ");
  size_t count = 0;
  for (size_t at = 0;
       (at = console.find("file_write:" + logged + " pos:", at)) != std::string::npos; ++at) {
    ++count;
  }
  return count;
}

// One server a suite, with the opt-in procedures (listings, stat, checksums) or without them;
// every test names files of its own.
template <bool kExtensions>
class OneServer : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new RunningServer(kExtensions ? "Extensions=1\n" : "");
    SrpcClient probe;
    ASSERT_TRUE(server_->Connect(probe));  // the server is up before the first command
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static CliRun Run(std::vector<std::string> args, const std::string& input = "") {
    return RunOn(server_->port(), std::move(args), input);
  }
  // A server file as the client names it (lower case: the server lower-cases file paths).
  static std::string Remote(const std::string& name) { return server_->remote("files/" + name); }
  // The same file as this process opens it.
  static std::string OnServer(const std::string& name) { return server_->path("files/" + name); }
  std::string Local(const std::string& name) { return local_ / name; }
  // Paths below the server's file directory that contain ".part".
  static std::vector<std::string> PartFiles() {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(server_->path("files"))) {
      if (entry.path().string().find(".part") != std::string::npos) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  // Resuming trusts what the other side has more than the stripe window below its end and
  // compares the rest (by checksum where offered, else by reading back). An upload whose part
  // (59 of 60 MiB) differs in one block sends only that block and the one the part ends in; a
  // download keeps a byte changed far below its end, and --verify is what finds it.
  void ResumeSendsOnlyWhatDiffersAndVerifyFindsWhatItKept() {
    constexpr size_t kMiB = 1024 * 1024;
    std::string bytes = RandomBytes(60 * kMiB, 60);
    WriteFileBytes(Local("r60.bin"), bytes);
    std::string part = bytes.substr(0, 59 * kMiB);
    part[21 * kMiB] = static_cast<char>(part[21 * kMiB] ^ 1);
    WriteFileBytes(OnServer("r60.bin.part"), part);
    CliRun put = Run({"put", "--resume", Local("r60.bin"), Remote("r60.bin")});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_TRUE(ReadFileBytes(OnServer("r60.bin")) == bytes);
    EXPECT_EQ(WritesBeforeRename(*server_, Remote("r60.bin.part")), 2u);

    std::string half = bytes.substr(0, 30 * kMiB);
    half[12345678] = static_cast<char>(half[12345678] ^ 0x5a);
    WriteFileBytes(Local("half.bin"), half);
    CliRun get = Run({"get", "--resume", Remote("r60.bin"), Local("half.bin")});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_TRUE(ReadFileBytes(Local("half.bin")) == half + bytes.substr(half.size()))
        << "the resume fetched the start again, or not all of the rest";
    CliRun verify = Run({"get", "--resume", "--verify", Remote("r60.bin"), Local("half.bin")});
    EXPECT_EQ(verify.code, 1);
    EXPECT_NE(
        verify.err.find(": verify: differs from " + Local("half.bin") + " at byte 12345678\n"),
        std::string::npos)
        << verify.err;
    // A local file longer than the server's is not a part of it.
    WriteFileBytes(Local("long.bin"), bytes + "more");
    EXPECT_EQ(Run({"get", "--resume", Remote("r60.bin"), Local("long.bin")}).code, 1);
    EXPECT_TRUE(ReadFileBytes(Local("long.bin")) == bytes + "more");
    // Without --resume the whole file comes again.
    ASSERT_EQ(Run({"get", "--verify", Remote("r60.bin"), Local("half.bin")}).code, 0);
    EXPECT_TRUE(ReadFileBytes(Local("half.bin")) == bytes);
  }

  static inline RunningServer* server_ = nullptr;
  TempDir local_;
};

using Cli = OneServer<true>;
using CliPlain = OneServer<false>;

TEST_F(Cli, CommandsDoWhatTheySayAndFailWithOneLineNamingThePath) {
  // Over one 4 MiB write and not a multiple of the 64 KiB read.
  std::string bytes = RandomBytes(5 * 1024 * 1024 + 777, 7);
  WriteFileBytes(Local("up.bin"), bytes);
  const char note[] = "line one\nline two\0with a NUL\n";
  std::string text(note, sizeof note - 1);
  WriteFileBytes(OnServer("note.txt"), text);
  WriteFileBytes(Local("empty"), "");
  WriteFileBytes(Local("old"), "old contents");
  WriteFileBytes(Local("new"), "new contents, longer");
  WriteFileBytes(Local("keep.bin"), "precious");
  WriteFileBytes(OnServer("a.blob"), "A");
  WriteFileBytes(OnServer("b.blob"), "B");
  std::string missing = Remote("none.bin"), dir = Remote("sub");
  std::string nowhere = Local("no-such-dir/out.bin");
  const std::string cli = "pellary-cli: ";
  const std::vector<Step> steps = {
      {{"put", Local("up.bin"), Remote("data.bin")}, 0, "", ""},
      {{"get", Remote("data.bin"), Local("down.bin")}, 0, "", ""},
      {{"len", Remote("data.bin")}, 0, std::to_string(bytes.size()) + "\n", ""},
      {{"cat", Remote("note.txt")}, 0, text, ""},
      {{"put", Local("empty"), Remote("empty.bin")}, 0, "", ""},
      {{"len", Remote("empty.bin")}, 0, "0\n", ""},
      {{"put", Local("old"), Remote("t.bin")}, 0, "", ""},
      Fails({"put", Local("new"), Remote("t.bin")}, cli + "put " + Remote("t.bin") + ": "),
      {{"put", "--force", Local("new"), Remote("t.bin")}, 0, "", ""},
      {{"--quiet", "get", Remote("t.bin"), Local("back")}, 0, "", ""},
      Fails({"mv", Remote("a.blob"), Remote("b.blob")}, cli + "mv " + Remote("a.blob")),
      {{"mv", Remote("a.blob"), Remote("c.blob")}, 0, "", ""},
      {{"exists", Remote("?.blob")}, 0, "yes\n", ""},
      {{"exists", Remote("*.att")}, 1, "no\n", ""},
      {{"rm", Remote("c.blob")}, 0, "", ""},
      {{"mkdir", dir}, 0, "", ""},
      Fails({"mkdir", dir}, cli + "mkdir " + dir + ": "),
      {{"rmdir", dir}, 0, "", ""},
      Fails({"rmdir", dir}, cli + "rmdir " + dir + ": "),
      {{"version"}, 0, "1.0\n", ""},
      {{"--host", "localhost", "version"}, 0, "1.0\n", ""},  // found by name
      Fails({"--port", std::to_string(server_->monitor_port()), "version"},
            cli + "version: connection to the server broke: the peer is not an SRPC server (", 3),
      Fails({"get", missing, Local("out.bin")},
            cli + "get " + missing + ": no such file on the server\n"),
      Fails({"get", missing, Local("keep.bin")}, cli + "get " + missing),
      Fails({"cat", missing}, cli + "cat " + missing + ": "),
      Fails({"len", missing}, cli + "len " + missing + ": "),
      Fails({"rm", missing}, cli + "rm " + missing + ": "),
      Fails({"put", Local("not-here"), Remote("x.bin")},
            cli + "put " + Remote("x.bin") + ": cannot open local file " + Local("not-here") +
                ": No such file or directory\n"),
      Fails({"df", missing}, cli + "df " + missing + ": no such directory on the server\n"),
      Fails({"get", Remote("b.blob"), nowhere}, cli + "get " + Remote("b.blob") +
                                                    ": cannot open local file " + nowhere +
                                                    ": No such file or directory\n"),
  };
  for (const Step& step : steps) Expect(step, Run(step.args));
  EXPECT_TRUE(ReadFileBytes(OnServer("data.bin")) == bytes);
  EXPECT_TRUE(ReadFileBytes(Local("down.bin")) == bytes);
  EXPECT_EQ(ReadFileBytes(OnServer("t.bin")), "new contents, longer");
  EXPECT_EQ(ReadFileBytes(Local("back")), "new contents, longer");
  EXPECT_EQ(ReadFileBytes(OnServer("b.blob")), "B") << "mv overwrote";
  EXPECT_EQ(ReadFileBytes(Local("keep.bin")), "precious") << "cut before the check";
  for (const std::string& gone :
       {OnServer("a.blob"), OnServer("c.blob"), Local("out.bin"), OnServer("x.bin")}) {
    EXPECT_FALSE(fs::exists(gone)) << gone;  // moved, removed, or never made by a failure
  }
  EXPECT_TRUE(PartFiles().empty());
}

// A directory target means "into it" on both sides, "-" is a standard stream, and a relative
// server path never reaches the server. Target choice itself: client/targets_test.cc.
TEST_F(Cli, TargetsAreChosenAsCpAndScpChooseThem) {
  std::string bytes = RandomBytes(100000, 3);
  WriteFileBytes(Local("a.bin"), bytes);
  WriteFileBytes(Local("taken.bin"), bytes);
  fs::create_directories(OnServer("into/taken.bin"));
  fs::create_directory(Local("down"));
  const std::string cwd_copy = fs::current_path() / "a.bin";  // the tests' own directory
  const std::string cli = "pellary-cli: ";
  const std::vector<Step> steps = {
      {{"put", Local("a.bin"), Remote("into")}, 0, "", ""},
      Fails({"put", Local("a.bin"), Remote("nowhere/")},
            cli + "put " + Remote("nowhere/a.bin.part") + ": no such directory on the server: " +
                Remote("nowhere/") + " (--parents makes it)\n"),
      {{"put", "-p", Local("a.bin"), Remote("deep/er/")}, 0, "", ""},
      Fails({"put", Local("taken.bin"), Remote("into")},
            cli + "put " + Remote("into/taken.bin") + ": is a directory on the server\n"),
      {{"mkdir", "--parents", Remote("p/q/r")}, 0, "", ""},
      {{"mkdir", "-p", Remote("p/q/r")}, 0, "", ""},
      {{"get", Remote("into/a.bin"), Local("down")}, 0, "", ""},
      {{"get", Remote("into/a.bin")}, 0, "", ""},
      {{"get", Remote("into/a.bin"), "-"}, 0, bytes, ""},
      Fails({"get", Remote("into") + "/", Local("x")},
            cli + "get " + Remote("into") + "/: names a directory"),
      {{"put", "-", Remote("in.bin")}, 0, "", ""},
      Fails({"put", "-", Remote("into")}, cli + "put " + Remote("into") + ": is a directory"),
      Fails({"put", "--resume", "-", Remote("x")},
            cli + "--resume and --verify cannot read standard input again\n", 2),
      Fails({"put", Local("a.bin"), "files/x.bin"},
            cli + "not an absolute server path: files/x.bin (", 2),
      Fails({"get", "x.bin"}, cli + "not an absolute server path: x.bin (", 2),
  };
  for (const Step& step : steps) Expect(step, Run(step.args, step.args[1] == "-" ? bytes : ""));
  for (const std::string& copy : {OnServer("into/a.bin"), OnServer("deep/er/a.bin"),
                                  OnServer("in.bin"), Local("down/a.bin"), cwd_copy}) {
    EXPECT_TRUE(ReadFileBytes(copy) == bytes) << copy;
  }
  fs::remove(cwd_copy);
  EXPECT_TRUE(fs::is_directory(OnServer("p/q/r")));
  EXPECT_TRUE(fs::is_directory(OnServer("into/taken.bin")));
  EXPECT_EQ(fs::directory_iterator(OnServer("into/taken.bin")), fs::directory_iterator());
  EXPECT_TRUE(PartFiles().empty()) << testing::PrintToString(PartFiles());
}

// Trees go as cp -r sends them: as the target when it is new, into it when it is a directory.
// A tree that the server's lower-casing would fold is refused before anything is sent. Lengths
// beyond 32 bits come from stat.
TEST_F(Cli, TreesListingsAndStat) {
  fs::create_directories(Local("t/sub/deeper"));
  fs::create_directories(Local("t/empty"));
  WriteFileBytes(Local("t/a.txt"), "alpha");
  WriteFileBytes(Local("t/sub/b.bin"), RandomBytes(100000, 4));
  WriteFileBytes(Local("t/sub/deeper/c"), "");
  fs::create_directories(Local("case/sub"));
  WriteFileBytes(Local("case/sub/Read.me"), "1");
  WriteFileBytes(Local("case/sub/READ.ME"), "2");
  fs::create_directory(OnServer("up"));
  WriteSparse(OnServer("huge.bin"), (int64_t{5} << 30) + 3, {});
  const std::string t = Remote("up/t");
  const std::vector<Step> steps = {
      {{"put", "-r", Local("t"), Remote("up")}, 0, "", ""},    // into the existing directory
      {{"put", "-r", Local("t"), Remote("copy")}, 0, "", ""},  // as the new one
      Fails({"put", "-r", Local("case"), Remote("case")},
            "pellary-cli: put " + Local("case") +
                ": names that differ only in case would be one file on the server: sub/READ.ME and "
                "sub/Read.me; nothing sent\n"),
      {{"ls", t}, 0, "a.txt\nempty/\nsub/\n", ""},
      {{"ls", t + "/a.txt"}, 0, "a.txt\n", ""},
      Starts({"ls", "-l", t, "*.TXT"}, "- "),
      Fails({"ls", t, "sub/*"}, "pellary-cli: a pattern matches names in one directory: sub/*\n",
            2),
      Fails({"ls", Remote("none")}, "pellary-cli: ls " + Remote("none") + ": no such file"),
      Starts({"stat", t + "/sub/b.bin"}, "name: b.bin\ntype: file\nlength: 100000\nmtime: "),
      Starts({"stat", t + "/sub"}, "name: sub\ntype: directory\n"),
      {{"len", Remote("huge.bin")}, 0, "5368709123\n", ""},
      Starts({"stat", Remote("huge.bin")}, "name: huge.bin\ntype: file\nlength: 5368709123\n"),
      {{"get", "-r", t, Local("back")}, 0, "", ""},        // as the new one
      {{"get", "-r", t + "/", Local("back")}, 0, "", ""},  // into the existing directory
      {{"get", "-r", t + "/a.txt", Local("back/one.txt")}, 0, "", ""},  // a file as without -r
  };
  for (const Step& step : steps) Expect(step, Run(step.args));
  std::map<std::string, std::string> tree = TreeOf(Local("t"));
  EXPECT_EQ(tree.size(), 6u);
  EXPECT_TRUE(TreeOf(OnServer("up/t")) == tree);
  EXPECT_TRUE(TreeOf(OnServer("copy")) == tree);
  EXPECT_TRUE(TreeOf(Local("back/t")) == tree);
  tree.emplace("one.txt", "alpha");
  tree.emplace("t", "/");
  for (const auto& [path, contents] : TreeOf(Local("t"))) tree.emplace("t/" + path, contents);
  EXPECT_TRUE(TreeOf(Local("back")) == tree);
  EXPECT_FALSE(fs::exists(OnServer("case")));
  CliRun listed = Run({"ls", "-l", t, "*.TXT"});
  EXPECT_EQ(listed.out.substr(listed.out.size() - 7), " a.txt\n") << listed.out;
  EXPECT_NE(listed.out.find(" 5 "), std::string::npos) << listed.out;
}

// A part that holds bytes stays for --resume and the error line says so; an empty one goes.
TEST_F(Cli, AFullServerVolumeIsNamedAsSuch) {
  fs::create_directory(OnServer("small"));
  SmallVolume volume(OnServer("small"), "5m");
  if (!volume.mounted()) GTEST_SKIP() << "cannot mount a small file system here (not root?)";
  WriteFileBytes(Local("big.bin"), RandomBytes(6 * 1024 * 1024, 9));  // 4 MiB fit, 2 do not
  const std::string big = Remote("small/big.bin"), tiny = Remote("small/tiny.bin");
  CliRun run = Run({"put", "-c", "1", Local("big.bin"), big});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err.rfind("pellary-cli: put " + big + ": the server's volume is full (", 0), 0u)
      << run.err;
  EXPECT_TRUE(run.err.ends_with(" MiB free); " + big + ".part stays for --resume\n")) << run.err;
  EXPECT_GE(fs::file_size(OnServer("small/big.bin.part")), 4u * 1024 * 1024);
  WriteFileBytes(Local("tiny.bin"), RandomBytes(2 * 1024 * 1024, 9));
  run = Run({"put", Local("tiny.bin"), tiny});
  EXPECT_EQ(run.err, "pellary-cli: put " + tiny + ": the server's volume is full (0 MiB free)\n");
  EXPECT_FALSE(fs::exists(OnServer("small/tiny.bin.part")));
}

// With checksums on the server.
TEST_F(Cli, ResumeSendsOnlyWhatDiffersAndVerifyFindsWhatItKept) {
  ResumeSendsOnlyWhatDiffersAndVerifyFindsWhatItKept();
}

// Without them: what resume and --verify compare is read back, and listings cannot be had.
TEST_F(CliPlain, ResumeAndVerifyReadBackWhatTheyCompareAndListingsSayWhatIsMissing) {
  ResumeSendsOnlyWhatDiffersAndVerifyFindsWhatItKept();
  const std::string not_offered =
      ": the server does not offer this (it needs Extensions=1 in its profile)\n";
  for (const char* command : {"ls", "stat"}) {
    EXPECT_EQ(Run({command, Remote("")}).err,
              std::string("pellary-cli: ") + command + " " + Remote("") + not_offered);
  }
}

TEST_F(Cli, DfAndProcsReport) {
  CliRun df = Run({"df", server_->remote("")});
  ASSERT_EQ(df.code, 0) << df.err;
  EXPECT_GT(std::atol(df.out.c_str()), 0) << df.out;
  EXPECT_EQ(df.out.substr(df.out.find(' ')), " MiB free\n");
  CliRun procs = Run({"procs"});
  ASSERT_EQ(procs.code, 0) << procs.err;
  SrpcClient client;
  ASSERT_TRUE(server_->Connect(client));
  for (const char* name : {"plif_file_read", "_shutdown", "corvexa_srpc_getcmds"}) {
    int index = client.FindProc(name);
    ASSERT_GE(index, 0) << name;
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%3d ", index);
    EXPECT_NE(procs.out.find(prefix + std::string(name) + "("), std::string::npos) << procs.out;
  }
  EXPECT_NE(procs.out.find("plif_file_read(sli)\n"), std::string::npos) << procs.out;
}

// No server is needed: usage errors stop before connecting, so a closed port would give 3.
// Parsing itself is tested in client/cli_options_test.cc.
TEST(CliUsage, AMistakeIsOneLineAndWhereToReadMoreHelpAndVersionPrintToStdout) {
  int closed = e2e::FreePort();
  const std::string general = "Try 'pellary-cli --help'.\n";
  const std::string usage = "usage: pellary-cli [OPTIONS] COMMAND";
  const std::string put_usage = "usage: pellary-cli put [OPTIONS] LOCAL REMOTE\n";
  const std::vector<Step> steps = {
      Fails({}, "pellary-cli: no command given\n" + general, 2),
      Fails({"frobnicate", "/x"}, "pellary-cli: unknown command frobnicate\n" + general, 2),
      Fails({"help", "frobnicate"}, "pellary-cli: unknown command frobnicate\n" + general, 2),
      Fails({"--bogus", "version"}, "pellary-cli: unknown option --bogus\n" + general, 2),
      Fails({"mv", "/only-one"},
            "pellary-cli: usage: pellary-cli mv FROM TO\nTry 'pellary-cli mv --help'.\n", 2),
      Fails({"version", "extra"}, "pellary-cli: usage: pellary-cli version\n", 2),
      Fails({"cat", "--force", "/x"},
            "pellary-cli: cat does not take --force\nTry 'pellary-cli cat --help'.\n", 2),
      Fails({"version"}, "pellary-cli: version: cannot reach the server: ", 3),
      Starts({"--help"}, usage),
      Starts({"help"}, usage),
      Starts({"put", "--help"}, put_usage),
      Starts({"help", "put"}, put_usage),
      Starts({"-h", "rm", "/x"}, "usage: pellary-cli rm REMOTE\n"),
      {{"--version"}, 0, "pellary-cli 1.0\n", ""},
  };
  for (const Step& step : steps) Expect(step, RunOn(closed, step.args));
  EXPECT_NE(RunOn(0, {"put", "--help"}).out.find("--force"), std::string::npos);
  std::vector<std::string> names = {""};
  std::string overview = RunOn(0, {"--help"}).out;
  for (size_t at = overview.find("\n  "); at < overview.find("Options");
       at = overview.find("\n  ", at + 1)) {
    names.push_back(overview.substr(at + 3, overview.find(' ', at + 3) - at - 3));
  }
  EXPECT_GT(names.size(), 15u) << overview;
  for (const std::string& name : names) {  // every help text fits a terminal
    std::string help = RunOn(0, {"help", name}).out;
    for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos;
         start = end + 1) {
      EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    }
  }
}

// Its own server: the stream runs until shutdown stops the server, which ends cleanly.
TEST(CliMonitor, PrintsTheLogStreamUntilShutdownStopsTheServer) {
  RunningServer server;
  SrpcClient probe;
  ASSERT_TRUE(server.Connect(probe) && server.MonitorListening(10000));
  CliRun monitor;
  std::thread watcher([&] {
    monitor = RunOn(server.port(), {"monitor", std::to_string(server.monitor_port())});
  });
  platform::SleepMs(1500);  // the stream is registered for new lines
  std::string seen = server.remote("files/seen");
  EXPECT_EQ(RunOn(server.port(), {"mkdir", seen}).code, 0);
  platform::SleepMs(1500);  // a monitor session sends what it queued within a second
  CliRun shutdown = RunOn(server.port(), {"shutdown"});
  EXPECT_EQ(shutdown.code, 0) << shutdown.err;
  watcher.join();
  ASSERT_TRUE(server.Ended(15000));
  EXPECT_EQ(server.exit_code(), 0);
  // The whole shutdown ran: the cache's index files are gone.
  std::string console = server.Console();
  EXPECT_NE(console.find("g_srpc_srv->WaitForSafeShutdown....\r\n"), std::string::npos);
  EXPECT_NE(console.find("SafeClose....\r\n"), std::string::npos) << console;
  EXPECT_TRUE(fs::is_empty(server.path("temp"))) << "index files left behind";
  EXPECT_EQ(monitor.code, 0) << monitor.err;
  EXPECT_NE(monitor.out.find(e2e::ServerText("开始运行时间：")), std::string::npos) << monitor.out;
  EXPECT_NE(monitor.out.find("mkdir:" + seen + " 1\r\n"), std::string::npos) << monitor.out;
  EXPECT_EQ(RunOn(e2e::FreePort(), {"monitor", "1"}).code, 3);
}

// Several 4 MiB write blocks and a ragged end (many 64 KiB read blocks) over one connection
// and over eight; more connections than blocks; nothing at all.
TEST_F(Cli, StripedTransfersAreByteIdenticalWithOneAndEightConnections) {
  const std::string big = RandomBytes(9 * 1024 * 1024 + 12345, 11);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1", big}, {"8", big}, {"16", "tiny"}, {"8", ""}};
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [connections, bytes] = cases[i];
    const std::string name = "striped-" + std::to_string(i);
    SCOPED_TRACE(name + " over " + connections);
    WriteFileBytes(Local(name), bytes);
    CliRun put = Run({"put", "--connections", connections, "--verify", Local(name), Remote(name)});
    ASSERT_EQ(put.code, 0) << put.err;
    EXPECT_TRUE(ReadFileBytes(OnServer(name)) == bytes);
    CliRun get =
        Run({"get", "--connections", connections, "--verify", Remote(name), Local(name + ".back")});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_TRUE(ReadFileBytes(Local(name + ".back")) == bytes);
  }
  EXPECT_TRUE(PartFiles().empty());
}

// Runs pellary-cli as a process of its own and kills it once `partial` has `at_least` bytes;
// false when it ended first.
bool KillHalfWay(int port, const std::vector<std::string>& command, const std::string& partial,
                 uint64_t at_least, const std::string& directory) {
  std::vector<std::string> args = {"--quiet", "--port", std::to_string(port)};
  args.insert(args.end(), command.begin(), command.end());
  platform::ChildHandle child =
      platform::ChildStart(PELLARY_CLI_EXE, args, directory, directory + "/cli-output.txt");
  int code = 0;
  while (!platform::ChildWait(child, 1, &code)) {
    std::error_code missing;
    if (fs::file_size(partial, missing) >= at_least && !missing) {
      platform::ChildKill(child);
      platform::ChildWait(child, 10000, &code);
      return true;
    }
  }
  return false;
}

TEST_F(Cli, TransfersKilledHalfWayResumeToIdenticalFiles) {
  constexpr size_t kSize = 32 * 1024 * 1024;
  std::string bytes = RandomBytes(kSize, 21);
  WriteFileBytes(Local("big.bin"), bytes);
  ASSERT_TRUE(KillHalfWay(server_->port(), {"put", Local("big.bin"), Remote("big.bin")},
                          OnServer("big.bin.part"), kSize / 2, local_.path()))
      << "the upload ended before it could be interrupted";
  EXPECT_LT(fs::file_size(OnServer("big.bin.part")), kSize);
  EXPECT_FALSE(fs::exists(OnServer("big.bin")));
  CliRun put = Run({"put", "--resume", Local("big.bin"), Remote("big.bin")});
  ASSERT_EQ(put.code, 0) << put.err;
  EXPECT_TRUE(ReadFileBytes(OnServer("big.bin")) == bytes);
  EXPECT_TRUE(PartFiles().empty());

  ASSERT_TRUE(KillHalfWay(server_->port(), {"get", Remote("big.bin"), Local("down.bin")},
                          Local("down.bin"), kSize / 2, local_.path()))
      << "the download ended before it could be interrupted";
  EXPECT_LT(fs::file_size(Local("down.bin")), kSize);
  CliRun get = Run({"get", "--resume", "--verify", Remote("big.bin"), Local("down.bin")});
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_TRUE(ReadFileBytes(Local("down.bin")) == bytes);
}

// The server tells a length's low 32 bits: a longer one is found by reading beyond them. The
// upload leaves the holes out, so the server's copy stays sparse. A full download of 5 GiB
// takes the debug server minutes (every 64 KiB block goes through its cache), so the way back
// resumes from a local copy that lacks the last 2 MiB: its reads lie beyond 4 GiB.
TEST_F(CliPlain, AFiveGiBSparseFileGoesUpAndComesBackWhole) {
  constexpr int64_t kGiB = int64_t{1} << 30, kMiB = int64_t{1} << 20;
  constexpr int64_t kSize = 5 * kGiB + 3;
  const Pieces pieces = {{0, RandomBytes(kMiB, 1)},
                         {4 * kGiB - kMiB / 2, RandomBytes(kMiB, 2)},
                         {kSize - 2 * kMiB, RandomBytes(2 * kMiB, 3)}};
  WriteSparse(Local("sparse.bin"), kSize, pieces);
  CliRun put = Run({"put", Local("sparse.bin"), Remote("sparse.bin")});
  ASSERT_EQ(put.code, 0) << put.err;
  EXPECT_TRUE(IsSparseWith(OnServer("sparse.bin"), kSize, pieces));
  EXPECT_EQ(Run({"len", Remote("sparse.bin")}).out, std::to_string(kSize) + "\n");
  WriteSparse(Local("back.bin"), kSize - 2 * kMiB, pieces);
  CliRun get = Run({"get", "--resume", Remote("sparse.bin"), Local("back.bin")});
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_TRUE(IsSparseWith(Local("back.bin"), kSize, pieces));
}

}  // namespace
