// The file-service procedures as a client sees them: a real SRPC server on 127.0.0.1 with the
// procedure table, a disk manager on temporary directories; log lines captured from the console.
#include "filesvc/procs.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "filesvc/access.h"
#include "filesvc/extensions.h"
#include "filesvc/pellarymng.h"
#include "platform/clock.h"
#include "srpc/srpcclient.h"
#include "store/filescache.h"
#include "testing/remote_calls.h"
#include "testing/temp_dir.h"
#include "testing/text.h"

namespace {

namespace fs = std::filesystem;
using e2e::Arg;
using e2e::Bytes;
using i32 = int32_t;
using i64 = int64_t;

// A path as a log line shows it: CR and LF escaped, cut after 1000 bytes with "...".
std::string Logged(const std::string& value) {
  std::string shown;
  for (char c : value) shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return shown.size() > 1000 ? shown.substr(0, 1000) + "..." : shown;
}

// `log` with "@" the logged lower-cased `path`, "#" the logged `path`, "~" `number`, ending "\r\n".
std::string Expand(std::string log, const std::string& path, const std::string& number = "") {
  for (size_t at = 0; (at = log.find_first_of("@#~", at)) != std::string::npos;) {
    std::string value = log[at] == '~' ? number : Logged(log[at] == '@' ? Lower(path) : path);
    log.replace(at, 1, value);
    at += value.size();
  }
  return log.empty() ? log : log + "\r\n";
}

// Every 's' of `format` is `path`, every 'l' and 'i' 0, every 'b' the bytes "x".
std::vector<Arg> ArgsOfFormat(const std::string& format, const std::string& path) {
  std::vector<Arg> args;
  for (char letter : format) {
    args.push_back(letter == 's'   ? Arg{path}
                   : letter == 'l' ? Arg{i64{0}}
                   : letter == 'i' ? Arg{i32{0}}
                                   : Arg{Bytes{"x"}});
  }
  return args;
}

// "<any>" in `pattern` stands for any text (the system's own words).
bool LogMatches(const std::string& log, const std::string& pattern) {
  size_t any = pattern.find("<any>");
  if (any == std::string::npos) return log == pattern;
  std::string tail = pattern.substr(any + 5);
  return log.size() >= any + tail.size() && log.compare(0, any, pattern, 0, any) == 0 &&
         log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
}

// A call and what it must answer and log. The log line goes after the procedure's name and ':'
// unless it starts with "<any>"; "" when nothing is logged.
struct Row {
  const char* procedure;  // without "plif_"
  std::vector<Arg> args;
  std::string answer;  // as FileService::Answer gives it; "~" for free space
  std::string log;     // "@": the first path lower-cased, "#": as given, "~": the number answered
};

// The file service on a port of the system's choice, with a connected client whose session
// has started (so its connection line is already logged).
class FileService : public testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStdout();
    mng_ = std::make_unique<PellaryMng>(temp_.path().c_str(), files_.path().c_str(), 0, 1 << 20);
    g_pellary_mng = mng_.get();
    // The table with the opt-in procedures: the specified ones behave the same in both.
    server_ = std::make_unique<SRPCSocketSvr>(PellaryProcTable(true));
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

  // The server's fences until the test ends.
  void Fence(const std::string& allowed_dirs, const std::string& read_only,
             const std::string& allow_shutdown = "") {
    CString problem;
    policy_ = std::make_unique<AccessPolicy>();
    EXPECT_TRUE(policy_->Configure(allowed_dirs.c_str(), read_only.c_str(), "", &problem) &&
                policy_->ConfigureShutdown(allow_shutdown.c_str(), &problem))
        << problem.GetString();
    g_access_policy = policy_.get();
  }
  // The call's code ("plif_" goes before a `procedure` without '_' first); `log_` gets what it
  // wrote on the console.
  int32_t Call(const std::string& procedure, const std::vector<Arg>& args = {}) {
    NetValueList list;
    testing::internal::CaptureStdout();
    std::string name = procedure[0] == '_' ? procedure : "plif_" + procedure;
    int32_t code = client_.Call(name.c_str(), e2e::Args(list, args), &results_);
    log_ = testing::internal::GetCapturedStdout();
    return code;
  }
  // The answer as text: "error <code> <text>", "none", or the one value's type and value.
  std::string Answer(int32_t code) const {
    if (code != 0) return "error " + std::to_string(code) + " " + client_.error_text().GetString();
    if (results_.Count() == 0) return "none";
    int length = 0;
    const char* bytes = results_.Type(0) == NET_BINARY ? results_.GetBinary(0, &length) : "";
    switch (results_.Type(0)) {
      case NET_LONG:
        return "long " + std::to_string(results_.GetLong(0));
      case NET_SUPERLONG:
        return "superlong " + std::to_string(results_.GetSuperLong(0));
      case NET_STRING:
        return std::string("string ") + results_.GetString(0);
      case NET_TABLE:
        return "table " + Rows(results_.IsNull(0) ? nullptr : results_.GetTable(0));
    }
    return "binary " + std::string(bytes, length);
  }

  // "null", or each row as "name/dir/length", separated by '|'.
  static std::string Rows(const NetTable* table) {
    if (table == nullptr) return "null";
    std::string rows;
    for (int r = 1; r <= table->RowCount(); ++r) {
      rows += (r > 1 ? "|" : "") + std::string(table->GetCString(r, "name")->GetString()) + "/" +
              std::to_string(table->GetLong(r, "dir")) + "/" +
              std::to_string(table->GetSuperLong(r, "length"));
    }
    return rows;
  }

  // Runs the rows in order, each against its answer and its log line.
  void CheckRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.procedure) + " " + row.answer.substr(0, 40));
      std::string answer = Answer(Call(row.procedure, row.args));
      const std::string* path = row.args.empty() ? nullptr : std::get_if<std::string>(&row.args[0]);
      std::string log =
          row.log.empty() || row.log[0] == '<' ? row.log : row.procedure + (":" + row.log);
      log = Expand(log, path == nullptr ? "" : *path, answer.substr(5));
      if (row.answer == "~") {  // within 64 MiB of what the volume has
        ASSERT_EQ(answer.rfind("long ", 0), 0u) << answer;
        EXPECT_NEAR(results_.GetLong(0), fs::space(files_.path()).available >> 20, 64);
      } else {
        EXPECT_TRUE(answer == row.answer) << answer.substr(0, 200);
      }
      EXPECT_TRUE(LogMatches(log_, log)) << log_;
    }
  }

  std::string File(const std::string& name) const { return files_ / name; }

  TempDir temp_;
  TempDir files_;
  std::unique_ptr<AccessPolicy> policy_;
  std::unique_ptr<PellaryMng> mng_;
  std::unique_ptr<SRPCSocketSvr> server_;
  int port_ = 0;
  SrpcClient client_;
  NetValueList results_;
  std::string log_;
};

// The rows run in order on one disk: files made by a row serve the rows after it. File
// procedures lower-case their paths; directory procedures take them as given. Failures and
// the jail are in the path test below.
TEST_F(FileService, EveryProcedureAnswersAndLogsAsTheTableSays) {
  auto f = [this](const std::string& name) { return File(name); };
  fs::create_directory(f("Data"));
  const std::string mixed = f("Data/X.BLOB"), b = f("big.blob");
  std::string d(100000, '\0');  // the data written
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<char>(i * 7 + i / 251);
  const std::string head = "binary " + d.substr(0, 65536), tail = "binary " + d.substr(65536);
  WriteFileBytes(f("a.blob"), "a");
  WriteFileBytes(f("huge.blob"), "12345");
  fs::resize_file(f("huge.blob"), int64_t{3} << 30);  // sparse: takes no room
  const std::string kArgFormat = "error -2 ARG FORMAT ERROR";
  const std::vector<Row> rows = {
      {"get_version", {}, "string 1.0", ""},
      {"file_create", {mixed}, "long 1", "@ 1"},
      {"file_open", {mixed}, "long 1", "@  ret:1"},
      {"file_exists", {f("DATA/*.Blob")}, "long 1", "@ 1"},
      {"file_exists", {f("Data")}, "long 1", "@ 1"},  // directories count
      {"dir_exists", {f("DATA")}, "long 1", "# 1"},
      {"mkdir", {f("New")}, "long 1", "# 1"},
      {"rmdir", {f("New")}, "long 1", "# 1"},
      {"file_create", {b}, "long 1", "@ 1"},
      {"file_write", {b, i64{0}, Bytes{d}}, "long 100000", "@ pos:0  ret:100000"},
      {"file_read", {b, i64{0}, i32{100000}}, head, "@ pos:0 size:100000"},  // one buffer
      {"file_read", {b, i64{65536}, i32{65536}}, tail, "@ pos:65536 size:65536"},
      {"file_read", {b, i64{0}, i32{-1}}, "binary ", "@ pos:0 size:-1"},
      {"file_read", {b, (i64{1} << 32) + 5, i32{1}}, "binary ", "@ pos:5 size:1"},  // low 32 bits
      {"file_getlength", {f("Huge.blob")}, "superlong -1073741824", "@ size:-1073741824"},
      {"file_rename", {f("A.blob"), f("C.BLOB")}, "long 1", "@ -> " + Lower(f("C.BLOB")) + "  1"},
      {"file_remove", {f("C.blob")}, "long 1", "@ ret:1"},
      {"get_freespace", {files_.path()}, "~", " ~M"},
      // Arguments of the wrong type or count never reach a handler.
      {"file_read", {b, i32{0}, i64{1}}, kArgFormat, ""},
      {"get_version", {std::string("extra")}, kArgFormat, ""},
      // NULL values pass the check with their type and are taken as empty.
      {"file_open", {e2e::Null{NET_STRING}}, "long 0", "<any>file_open:  ret:0"},
  };
  CheckRows(rows);
  // A read of a file that cannot be opened says why, once: its path is resolved once.
  ASSERT_EQ(Answer(Call("file_read", {f("none/x.blob"), i64{0}, i32{1}})), "binary ");
  size_t said = log_.find("error path not found");
  EXPECT_TRUE(said != std::string::npos && log_.find("error path", said + 1) == std::string::npos)
      << log_;
  EXPECT_EQ(fs::directory_iterator(f("Data"))->path().filename(), "x.blob");
  EXPECT_EQ(ReadFileBytes(b), d);
  EXPECT_FALSE(fs::exists(f("New")) || fs::exists(f("a.blob")) || fs::exists(f("c.blob")));
}

std::string Crc(const std::string& bytes) {
  return std::to_string(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// The opt-in procedures: listing pages and their continuation, full lengths, checksums of
// ranges, and the failure results that tell a missing or unusable entry from an empty one.
TEST_F(FileService, OptInProceduresListStatAndSumWhatTheServerSees) {
  auto f = [this](const std::string& name) { return File(name); };
  fs::create_directories(f("Data/Sub"));
  fs::create_directories(f("Data/empty"));
  for (auto [name, bytes] :
       {std::pair{"b.txt", "bbb"}, {"A file.TXT", "a"}, {"caf\xc3\xa9.txt", "cc"}})
    WriteFileBytes(f("Data/") + name, bytes);
  WriteFileBytes(f("huge.blob"), "1");
  fs::resize_file(f("huge.blob"), int64_t{5} << 30);  // sparse: takes no room
  std::string sum(200000, '\0');
  for (size_t i = 0; i < sum.size(); ++i) sum[i] = static_cast<char>(i * 13 + i / 997);
  WriteFileBytes(f("sum.bin"), sum);
  const std::string data = f("Data"), s = f("sum.bin");
  // A listing and a checksum log their arguments and the count of rows or the sum answered.
  auto listed = [](const std::string& dir, const std::string& pattern, const std::string& rows,
                   const std::string& count, const std::string& logged_pattern = "") {
    return Row{"dir_list",
               {dir, pattern},
               "table " + rows,
               "# " + (logged_pattern.empty() ? pattern : logged_pattern) + " " + count};
  };
  auto summed = [](const std::string& path, i64 pos, i64 size, const std::string& crc) {
    return Row{"file_checksum",
               {path, pos, size},
               "superlong " + crc,
               "@ pos:" + std::to_string(pos) + " size:" + std::to_string(size) + " crc:" + crc};
  };
  const std::string all = "A file.TXT/0/1|Sub/1/0|b.txt/0/3|caf\xc3\xa9.txt/0/2|empty/1/0";
  const std::string long_pattern(kMaxPattern + 1, '*');
  const std::vector<Row> rows = {
      listed(data, "", all, "5"),
      listed(data, "*.TXT", "A file.TXT/0/1|b.txt/0/3|caf\xc3\xa9.txt/0/2", "3"),
      listed(data, "*/b.txt", "caf\xc3\xa9.txt/0/2|empty/1/0", "2"),
      listed(f("Data/empty"), "", "", "0"),
      listed(f("Data/missing"), "", "null", "-1"),
      listed(f("Data/b.txt"), "*", "null", "-1"),
      listed(data, long_pattern, "null", "-1", std::string(1000, '*') + "..."),
      {"file_stat", {f("HUGE.BLOB")}, "table huge.blob/0/5368709120", "@ size:5368709120"},
      {"file_stat", {data}, "table Data/1/0", "@ size:0"},
      {"file_stat", {f("nothing")}, "table ", "@ size:-1"},
      summed(s, 1000, 70000, Crc(sum.substr(1000, 70000))),
      summed(s, 150000, INT64_MAX, Crc(sum.substr(150000))),
      summed(s, 300000, 10, "0"),
      summed(s, -1, 10, "-1"),
      summed(s, 0, -1, "-1"),
      summed(f("nothing"), 0, 1, "-1"),
      {"file_checksum",  // the cache says why it cannot open a directory
       {data, i64{0}, i64{1}},
       "superlong -1",
       "<any>file_checksum:@ pos:0 size:1 crc:-1"},
      {"dir_list", {data}, "error -2 ARG FORMAT ERROR", ""},
  };
  CheckRows(rows);
  // Bytes only the cache holds yet: a checksum and a length count them, the disk has none.
  const std::string cached = "CACHED";
  ASSERT_EQ(mng_->files_cache().Write(s.c_str(), 5, cached.data(), 6), 6);
  ASSERT_EQ(mng_->files_cache().Write(s.c_str(), 200010, cached.data(), 6), 6);
  ASSERT_EQ(ReadFileBytes(s), sum);
  std::string seen = sum.substr(0, 5) + cached + sum.substr(11) + std::string(10, '\0') + cached;
  EXPECT_EQ(Answer(Call("file_checksum", {s, i64{0}, INT64_MAX})), "superlong " + Crc(seen));
  EXPECT_EQ(Answer(Call("file_stat", {s})), "table sum.bin/0/200016");
  // Whole seconds since 1970 UTC: the file was written just now.
  EXPECT_NEAR(results_.GetTable(0)->GetSuperLong(1, "mtime"), std::time(nullptr), 300);
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
  std::smatch match;  // the client's port, the same in both lines
  ASSERT_TRUE(std::regex_match(
      log, match,
      std::regex(
          "client:127\\.0\\.0\\.1,(\\d+) connected\r\nclient:127\\.0\\.0\\.1,\\1 closed\r\n")))
      << log;
  EXPECT_NE(match[1], std::to_string(port_));
}

// A path hiding a line of its own, too long for the disk, is logged as one cut value and fails
// cleanly; the jail judges a path in the spelling its procedure uses on the disk.
TEST_F(FileService, PathsAreLoggedAsOneValueAndJailedInTheSpellingTheirProcedureUses) {
  const std::string evil = File("Evil\r\nclient:6.6.6.6,666 connected/") + std::string(3000, 'p');
  const std::vector<std::array<const char*, 3>> cases = {
      // procedure, format, log of `evil`
      {"file_create", "s", "file_create:@ 0"},
      {"file_open", "s", "file_open:@  ret:0"},
      {"file_read", "sli", "file_read:@ pos:0 size:0"},
      {"file_write", "slb", "file_write:@ pos:0  ret:0"},
      {"file_getlength", "s", "file_getlength:@ size:0"},
      {"file_remove", "s", "file_remove:@ ret:1"},
      {"file_rename", "ss", "file_rename:@ -> @  0"},
      {"file_exists", "s", "file_exists:@ 0"},
      {"dir_exists", "s", "dir_exists:# 0"},
      {"rmdir", "s", "rmdir:# 0"},
      {"mkdir", "s", "cannot create dir:# <any>\r\nmkdir:# 0"},  // the system's own words
      {"get_freespace", "s", "get_freespace: 0M"},
      {"dir_list", "ss", "dir_list:# # -1"},
      {"file_stat", "s", "file_stat:@ size:-1"},
      {"file_checksum", "sll", "file_checksum:@ pos:0 size:0 crc:-1"},
  };
  for (auto [procedure, format, log] : cases) {
    ASSERT_EQ(Call(procedure, ArgsOfFormat(format, evil)), 0) << procedure;
    EXPECT_TRUE(LogMatches(log_, Expand(log, evil))) << procedure << ": " << log_;
  }
  // "SUB" links out of the jail beside the real "sub": a check of one spelling followed by a
  // handler using the other would refuse a file procedure or reach outside.
  fs::create_directories(File("jail/sub"));
  TempDir outside;
  std::error_code no_link;
  fs::create_directory_symlink(outside.path(), File("jail/SUB"), no_link);
  Fence(File("jail"), "");
  ASSERT_EQ(Call("file_open", {evil}), 0);
  EXPECT_EQ(log_, Expand("refused:@ outside the allowed directories", evil));
  if (no_link || fs::equivalent(File("jail/sub"), File("jail/SUB"))) {
    GTEST_SKIP() << "needs a case-sensitive disk with symbolic links";
  }
  const std::string path = File("jail/SUB/Thing");
  for (auto [procedure, format, log] : cases) {
    ASSERT_EQ(Call(procedure, ArgsOfFormat(format, path)), 0) << procedure;
    bool refused = log_ == Expand("refused:# outside the allowed directories", path);
    EXPECT_EQ(refused, std::string(procedure).rfind("file_", 0) != 0) << procedure << log_;
    EXPECT_TRUE(refused || log_.find(Lower(path)) != std::string::npos) << procedure << log_;
    EXPECT_TRUE(fs::is_empty(outside.path())) << procedure;
  }
}

// A fence refuses to clear unless every file directory is inside the jail, and to stop the
// server unless allow_shutdown says so.
TEST_F(FileService, FencesRefuseClearingAndStoppingBeyondThem) {
  WriteFileBytes(File("1.blob"), "1");
  TempDir elsewhere;
  static SRPCSocketSvr* server;  // the stop routine as the application hands it down
  server = server_.get();
  SetStopRoutine([] { server->Stop(); });
  const std::string fenced = "refused:_shutdown the server is fenced\r\n";
  const std::vector<std::array<std::string, 5>> cases = {
      // jail, read only, shutdown, call, log
      {elsewhere.path(), "", "", "file_clear",
       "refused:plif_file_clear a file directory is outside the allowed directories\r\n"},
      {files_.path(), "", "", "file_clear", "file_clear\r\nFileClear 1\r\n"},
      {"", "1", "", "_shutdown", fenced},
      {files_.path(), "", "0", "_shutdown", fenced},
      {files_.path(), "1", "1", "_shutdown", ""},  // last: the server stops
  };
  for (const auto& [jail, read_only, allow_shutdown, procedure, log] : cases) {
    Fence(jail, read_only, allow_shutdown);
    ASSERT_EQ(Call(procedure), 0);
    EXPECT_EQ(results_.Count(), 0);
    // (A stopping server may log the session's close meanwhile.)
    EXPECT_TRUE(log_.starts_with(log) && (log_ == log || log.empty())) << log_;
    EXPECT_EQ(server_->IsStopping() != 0, log.empty()) << procedure << read_only;
    if (log.empty()) break;
    EXPECT_EQ(fs::exists(File("1.blob")), procedure == "file_clear" && jail != files_.path());
  }
  server_->WaitForStarter();
  SetStopRoutine(nullptr);
}

// A local process swaps a file of the jail for a link to a file outside it, again and again,
// while two clients read and write the file: no byte outside the jail is read or written.
TEST_F(FileService, AFileSwappedForALinkOutOfTheJailIsNeverReadOrWrittenThrough) {
  TempDir outside;
  const std::string secret = outside / "secret.bin", original = File("original.bin");
  const std::string swapped = File("swapped.bin"), next = File("next.bin");
  WriteFileBytes(secret, std::string(8192, 'O'));
  WriteFileBytes(original, std::string(8192, 'I'));
  std::error_code no_links;
  fs::create_symlink(secret, next, no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here";
  fs::rename(next, swapped);
  Fence(files_.path(), "");
  testing::internal::CaptureStdout();
  std::atomic<bool> swapping{true};
  std::atomic<int> outside_bytes_read{0}, calls{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 2; ++c) {
    clients.emplace_back([&, c] {
      SrpcClient client;
      ASSERT_TRUE(client.Connect("127.0.0.1", port_));
      for (int i = c; swapping.load(); ++i, ++calls) {
        if (i % 2 == 0) {
          std::string bytes = e2e::Read(client, swapped, 0, 8192);
          ASSERT_NE(bytes, "(call failed)");
          outside_bytes_read += bytes.find('O') != std::string::npos;
        } else {
          std::string bytes(100, static_cast<char>('a' + c));
          ASSERT_NE(e2e::Write(client, swapped, i % 50 * 100, bytes), e2e::kCallFailed);
        }
      }
    });
  }
  for (int swap = 0; swap < 20000; ++swap) {
    swap % 2 == 0 ? fs::create_hard_link(original, next) : fs::create_symlink(secret, next);
    fs::rename(next, swapped);
  }
  swapping = false;
  for (std::thread& client : clients) client.join();
  testing::internal::GetCapturedStdout();
  EXPECT_GT(calls.load(), 100) << "the clients hardly met the swaps";
  EXPECT_EQ(outside_bytes_read.load(), 0);
  EXPECT_EQ(ReadFileBytes(secret), std::string(8192, 'O')) << "the file outside was written";
}

}  // namespace
