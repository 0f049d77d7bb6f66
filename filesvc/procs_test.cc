// Tests of the file-service procedures as a client sees them: a real SRPC server with the
// procedure table on 127.0.0.1, a disk manager on temporary directories, SrpcClient calls.
// One table holds every procedure's answers, types and log lines (the log server prints every
// line on the console, captured here); beside it what only this layer decides: the jail's
// spelling of each path, log lines that cannot be forged, fences, and clients at once.
#include "filesvc/procs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "filesvc/access.h"
#include "filesvc/pellarymng.h"
#include "platform/clock.h"
#include "srpc/srpcclient.h"
#include "testing/remote_calls.h"
#include "testing/temp_dir.h"
#include "testing/text.h"

namespace {

namespace fs = std::filesystem;
using e2e::Arg;
using e2e::Bytes;

// `value` as a log line shows it: CR and LF escaped, cut after 1000 bytes with "...".
std::string Logged(const std::string& value) {
  std::string shown;
  for (char c : value) shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return shown.size() > 1000 ? shown.substr(0, 1000) + "..." : shown;
}

// Every 's' of `format` is `path`, every 'l' and 'i' 0, every 'b' the bytes "x".
std::vector<Arg> ArgsOfFormat(const char* format, const std::string& path) {
  std::vector<Arg> args;
  for (const char* letter = format; *letter != '\0'; ++letter) {
    if (*letter == 's') args.emplace_back(path);
    if (*letter == 'l') args.emplace_back(int64_t{0});
    if (*letter == 'i') args.emplace_back(int32_t{0});
    if (*letter == 'b') args.emplace_back(Bytes{"x"});
  }
  return args;
}

// The server's fences while the object lives.
class Fence {
 public:
  Fence(const std::string& allowed_dirs, const char* read_only, const char* allow_shutdown) {
    CString problem;
    EXPECT_TRUE(policy_.Configure(allowed_dirs.c_str(), read_only, "", &problem) &&
                policy_.ConfigureShutdown(allow_shutdown, &problem))
        << problem.GetString();
    g_access_policy = &policy_;
  }
  ~Fence() { g_access_policy = nullptr; }

 private:
  AccessPolicy policy_;
};

// The stop routine as the application hands it down, stopping `server`, while the object lives.
class StopRoutine {
 public:
  explicit StopRoutine(SRPCSocketSvr* server) {
    stopped_ = server;
    SetStopRoutine(Stop);
  }
  ~StopRoutine() { SetStopRoutine(nullptr); }

 private:
  static void Stop() { stopped_->Stop(); }
  static inline SRPCSocketSvr* stopped_ = nullptr;
};

// The file service on a port of the system's choice, with a connected client whose session
// has started (so its connection line is already logged).
class FileService : public testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStdout();
    mng_ = std::make_unique<PellaryMng>(temp_.path().c_str(), files_.path().c_str(), 0, 1 << 20);
    g_pellary_mng = mng_.get();
    server_ = std::make_unique<SRPCSocketSvr>(PellaryProcTable());
    server_->StartInBackground("127.0.0.1", 0, 100);
    server_->WaitStarted();
    CString address;
    server_->GetLocalAddr(&address, &port_);
    ASSERT_TRUE(client_.Connect("127.0.0.1", port_));
    ASSERT_EQ(client_.Call("plif_get_version", NetValueList(), &results_), 0);
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    testing::internal::CaptureStdout();
    client_.Close();
    // Sessions that have ended spare the server's once-a-second wait for them.
    for (int i = 0; i < 300 && server_->ActiveCount() > 0; ++i) platform::SleepMs(10);
    server_->Stop();
    server_->WaitForStarter();
    server_.reset();
    g_access_policy = nullptr;
    g_pellary_mng = nullptr;
    mng_.reset();
    testing::internal::GetCapturedStdout();
  }

  // The call's code; `log_` gets what it wrote on the console.
  int32_t Call(const char* procedure, const std::vector<Arg>& args = {}) {
    NetValueList list;
    testing::internal::CaptureStdout();
    int32_t code = client_.Call(procedure, e2e::Args(list, args), &results_);
    log_ = testing::internal::GetCapturedStdout();
    return code;
  }
  // The answer as text: "error <code> <text>", "none", or the one value's type and value.
  std::string Answer(int32_t code) const {
    if (code != 0) return "error " + std::to_string(code) + " " + client_.error_text().GetString();
    if (results_.Count() != 1) return results_.Count() == 0 ? "none" : "several values";
    if (results_.IsNull(0)) return "null";
    int length = 0;
    switch (results_.Type(0)) {
      case NET_LONG:
        return "long " + std::to_string(results_.GetLong(0));
      case NET_SUPERLONG:
        return "superlong " + std::to_string(results_.GetSuperLong(0));
      case NET_STRING:
        return std::string("string ") + results_.GetString(0);
      case NET_BINARY: {
        const char* bytes = results_.GetBinary(0, &length);
        return "binary " + std::string(bytes, length);
      }
    }
    return "type " + std::to_string(results_.Type(0));
  }

  std::string File(const std::string& name) const { return files_ / name; }

  TempDir temp_;
  TempDir files_;
  std::unique_ptr<PellaryMng> mng_;
  std::unique_ptr<SRPCSocketSvr> server_;
  int port_ = 0;
  SrpcClient client_;
  NetValueList results_;
  std::string log_;
};

// "<any>" in `pattern` stands for any text (the system's own words).
bool LogMatches(const std::string& log, const std::string& pattern) {
  size_t any = pattern.find("<any>");
  if (any == std::string::npos) return log == pattern;
  std::string tail = pattern.substr(any + 5);
  return log.size() >= any + tail.size() && log.compare(0, any, pattern, 0, any) == 0 &&
         log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
}

struct Row {
  std::string name;
  const char* procedure;
  std::vector<Arg> args;
  std::string answer;  // as FileService::Answer gives it; for free space "~<megabytes>"
  std::string log;     // for free space "#" stands for the number answered
};

// The rows run in order on one disk: files made by a row serve the rows after it. File
// procedures lower-case their paths; directory procedures take them as given.
TEST_F(FileService, EveryProcedureAnswersAndLogsAsTheTableSays) {
  fs::create_directory(File("Data"));
  const std::string mixed = File("Data/X.BLOB"), lower = Lower(mixed), dir = File("NewDir");
  const std::string big = File("big.blob"), big_ = Lower(big), a = File("A.blob");
  const std::string c = Lower(File("C.BLOB")), too_long = File(std::string(260, 'L'));
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  for (const char* name : {"a.blob", "b.blob", "short.blob"}) WriteFileBytes(File(name), name);
  WriteFileBytes(File("length.blob"), "12345");
  WriteFileBytes(File("huge.blob"), "");
  fs::resize_file(File("huge.blob"), int64_t{3} << 30);  // sparse: takes no room
  auto megabytes = [](const std::string& path) {
    return "~" + std::to_string(fs::space(path).available >> 20);
  };
  const std::string kArgFormat = "error -2 ARG FORMAT ERROR";
  const std::vector<Row> rows = {
      {"version", "plif_get_version", {}, "string 1.0", ""},
      {"create", "plif_file_create", {mixed}, "long 1", "file_create:" + lower + " 1\r\n"},
      {"open", "plif_file_open", {mixed}, "long 1", "file_open:" + lower + "  ret:1\r\n"},
      {"open absent",
       "plif_file_open",
       {File("Data/Y.BLOB")},
       "long 0",
       "file_open:" + Lower(File("Data/Y.BLOB")) + "  ret:0\r\n"},
      {"exists pattern",
       "plif_file_exists",
       {File("DATA/*.Blob")},
       "long 1",
       "file_exists:" + Lower(File("DATA/*.Blob")) + " 1\r\n"},
      {"exists directory",
       "plif_file_exists",
       {File("Data")},
       "long 1",
       "file_exists:" + Lower(File("Data")) + " 1\r\n"},
      {"exists nothing",
       "plif_file_exists",
       {File("Data/*.att")},
       "long 0",
       "file_exists:" + Lower(File("Data/*.att")) + " 0\r\n"},
      {"dir exists",
       "plif_dir_exists",
       {File("DATA")},
       "long 1",
       "dir_exists:" + File("DATA") + " 1\r\n"},
      {"dir exists file", "plif_dir_exists", {mixed}, "long 0", "dir_exists:" + mixed + " 0\r\n"},
      {"mkdir", "plif_mkdir", {dir}, "long 1", "mkdir:" + dir + " 1\r\n"},
      {"mkdir again",
       "plif_mkdir",
       {dir},
       "long 0",
       "cannot create dir:" + dir + " <any>\r\nmkdir:" + dir + " 0\r\n"},
      {"rmdir", "plif_rmdir", {dir}, "long 1", "rmdir:" + dir + " 1\r\n"},
      {"rmdir again", "plif_rmdir", {dir}, "long 0", "rmdir:" + dir + " 0\r\n"},
      {"write absent",
       "plif_file_write",
       {big, int64_t{0}, Bytes{"x"}},
       "long 0",
       "file_write:" + big_ + " pos:0  ret:0\r\n"},
      {"create big", "plif_file_create", {big}, "long 1", "file_create:" + big_ + " 1\r\n"},
      {"write",
       "plif_file_write",
       {big, int64_t{0}, Bytes{data}},
       "long 100000",
       "file_write:" + big_ + " pos:0  ret:100000\r\n"},
      {"read capped",
       "plif_file_read",
       {big, int64_t{0}, int32_t{100000}},
       "binary " + data.substr(0, 65536),
       "file_read:" + big_ + " pos:0 size:100000\r\n"},
      {"read rest",
       "plif_file_read",
       {big, int64_t{65536}, int32_t{65536}},
       "binary " + data.substr(65536),
       "file_read:" + big_ + " pos:65536 size:65536\r\n"},
      {"read inside",
       "plif_file_read",
       {big, int64_t{99990}, int32_t{5}},
       "binary " + data.substr(99990, 5),
       "file_read:" + big_ + " pos:99990 size:5\r\n"},
      {"read at end",
       "plif_file_read",
       {big, int64_t{100000}, int32_t{10}},
       "binary ",
       "file_read:" + big_ + " pos:100000 size:10\r\n"},
      {"read negative",
       "plif_file_read",
       {big, int64_t{0}, int32_t{-1}},
       "binary ",
       "file_read:" + big_ + " pos:0 size:-1\r\n"},
      {"read low 32 bits",
       "plif_file_read",
       {big, (int64_t{1} << 32) + 5, int32_t{1}},
       "binary ",
       "file_read:" + big_ + " pos:5 size:1\r\n"},
      {"read absent",
       "plif_file_read",
       {File("none"), int64_t{0}, int32_t{10}},
       "binary ",
       "file_read:" + Lower(File("none")) + " pos:0 size:10\r\n"},
      {"write past end",
       "plif_file_write",
       {big, int64_t{200000}, Bytes{"end"}},
       "long 3",
       "file_write:" + big_ + " pos:200000  ret:3\r\n"},
      {"length",
       "plif_file_getlength",
       {File("Length.blob")},
       "superlong 5",
       "file_getlength:" + Lower(File("Length.blob")) + " size:5\r\n"},
      {"length low 32 bits",
       "plif_file_getlength",
       {File("huge.blob")},
       "superlong -1073741824",
       "file_getlength:" + Lower(File("huge.blob")) + " size:-1073741824\r\n"},
      {"length absent",
       "plif_file_getlength",
       {File("none")},
       "superlong 0",
       "file_getlength:" + Lower(File("none")) + " size:0\r\n"},
      {"rename over",
       "plif_file_rename",
       {a, File("b.blob")},
       "long 0",
       "file_rename:" + Lower(a) + " -> " + Lower(File("b.blob")) + "  0\r\n"},
      {"rename",
       "plif_file_rename",
       {a, File("C.BLOB")},
       "long 1",
       "file_rename:" + Lower(a) + " -> " + c + "  1\r\n"},
      {"remove", "plif_file_remove", {File("C.blob")}, "long 1", "file_remove:" + c + " ret:1\r\n"},
      {"free space", "plif_get_freespace", {"/"}, megabytes("/"), "get_freespace: #M\r\n"},
      {"free space drive", "plif_get_freespace", {"c:/"}, megabytes("/"), "get_freespace: #M\r\n"},
      {"free space here",
       "plif_get_freespace",
       {files_.path()},
       megabytes(files_.path()),
       "get_freespace: #M\r\n"},
      {"free space absent",
       "plif_get_freespace",
       {"/no/such/volume/dir"},
       "long 0",
       "get_freespace: 0M\r\n"},
      // Too long for the index: failing cleanly, making nothing.
      {"create too long", "plif_file_create", {too_long}, "long 0", "<any> 0\r\n"},
      {"open too long", "plif_file_open", {too_long}, "long 0", "<any>  ret:0\r\n"},
      {"write too long",
       "plif_file_write",
       {too_long, int64_t{0}, Bytes{"d"}},
       "long 0",
       "<any> ret:0\r\n"},
      {"read too long", "plif_file_read", {too_long, int64_t{0}, int32_t{9}}, "binary ", "<any>"},
      {"length too long", "plif_file_getlength", {too_long}, "superlong 0", "<any> size:0\r\n"},
      {"rename to too long",
       "plif_file_rename",
       {File("short.blob"), too_long},
       "long 0",
       "<any>  0\r\n"},
      // Arguments of the wrong type or count never reach a handler.
      {"types", "plif_file_read", {big, int32_t{0}, int64_t{1}}, kArgFormat, ""},
      {"string as long", "plif_file_open", {int32_t{1}}, kArgFormat, ""},
      {"string as bytes", "plif_file_write", {big, int64_t{0}, std::string("t")}, kArgFormat, ""},
      {"too few", "plif_file_rename", {big}, kArgFormat, ""},
      {"too many", "plif_get_version", {std::string("extra")}, kArgFormat, ""},
      // NULL values pass the check with their type and are taken as empty.
      {"null path", "plif_file_open", {e2e::Null{NET_STRING}}, "long 0", "<any>  ret:0\r\n"},
      {"null bytes",
       "plif_file_write",
       {File("short.blob"), int64_t{0}, e2e::Null{NET_BINARY}},
       "long 0",
       "<any>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string answer = Answer(Call(row.procedure, row.args)), log = row.log;
    if (row.answer[0] == '~') {  // free space: within 64 MiB of what the volume has
      ASSERT_EQ(answer.rfind("long ", 0), 0u) << answer;
      EXPECT_NEAR(results_.GetLong(0), std::stoll(row.answer.substr(1)), 64);
      log.replace(log.find('#'), 1, answer.substr(5));
    } else {
      EXPECT_TRUE(answer == row.answer) << answer.substr(0, 200);
    }
    EXPECT_TRUE(LogMatches(log_, log)) << log_;
  }
  // What the rows left on the disk: names in the spelling their procedures use, every write
  // answered on the disk, nothing renamed over, nothing of the failed calls.
  EXPECT_EQ(fs::directory_iterator(File("Data"))->path().filename(), "x.blob");
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_EQ(ReadFileBytes(big), data + std::string(100000, '\0') + "end");
  EXPECT_EQ(ReadFileBytes(File("b.blob")), "b.blob");
  EXPECT_FALSE(fs::exists(File("a.blob")) || fs::exists(c));
  EXPECT_EQ(ReadFileBytes(File("short.blob")), "short.blob");
  std::error_code too_long_name;  // the OS may refuse to even look the name up
  EXPECT_FALSE(fs::exists(Lower(too_long), too_long_name));
}

TEST_F(FileService, ConnectionsAreLoggedWithThePeerAddressAndPort) {
  testing::internal::CaptureStdout();
  {
    SrpcClient other;
    ASSERT_TRUE(other.Connect("127.0.0.1", port_));
    NetValueList results;
    ASSERT_EQ(other.Call("plif_get_version", NetValueList(), &results), 0);
  }
  for (int i = 0; i < 500 && server_->ActiveCount() > 1; ++i) platform::SleepMs(10);
  std::string log = testing::internal::GetCapturedStdout();
  std::smatch match;
  ASSERT_TRUE(std::regex_match(log, match,
                               std::regex("client:127\\.0\\.0\\.1,(\\d+) connected\r\n"
                                          "client:127\\.0\\.0\\.1,(\\d+) closed\r\n")))
      << log;
  EXPECT_EQ(match[1], match[2]);
  EXPECT_NE(match[1], std::to_string(port_)) << "the client's port, not the server's";
}

TEST_F(FileService, ClientsWorkOnTheirOwnFilesAtOnce) {
  constexpr int kClients = 4;
  constexpr int kPieces = 10;
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([this, c] {
      SrpcClient client;
      ASSERT_TRUE(client.Connect("127.0.0.1", port_));
      std::string path = File("c" + std::to_string(c) + ".blob");
      std::string piece(3000, static_cast<char>('a' + c));
      ASSERT_EQ(e2e::CallLong(client, "plif_file_create", path), 1);
      for (int i = 0; i < kPieces; ++i) {
        EXPECT_EQ(e2e::Write(client, path, int64_t{i} * 3000, piece), 3000);
        EXPECT_EQ(e2e::Read(client, path, int64_t{i} * 3000, 3000), piece);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  testing::internal::GetCapturedStdout();
  for (int c = 0; c < kClients; ++c) {
    EXPECT_EQ(ReadFileBytes(File("c" + std::to_string(c) + ".blob")),
              std::string(3000 * kPieces, static_cast<char>('a' + c)));
  }
}

// Each path procedure twice: a path that hides a line of its own and is far longer than a log
// line should be is logged as one cut value; and the jail judges a path in the spelling its
// procedure uses on the disk (file procedures lower-case it, directory procedures take it as
// given). "SUB" is a link out of the jail beside the real directory "sub", so a check of one
// spelling followed by a handler using the other would either refuse a file procedure or
// reach outside.
TEST_F(FileService, PathsAreLoggedAsOneValueAndJailedInTheSpellingTheirProcedureUses) {
  const std::string evil = File("Evil\r\nclient:6.6.6.6,666 connected/") + std::string(3000, 'p');
  const std::string lower = Logged(Lower(evil)), as_given = Logged(evil);
  struct Case {
    const char* procedure;
    const char* format;
    std::string log;  // of the evil path
    bool lower_case;
  };
  const std::vector<Case> cases = {
      {"plif_file_create", "s", "file_create:" + lower + " 0\r\n", true},
      {"plif_file_open", "s", "file_open:" + lower + "  ret:0\r\n", true},
      {"plif_file_read", "sli", "file_read:" + lower + " pos:0 size:0\r\n", true},
      {"plif_file_write", "slb", "file_write:" + lower + " pos:0  ret:0\r\n", true},
      {"plif_file_getlength", "s", "file_getlength:" + lower + " size:0\r\n", true},
      {"plif_file_remove", "s", "file_remove:" + lower + " ret:1\r\n", true},
      {"plif_file_rename", "ss", "file_rename:" + lower + " -> " + lower + "  0\r\n", true},
      {"plif_file_exists", "s", "file_exists:" + lower + " 0\r\n", true},
      {"plif_dir_exists", "s", "dir_exists:" + as_given + " 0\r\n", false},
      {"plif_rmdir", "s", "rmdir:" + as_given + " 0\r\n", false},
      // The system's text after the path is its own.
      {"plif_mkdir", "s",
       "cannot create dir:" + as_given + " <any>\r\nmkdir:" + as_given + " 0\r\n", false},
      {"plif_get_freespace", "s", "get_freespace: 0M\r\n", false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Call(c.procedure, ArgsOfFormat(c.format, evil)), 0) << c.procedure;
    EXPECT_TRUE(LogMatches(log_, c.log)) << c.procedure << ": " << log_;
  }

  fs::create_directories(File("jail/sub"));
  TempDir outside;
  std::error_code no_link;
  fs::create_directory_symlink(outside.path(), File("jail/SUB"), no_link);
  Fence jail(File("jail"), "", "");
  ASSERT_EQ(Call("plif_file_open", {evil}), 0);
  EXPECT_EQ(log_, "refused:" + lower + " outside the allowed directories\r\n");
  if (no_link || fs::equivalent(File("jail/sub"), File("jail/SUB"))) {
    GTEST_SKIP() << "needs a case-sensitive disk with symbolic links";
  }
  const std::string path = File("jail/SUB/Thing");
  for (const Case& c : cases) {
    ASSERT_EQ(Call(c.procedure, ArgsOfFormat(c.format, path)), 0) << c.procedure;
    if (c.lower_case) {
      EXPECT_EQ(log_.find("refused:"), std::string::npos) << c.procedure << ": " << log_;
      EXPECT_NE(log_.find(Lower(path)), std::string::npos) << c.procedure << ": " << log_;
    } else {
      EXPECT_EQ(log_, "refused:" + path + " outside the allowed directories\r\n") << c.procedure;
    }
    EXPECT_TRUE(fs::is_empty(outside.path())) << c.procedure;
  }
}

TEST_F(FileService, AFencedServerStopsOnlyWhenAllowShutdownSaysSo) {
  fs::create_directory(File("jail"));
  struct Case {
    std::string allowed_dirs;
    const char* read_only;
    const char* allow_shutdown;
    bool stops;
  };
  const std::vector<Case> cases = {
      {"", "1", "", false},
      {File("jail"), "", "0", false},
      {File("jail"), "1", "1", true},  // last: the server is gone after it
  };
  StopRoutine stop(server_.get());
  for (const Case& c : cases) {
    Fence fence(c.allowed_dirs, c.read_only, c.allow_shutdown);
    ASSERT_EQ(Call("_shutdown"), 0);
    EXPECT_EQ(results_.Count(), 0);
    EXPECT_EQ(server_->IsStopping() != 0, c.stops) << c.allowed_dirs << c.read_only;
    // (A stopping server may log the session's close meanwhile.)
    EXPECT_EQ(log_.find("refused:_shutdown the server is fenced\r\n") == 0, !c.stops) << log_;
  }
  server_->WaitForStarter();
}

TEST_F(FileService, AJailedServerClearsOnlyWhenEveryFileDirectoryIsInside) {
  WriteFileBytes(File("1.blob"), "1");
  WriteFileBytes(File("2.att"), "2");
  TempDir elsewhere;
  for (const std::string& jail : {elsewhere.path(), files_.path()}) {
    Fence fence(jail, "", "");
    ASSERT_EQ(Call("plif_file_clear"), 0);
    EXPECT_EQ(results_.Count(), 0);
    bool inside = jail == files_.path();
    EXPECT_EQ(log_, inside ? "file_clear\r\nFileClear 2\r\n"
                           : "refused:plif_file_clear a file directory is outside the allowed "
                             "directories\r\n");
    EXPECT_EQ(fs::is_empty(files_.path()), inside);
  }
}

// A local process swaps a file of the jail for a link to a file outside it, again and again,
// while two clients read and write the file: whichever way each call meets the swap, no byte
// outside the jail is read or written.
TEST_F(FileService, AFileSwappedForALinkOutOfTheJailIsNeverReadOrWrittenThrough) {
  constexpr int kSwaps = 20000;
  constexpr int32_t kSize = 8192;
  TempDir outside;
  std::string secret = outside / "secret.bin";
  std::string secret_bytes(kSize, 'O');
  WriteFileBytes(secret, secret_bytes);
  std::string original = File("original.bin");
  WriteFileBytes(original, std::string(kSize, 'I'));
  std::string swapped = File("swapped.bin");
  std::string next = File("next.bin");
  std::error_code no_links;
  fs::create_symlink(secret, next, no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here";
  fs::rename(next, swapped);
  Fence jail(files_.path(), "", "");

  testing::internal::CaptureStdout();
  std::atomic<bool> swapping{true};
  std::atomic<int> outside_bytes_read{0};
  std::atomic<int> calls{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 2; ++c) {
    clients.emplace_back([&, c] {
      SrpcClient client;
      ASSERT_TRUE(client.Connect("127.0.0.1", port_));
      for (int i = 0; swapping.load(); ++i, ++calls) {
        if ((i + c) % 2 == 0) {
          std::string bytes = e2e::Read(client, swapped, 0, kSize);
          ASSERT_NE(bytes, "(call failed)");
          if (bytes.find('O') != std::string::npos) ++outside_bytes_read;
        } else {
          std::string bytes(100, static_cast<char>('a' + c));
          ASSERT_NE(e2e::Write(client, swapped, i % 50 * 100, bytes), e2e::kCallFailed);
        }
      }
    });
  }
  for (int swap = 0; swap < kSwaps; ++swap) {
    if (swap % 2 == 0) {
      fs::create_hard_link(original, next);
    } else {
      fs::create_symlink(secret, next);
    }
    fs::rename(next, swapped);
  }
  swapping = false;
  for (std::thread& client : clients) client.join();
  testing::internal::GetCapturedStdout();
  EXPECT_GT(calls.load(), 100) << "the clients hardly met the swaps";
  EXPECT_EQ(outside_bytes_read.load(), 0);
  EXPECT_TRUE(ReadFileBytes(secret) == secret_bytes) << "the file outside the jail was written";
}

}  // namespace
