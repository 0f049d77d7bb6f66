// Tests of the file-service procedures as a client sees them: a real SRPC server with the
// procedure table on 127.0.0.1, a disk manager on temporary directories, SrpcClient calls.
// Each call's result types and values, its log line (the log server prints every line on the
// console, captured here), which paths are lower-cased, the 64 KiB read cap, durability and
// the answers to bad arguments.
#include "filesvc/procs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "filesvc/access.h"
#include "filesvc/pellarymng.h"
#include "platform/clock.h"
#include "srpc/srpcclient.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char ch) { return ch >= 'A' && ch <= 'Z' ? ch + 32 : ch; });
  return text;
}

// `value` as a log line shows it: CR and LF escaped, cut after 1000 bytes with "...".
std::string Logged(const std::string& value) {
  std::string shown;
  for (char c : value) shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return shown.size() > 1000 ? shown.substr(0, 1000) + "..." : shown;
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

// Arguments built in order: S(text), L(64-bit), I(32-bit), B(bytes).
class Args {
 public:
  Args& S(const std::string& text) {
    list_.SetString(Next(), text.c_str(), static_cast<int>(text.size()));
    return *this;
  }
  Args& L(int64_t value) {
    list_.SetSuperLong(Next(), value);
    return *this;
  }
  Args& I(int32_t value) {
    list_.SetLong(Next(), value);
    return *this;
  }
  Args& B(const std::string& bytes) {
    list_.SetBinary(Next(), bytes.data(), static_cast<int>(bytes.size()));
    return *this;
  }
  Args& NullOf(int type) {
    list_.SetNull(Next(), type);
    return *this;
  }
  const NetValueList& list() const { return list_; }

 private:
  int Next() { return list_.Append(1) - 1; }
  NetValueList list_;
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
  int32_t Call(const char* procedure, const Args& args = Args()) {
    testing::internal::CaptureStdout();
    int32_t code = client_.Call(procedure, args.list(), &results_);
    log_ = testing::internal::GetCapturedStdout();
    return code;
  }
  // The call must answer exactly one value of `type`.
  void CallFor(int type, const char* procedure, const Args& args) {
    ASSERT_EQ(Call(procedure, args), 0) << procedure << ": " << client_.error_text().GetString();
    ASSERT_EQ(results_.Count(), 1) << procedure;
    ASSERT_EQ(results_.Type(0), type) << procedure;
    ASSERT_FALSE(results_.IsNull(0)) << procedure;
  }
  int32_t CallLong(const char* procedure, const Args& args) {
    CallFor(NET_LONG, procedure, args);
    return results_.Count() == 1 && results_.Type(0) == NET_LONG ? results_.GetLong(0) : -999;
  }
  std::string CallBinary(const char* procedure, const Args& args) {
    CallFor(NET_BINARY, procedure, args);
    if (results_.Count() != 1 || results_.Type(0) != NET_BINARY) return "<no binary>";
    int length = 0;
    const char* bytes = results_.GetBinary(0, &length);
    return std::string(bytes, length);
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

TEST(ProcTable, HoldsTheSeventeenProceduresInOrderWithTheirFormats) {
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"SRPC_OPEN", ""},          {"SRPC_CLOSE", ""},
      {"plif_get_version", ""},   {"plif_file_create", "s"},
      {"plif_file_open", "s"},    {"plif_file_read", "sli"},
      {"plif_file_write", "slb"}, {"plif_file_getlength", "s"},
      {"plif_file_remove", "s"},  {"plif_file_rename", "ss"},
      {"plif_file_clear", ""},    {"plif_file_exists", "s"},
      {"plif_dir_exists", "s"},   {"plif_mkdir", "s"},
      {"plif_rmdir", "s"},        {"plif_get_freespace", "s"},
      {"_shutdown", ""},
  };
  const SrpcProcEntry* table = PellaryProcTable();
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_NE(table[i].name, nullptr) << i;
    EXPECT_EQ(table[i].name, expected[i].first);
    EXPECT_EQ(table[i].format, expected[i].second) << table[i].name;
    EXPECT_NE(table[i].handler, nullptr) << table[i].name;
    EXPECT_EQ(table[i].serialize, 0) << table[i].name;
  }
  EXPECT_EQ(table[expected.size()].name, nullptr);
  SRPCSocketSvr server(table);
  EXPECT_EQ(server.ProcCount(), 19);
}

TEST_F(FileService, VersionAnswersWithoutALogLine) {
  CallFor(NET_STRING, "plif_get_version", Args());
  EXPECT_STREQ(results_.GetString(0), "1.0");
  EXPECT_EQ(log_, "");
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
  ASSERT_TRUE(std::regex_match(
      log, match,
      std::regex("client:127\\.0\\.0\\.1,(\\d+) connected\r\nclient:127\\.0\\.0\\.1,"
                 "(\\d+) closed\r\n")))
      << log;
  EXPECT_EQ(match[1], match[2]);
  EXPECT_NE(match[1], std::to_string(port_)) << "the client's port, not the server's";
}

TEST_F(FileService, FilePathsAreLowerCasedAndDirectoryPathsAreNot) {
  fs::create_directory(File("Data"));
  std::string mixed = File("Data/X.BLOB");
  std::string lower = Lower(mixed);

  EXPECT_EQ(CallLong("plif_file_create", Args().S(mixed)), 1);
  EXPECT_EQ(log_, "file_create:" + lower + " 1\r\n");
  EXPECT_TRUE(fs::exists(File("Data/x.blob")));
  EXPECT_EQ(fs::directory_iterator(File("Data"))->path().filename(), "x.blob");

  EXPECT_EQ(CallLong("plif_file_open", Args().S(mixed)), 1);
  EXPECT_EQ(log_, "file_open:" + lower + "  ret:1\r\n");
  EXPECT_EQ(CallLong("plif_file_open", Args().S(File("Data/Y.BLOB"))), 0);
  EXPECT_EQ(log_, "file_open:" + Lower(File("Data/Y.BLOB")) + "  ret:0\r\n");

  EXPECT_EQ(CallLong("plif_file_exists", Args().S(File("DATA/*.Blob"))), 1) << "a pattern";
  EXPECT_EQ(log_, "file_exists:" + Lower(File("DATA/*.Blob")) + " 1\r\n");
  EXPECT_EQ(CallLong("plif_file_exists", Args().S(File("Data"))), 1) << "a directory";
  EXPECT_EQ(CallLong("plif_file_exists", Args().S(File("Data/*.att"))), 0);
  EXPECT_EQ(log_, "file_exists:" + Lower(File("Data/*.att")) + " 0\r\n");

  EXPECT_EQ(CallLong("plif_dir_exists", Args().S(File("DATA"))), 1);
  EXPECT_EQ(log_, "dir_exists:" + File("DATA") + " 1\r\n");
  EXPECT_EQ(CallLong("plif_dir_exists", Args().S(mixed)), 0) << "a file";
  EXPECT_EQ(log_, "dir_exists:" + mixed + " 0\r\n");

  EXPECT_EQ(CallLong("plif_mkdir", Args().S(File("NewDir"))), 1);
  EXPECT_EQ(log_, "mkdir:" + File("NewDir") + " 1\r\n");
  EXPECT_TRUE(fs::is_directory(File("NewDir"))) << "made with its own spelling";
  EXPECT_EQ(CallLong("plif_mkdir", Args().S(File("NewDir"))), 0);
  EXPECT_EQ(log_.rfind("cannot create dir:" + File("NewDir") + " ", 0), 0u) << log_;
  EXPECT_NE(log_.find("\r\nmkdir:" + File("NewDir") + " 0\r\n"), std::string::npos) << log_;
  EXPECT_EQ(CallLong("plif_rmdir", Args().S(File("NewDir"))), 1);
  EXPECT_EQ(log_, "rmdir:" + File("NewDir") + " 1\r\n");
  EXPECT_FALSE(fs::exists(File("NewDir")));
  EXPECT_EQ(CallLong("plif_rmdir", Args().S(File("NewDir"))), 0);
}

TEST_F(FileService, AWriteIsOnTheDiskWhenItsAnswerComesAndReadsStopAt64KiB) {
  std::string path = File("big.blob");
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);

  EXPECT_EQ(CallLong("plif_file_write", Args().S(path).L(0).B("x")), 0) << "no such file";
  EXPECT_EQ(log_, "file_write:" + Lower(path) + " pos:0  ret:0\r\n");
  ASSERT_EQ(CallLong("plif_file_create", Args().S(path)), 1);
  EXPECT_EQ(CallLong("plif_file_write", Args().S(path).L(0).B(data)), 100000);
  EXPECT_EQ(log_, "file_write:" + Lower(path) + " pos:0  ret:100000\r\n");
  EXPECT_EQ(ReadFileBytes(path), data);

  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L(0).I(100000)), data.substr(0, 65536));
  EXPECT_EQ(log_, "file_read:" + Lower(path) + " pos:0 size:100000\r\n");
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L(65536).I(65536)), data.substr(65536));
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L(99990).I(5)), data.substr(99990, 5));
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L(100000).I(10)), "") << "at the end";
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L(0).I(-1)), "") << "negative size";
  EXPECT_EQ(log_, "file_read:" + Lower(path) + " pos:0 size:-1\r\n");
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L((int64_t{1} << 32) + 5).I(1)), "");
  EXPECT_EQ(log_, "file_read:" + Lower(path) + " pos:5 size:1\r\n") << "the low 32 bits";
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(File("none")).L(0).I(10)), "");

  EXPECT_EQ(CallLong("plif_file_write", Args().S(path).L(200000).B("end")), 3);
  EXPECT_EQ(log_, "file_write:" + Lower(path) + " pos:200000  ret:3\r\n");
  EXPECT_EQ(ReadFileBytes(path), data + std::string(100000, '\0') + "end");
}

TEST_F(FileService, LengthTravelsAsItsLow32BitsWidenedWithTheirSign) {
  std::string path = File("Length.blob");
  std::ofstream(path) << "12345";
  CallFor(NET_SUPERLONG, "plif_file_getlength", Args().S(path));
  EXPECT_EQ(results_.GetSuperLong(0), 5);
  EXPECT_EQ(log_, "file_getlength:" + Lower(path) + " size:5\r\n");

  std::string huge = File("huge.blob");
  std::ofstream(huge).close();
  fs::resize_file(huge, int64_t{3} << 30);  // sparse: takes no room
  CallFor(NET_SUPERLONG, "plif_file_getlength", Args().S(huge));
  EXPECT_EQ(results_.GetSuperLong(0), -(int64_t{1} << 30));
  EXPECT_EQ(log_, "file_getlength:" + Lower(huge) + " size:-1073741824\r\n");

  CallFor(NET_SUPERLONG, "plif_file_getlength", Args().S(File("none")));
  EXPECT_EQ(results_.GetSuperLong(0), 0);
}

TEST_F(FileService, RenameRefusesAnExistingTargetAndRemoveDeletes) {
  std::string a = File("A.blob"), b = File("b.blob"), c = File("c.blob");
  std::ofstream(File("a.blob")) << "A";
  std::ofstream(b) << "B";
  EXPECT_EQ(CallLong("plif_file_rename", Args().S(a).S(b)), 0);
  EXPECT_EQ(log_, "file_rename:" + Lower(a) + " -> " + Lower(b) + "  0\r\n");
  EXPECT_EQ(ReadFileBytes(b), "B");
  EXPECT_EQ(CallLong("plif_file_rename", Args().S(a).S(File("C.BLOB"))), 1);
  EXPECT_EQ(log_, "file_rename:" + Lower(a) + " -> " + Lower(c) + "  1\r\n");
  EXPECT_EQ(ReadFileBytes(c), "A");
  EXPECT_FALSE(fs::exists(File("a.blob")));

  EXPECT_EQ(CallLong("plif_file_remove", Args().S(File("C.blob"))), 1);
  EXPECT_EQ(log_, "file_remove:" + Lower(c) + " ret:1\r\n");
  EXPECT_FALSE(fs::exists(c));
}

TEST_F(FileService, ClearAnswersAnEmptyListAndLogsBeforeItsCount) {
  std::ofstream(File("1.blob")) << "1";
  std::ofstream(File("2.att")) << "2";
  ASSERT_EQ(Call("plif_file_clear"), 0);
  EXPECT_EQ(results_.Count(), 0);
  EXPECT_EQ(log_, "file_clear\r\nFileClear 2\r\n");
  EXPECT_TRUE(fs::is_empty(files_.path()));
}

TEST_F(FileService, FreeSpaceIsInWholeMegabytesOfTheVolume) {
  auto megabytes = [](const char* path) {
    return static_cast<int64_t>(fs::space(path).available >> 20);
  };
  for (const char* path : {"/", "c:/"}) {
    int32_t answered = CallLong("plif_get_freespace", Args().S(path));
    EXPECT_NEAR(answered, megabytes("/"), 64) << path;
    EXPECT_EQ(log_, "get_freespace: " + std::to_string(answered) + "M\r\n");
  }
  int32_t here = CallLong("plif_get_freespace", Args().S(files_.path()));
  EXPECT_NEAR(here, megabytes(files_.path().c_str()), 64);
  EXPECT_EQ(CallLong("plif_get_freespace", Args().S("/no/such/volume/dir")), 0);
  EXPECT_EQ(log_, "get_freespace: 0M\r\n");
}

TEST_F(FileService, ArgumentsOfTheWrongTypeOrCountNeverReachAHandler) {
  std::string path = File("x.blob");
  std::ofstream(path) << "x";
  EXPECT_EQ(Call("plif_file_read", Args().S(path).I(0).L(1)), -2);
  EXPECT_STREQ(client_.error_text(), "ARG FORMAT ERROR");
  EXPECT_EQ(log_, "");
  EXPECT_EQ(Call("plif_file_open", Args().I(1)), -2);
  EXPECT_EQ(Call("plif_file_write", Args().S(path).L(0).S("text")), -2);
  EXPECT_EQ(Call("plif_file_rename", Args().S(path)), -2);
  EXPECT_EQ(Call("plif_get_version", Args().S("extra")), -2);
  EXPECT_EQ(ReadFileBytes(path), "x");

  // NULL values pass the check with their type and are taken as empty.
  EXPECT_EQ(CallLong("plif_file_open", Args().NullOf(NET_STRING)), 0);
  EXPECT_EQ(CallLong("plif_file_write", Args().S(path).L(0).NullOf(NET_BINARY)), 0);
  EXPECT_EQ(ReadFileBytes(path), "x");
  EXPECT_EQ(CallLong("plif_file_open", Args().S(path)), 1) << "the connection goes on";
}

TEST_F(FileService, PathsTooLongForTheIndexFailCleanly) {
  std::string path = File(std::string(260, 'L'));
  EXPECT_EQ(CallLong("plif_file_create", Args().S(path)), 0);
  std::error_code too_long;  // the OS may refuse to even look the name up
  EXPECT_FALSE(fs::exists(Lower(path), too_long));
  EXPECT_EQ(CallLong("plif_file_open", Args().S(path)), 0);
  EXPECT_EQ(CallLong("plif_file_write", Args().S(path).L(0).B("data")), 0);
  EXPECT_EQ(CallBinary("plif_file_read", Args().S(path).L(0).I(10)), "");
  CallFor(NET_SUPERLONG, "plif_file_getlength", Args().S(path));
  EXPECT_EQ(results_.GetSuperLong(0), 0);
  std::ofstream(File("short.blob")) << "s";
  EXPECT_EQ(CallLong("plif_file_rename", Args().S(File("short.blob")).S(path)), 0);
  EXPECT_TRUE(fs::exists(File("short.blob")));
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
      NetValueList results;
      Args create;
      create.S(path);
      ASSERT_EQ(client.Call("plif_file_create", create.list(), &results), 0);
      for (int i = 0; i < kPieces; ++i) {
        Args write;
        write.S(path).L(int64_t{i} * 3000).B(piece);
        ASSERT_EQ(client.Call("plif_file_write", write.list(), &results), 0);
        EXPECT_EQ(results.GetLong(0), 3000);
        Args read;
        read.S(path).L(int64_t{i} * 3000).I(3000);
        ASSERT_EQ(client.Call("plif_file_read", read.list(), &results), 0);
        int length = 0;
        const char* bytes = results.GetBinary(0, &length);
        EXPECT_EQ(std::string(bytes, length), piece);
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

TEST_F(FileService, LoggedPathsCannotForgeLinesOrFloodTheLog) {
  // A line of its own hidden in the path, and a path far longer than a log line should be.
  const std::string evil = File("Evil\r\nclient:6.6.6.6,666 connected/") + std::string(3000, 'p');
  const std::string lower = Logged(Lower(evil)), as_given = Logged(evil);
  struct Case {
    const char* procedure;
    const char* format;  // every string argument is the path, every number 0, bytes "x"
    std::string log;
  };
  const std::vector<Case> cases = {
      {"plif_file_create", "s", "file_create:" + lower + " 0\r\n"},
      {"plif_file_open", "s", "file_open:" + lower + "  ret:0\r\n"},
      {"plif_file_read", "sli", "file_read:" + lower + " pos:0 size:0\r\n"},
      {"plif_file_write", "slb", "file_write:" + lower + " pos:0  ret:0\r\n"},
      {"plif_file_getlength", "s", "file_getlength:" + lower + " size:0\r\n"},
      {"plif_file_remove", "s", "file_remove:" + lower + " ret:1\r\n"},
      {"plif_file_rename", "ss", "file_rename:" + lower + " -> " + lower + "  0\r\n"},
      {"plif_file_exists", "s", "file_exists:" + lower + " 0\r\n"},
      {"plif_dir_exists", "s", "dir_exists:" + as_given + " 0\r\n"},
      {"plif_rmdir", "s", "rmdir:" + as_given + " 0\r\n"},
  };
  for (const Case& c : cases) {
    Args args;
    for (const char* letter = c.format; *letter != '\0'; ++letter) {
      if (*letter == 's') args.S(evil);
      if (*letter == 'l') args.L(0);
      if (*letter == 'i') args.I(0);
      if (*letter == 'b') args.B("x");
    }
    ASSERT_EQ(Call(c.procedure, args), 0) << c.procedure;
    EXPECT_EQ(log_, c.log) << c.procedure;
  }
  // The system's text after the path is its own; the path is still one value.
  ASSERT_EQ(Call("plif_mkdir", Args().S(evil)), 0);
  EXPECT_EQ(log_.rfind("cannot create dir:" + as_given + " ", 0), 0u) << log_;
  const std::string mkdir_line = "\r\nmkdir:" + as_given + " 0\r\n";
  ASSERT_GT(log_.size(), mkdir_line.size());
  EXPECT_EQ(log_.substr(log_.size() - mkdir_line.size()), mkdir_line);
  fs::create_directory(File("jail"));
  Fence jail(File("jail"), "", "");
  ASSERT_EQ(Call("plif_file_open", Args().S(evil)), 0);
  EXPECT_EQ(log_, "refused:" + lower + " outside the allowed directories\r\n");
}

// The jail judges a path in the spelling its procedure uses on the disk: file procedures
// lower-case it, directory procedures take it as given. "SUB" is a link out of the jail beside
// the real directory "sub", so a check of one spelling followed by a handler using the other
// would either refuse a file procedure or reach outside.
TEST_F(FileService, TheJailJudgesEachPathInTheSpellingItsProcedureUses) {
  fs::create_directories(File("jail/sub"));
  TempDir outside;
  std::error_code no_link;
  fs::create_directory_symlink(outside.path(), File("jail/SUB"), no_link);
  if (no_link || !fs::is_directory(File("jail/sub")) ||
      fs::equivalent(File("jail/sub"), File("jail/SUB"))) {
    GTEST_SKIP() << "needs a case-sensitive disk with symbolic links";
  }
  const std::string path = File("jail/SUB/Thing");
  struct Case {
    const char* procedure;
    const char* format;  // every string argument is the path, every number 0, bytes "x"
    bool lower_case;
  };
  const std::vector<Case> cases = {
      {"plif_file_create", "s", true},    {"plif_file_open", "s", true},
      {"plif_file_read", "sli", true},    {"plif_file_write", "slb", true},
      {"plif_file_getlength", "s", true}, {"plif_file_exists", "s", true},
      {"plif_file_rename", "ss", true},   {"plif_file_remove", "s", true},
      {"plif_dir_exists", "s", false},    {"plif_mkdir", "s", false},
      {"plif_rmdir", "s", false},         {"plif_get_freespace", "s", false},
  };
  Fence jail(File("jail"), "", "");
  for (const Case& c : cases) {
    Args args;
    for (const char* letter = c.format; *letter != '\0'; ++letter) {
      if (*letter == 's') args.S(path);
      if (*letter == 'l') args.L(0);
      if (*letter == 'i') args.I(0);
      if (*letter == 'b') args.B("x");
    }
    ASSERT_EQ(Call(c.procedure, args), 0) << c.procedure;
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
  std::ofstream(File("1.blob")) << "1";
  TempDir elsewhere;
  {
    Fence outside(elsewhere.path(), "", "");
    ASSERT_EQ(Call("plif_file_clear"), 0);
    EXPECT_EQ(results_.Count(), 0);
    EXPECT_EQ(log_,
              "refused:plif_file_clear a file directory is outside the allowed directories\r\n");
    EXPECT_TRUE(fs::exists(File("1.blob")));
  }
  Fence inside(files_.path(), "", "");
  ASSERT_EQ(Call("plif_file_clear"), 0);
  EXPECT_EQ(log_, "file_clear\r\nFileClear 1\r\n");
  EXPECT_FALSE(fs::exists(File("1.blob")));
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
  std::ofstream(secret, std::ios::binary) << secret_bytes;
  std::string original = File("original.bin");
  std::ofstream(original, std::ios::binary) << std::string(kSize, 'I');
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
      NetValueList results;
      for (int i = 0; swapping.load(); ++i, ++calls) {
        if ((i + c) % 2 == 0) {
          ASSERT_EQ(client.Call("plif_file_read", Args().S(swapped).L(0).I(kSize).list(), &results),
                    0);
          int length = 0;
          const char* bytes = results.GetBinary(0, &length);
          if (std::memchr(bytes, 'O', static_cast<size_t>(length)) != nullptr) ++outside_bytes_read;
        } else {
          std::string bytes(100, static_cast<char>('a' + c));
          ASSERT_EQ(client.Call("plif_file_write",
                                Args().S(swapped).L(i % 50 * 100).B(bytes).list(), &results),
                    0);
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

TEST_F(FileService, ShutdownAnswersEmptyAndStopsTheServer) {
  {
    StopRoutine stop(server_.get());
    ASSERT_EQ(Call("_shutdown"), 0);
  }
  EXPECT_EQ(results_.Count(), 0);
  EXPECT_NE(server_->IsStopping(), 0);
  server_->WaitForStarter();  // the accept loop has ended
}

}  // namespace
