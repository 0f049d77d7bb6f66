#include "srpc/srpcsvr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/text.h"
#include "srpc/srpc_testing.h"
#include "srpc/srpcclient.h"
#include "testing/remote_calls.h"
#include "testing/socket_read.h"
#include "testing/temp_dir.h"

namespace {

using srpc_testing::Bytes;

std::atomic<int> g_opened{0};
std::atomic<int> g_closed{0};
std::atomic<int> g_sleeping{0};

// Returns its arguments as its results.
int32_t Echo(SrpcCallCtx*, int64_t user, NetValueList* arguments, NetValueList* results, CString*) {
  for (int i = 0; i < arguments->Count(); ++i) {
    results->Append(1);
    if (arguments->IsNull(i)) {
      results->SetNull(i, arguments->Type(i));
    } else if (arguments->Type(i) == NET_STRING) {
      results->SetString(i, arguments->GetString(i));
    } else if (arguments->Type(i) == NET_SUPERLONG) {
      results->SetSuperLong(i, arguments->GetSuperLong(i));
    } else {
      results->SetLong(i, arguments->GetLong(i));
    }
  }
  results->Append(1);
  results->SetSuperLong(arguments->Count(), user);
  return 0;
}

// Fails with 5 and leaves the connection's error text as it is.
int32_t FailQuietly(SrpcCallCtx*, int64_t, NetValueList*, NetValueList*, CString*) {
  return 5;
}

int32_t FailWithText(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList*,
                     CString* error_text) {
  *error_text = arguments->GetString(0);
  return 7;
}

int32_t Sleep(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList* results, CString*) {
  ++g_sleeping;
  platform::SleepMs(static_cast<uint32_t>(arguments->GetLong(0)));
  --g_sleeping;
  results->Append(1);
  results->SetLong(0, 1);
  return 0;
}

int32_t Open(SrpcCallCtx*, StdSocket*, int64_t* user_value) {
  ++g_opened;
  *user_value = 4242;
  return 0;
}

int32_t CloseHook(SrpcCallCtx*, StdSocket*, int64_t* user_value) {
  if (*user_value == 4242) ++g_closed;
  return 0;
}

const SrpcProcEntry kTable[] = {
    {"echo", "sli", Echo, 0, 0, 0, nullptr, 0},
    {"echo_none", " ", Echo, 0, 0, 0, nullptr, 0},
    {"echo_s", " s ", Echo, 0, 0, 0, nullptr, 0},
    {"fail", "", FailQuietly, 0, 0, 0, nullptr, 0},
    {"fail_text", "s", FailWithText, 0, 0, 0, nullptr, 0},
    {"sleep", "i", Sleep, 0, 0, 0, nullptr, 0},
    {"sleep_one_at_a_time", "i", Sleep, 1, 0, 0, nullptr, 0},
    SrpcHookEntry("SRPC_OPEN", Open),
    SrpcHookEntry("SRPC_CLOSE", CloseHook),
    {"_shutdown", "", FailQuietly, 0, 0, 0, nullptr, 0},
    {nullptr, nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// Lines the servers log, in order.
std::mutex g_log_lock;
std::vector<std::string> g_logged;

void Logged(const char* line) {
  std::lock_guard<std::mutex> hold(g_log_lock);
  g_logged.push_back(line);
}

// A server on 127.0.0.1 with a port of the system's choice, started in the background.
class Server {
 public:
  explicit Server(int max_clients = 100, int idle_timeout = 0)
      : server_(std::make_unique<SRPCSocketSvr>(kTable)) {
    server_->set_idle_timeout(idle_timeout);
    server_->set_log(Logged);
    server_->StartInBackground("127.0.0.1", 0, max_clients);
    server_->WaitStarted();
    CString address;
    server_->GetLocalAddr(&address, &port_);
  }
  ~Server() {
    server_->Stop();
    server_->WaitForStarter();
  }
  SRPCSocketSvr& operator*() { return *server_; }
  SRPCSocketSvr* operator->() { return server_.get(); }
  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }

 private:
  std::unique_ptr<SRPCSocketSvr> server_;
  int port_ = 0;
};

// A raw connection for byte-level exchanges.
struct Raw {
  StdSocket socket;
  explicit Raw(int port) { EXPECT_TRUE(socket.Connect("127.0.0.1", std::to_string(port).c_str())); }
  void Send(const std::string& bytes) { ASSERT_TRUE(socket.SendAll(bytes.data(), bytes.size())); }
  std::string Receive(size_t count) { return ReadAtLeast(socket, count, 10000); }
  // The next whole packet, by the length its header declares.
  std::string ReceivePacket() {
    std::string got = Receive(5);
    if (got.size() < 5) return got;
    size_t total = 0;
    for (int i = 1; i < 5; ++i) total = total << 8 | static_cast<unsigned char>(got[i]);
    return total > got.size() ? got + Receive(total - got.size()) : got;
  }
};

// A request for `name` with `arguments` and then `more` raw bytes.
std::string Request(const std::string& name, const NetValueList& arguments = NetValueList(),
                    const std::string& more = "") {
  SrpcPacketWriter writer;
  writer.BeginPlain(kSrpcRequest);
  writer.PutProcName(name.c_str());
  writer.PutValues(arguments);
  writer.stream().Write(more.data(), static_cast<int>(more.size()));
  const char* bytes;
  int length;
  writer.Finish(&bytes, &length);
  return std::string(bytes, length);
}

// Whether the server closes the connection (within a hang guard) while the client is silent.
bool ClosedByServer(StdSocket& socket) {
  for (int second = 0; second < 30; ++second) {
    char byte;
    if (socket.WaitReadable(1, 0) > 0) return socket.RecvSome(&byte, 1) == 0;
  }
  return false;
}

const std::string kGetCmds = Request("corvexa_srpc_getcmds");
const std::string kNotSupported =
    Bytes({0x42, 0, 0, 0, 0x1F, 0x08, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0x73}) + "PROC NOT SUPPORT" +
    Bytes({0, 0x35, 0x67});

// One server for the tests that do not need a fresh one.
class SrpcServer : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new Server(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static SRPCSocketSvr& server() { return **server_; }
  static int port() { return server_->port(); }
  static Server* server_;
};
Server* SrpcServer::server_ = nullptr;

TEST_F(SrpcServer, TheProcedureTableIsSortedWithTheBuiltInsAndListedInIndexOrder) {
  ASSERT_EQ(server().ProcCount(), 12);
  for (int i = 1; i < server().ProcCount(); ++i) {
    EXPECT_LT(std::string(server().Proc(i - 1).name), server().Proc(i).name);
    EXPECT_EQ(server().FindProc(server().Proc(i).name), i);
  }
  EXPECT_EQ(std::string(server().Proc(0).name), "SRPC_CLOSE");
  EXPECT_LT(server().FindProc("_shutdown"), server().FindProc("corvexa_srpc_findcmd"));
  EXPECT_EQ(server().FindProc("corvexa_srpc_findcmd") + 1,
            server().FindProc("corvexa_srpc_getcmds"));
  EXPECT_EQ(server().FindProc("nothing"), -1);

  SrpcClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port()));
  NetValueList none, results;
  ASSERT_EQ(client.Call("corvexa_srpc_getcmds", none, &results), 0) << client.error_text();
  NetTable* cmds = results.GetTable(0);
  ASSERT_EQ(cmds->RowCount(), server().ProcCount());
  for (int row = 1; row <= cmds->RowCount(); ++row) {
    EXPECT_STREQ(cmds->GetString(row, "cmd"), server().Proc(row - 1).name);
    EXPECT_STREQ(cmds->GetString(row, "argfmt"), server().Proc(row - 1).format);
  }
  EXPECT_EQ(client.FindProc("fail"), server().FindProc("fail"));
  EXPECT_EQ(client.FindProc("unknown"), -1);  // an answer, not an error
}

TEST_F(SrpcServer, WireKeepAlivesStrayBytesAndBadHeadersAreDroppedAndTheStreamGoesOn) {
  ASSERT_EQ(kGetCmds.size(), 29u);
  EXPECT_EQ(kGetCmds.substr(0, 6), Bytes({0x52, 0, 0, 0, 0x1D, 0x1A}));
  Raw raw(port());
  std::string bad_checksum = kGetCmds;
  bad_checksum[5] ^= 1;
  testing::internal::CaptureStdout();
  raw.Send("PPP" + Bytes({0x00}) + "Q" + bad_checksum + "P" + Bytes({0x52, 0, 0, 0, 0, 0x07}) +
           Bytes({0x52, 0x19, 0, 0, 0x01, 0x55 ^ 0x52 ^ 0x19 ^ 0x01}) +
           Request("no_such_procedure") + "PP");
  EXPECT_EQ(raw.Receive(kNotSupported.size()), kNotSupported);  // answers nothing else first
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("invalid size:0(0,419430400)\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("invalid size:419430401(0,419430400)\n"), std::string::npos) << printed;
  raw.Send(kGetCmds);
  std::string answer = raw.Receive(9);
  ASSERT_GE(answer.size(), 9u);
  EXPECT_EQ(answer[0], 'A');
}

TEST_F(SrpcServer, ExtendedIndexesOneWayRequestsAndHooksAsProcedures) {
  SrpcClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port()));
  NetValueList arguments, results, none;
  e2e::Args(arguments, "x", int64_t{9}, int32_t{3});
  ASSERT_EQ(client.CallIndex(server().FindProc("echo"), arguments, &results), 0);
  EXPECT_EQ(results.GetSuperLong(1), 9);
  EXPECT_EQ(client.CallIndex(server().ProcCount(), none, &results), kSrpcProcNotSupported);
  EXPECT_EQ(client.error_text(), CString("PROC NOT SUPPORT"));
  EXPECT_EQ(client.Call("SRPC_OPEN", none, &results), kSrpcProcNotSupported);
  EXPECT_EQ(client.CallIndex(server().FindProc("SRPC_CLOSE"), none, &results),
            kSrpcProcNotSupported);
  // One-way requests are never answered, errors included: the next answer is the call's own.
  ASSERT_TRUE(client.Send("no_such_procedure", none));
  ASSERT_TRUE(client.Send("echo", none));
  ASSERT_TRUE(client.SendIndex(server().FindProc("echo"), arguments));
  ASSERT_TRUE(client.KeepAlive());
  ASSERT_EQ(client.Call("echo", arguments, &results), 0);
  EXPECT_STREQ(results.GetString(0), "x");
  EXPECT_EQ(results.GetSuperLong(3), 4242);  // the user value the open hook set
}

// A server that notes how many arguments OnPreDispatch was shown.
class WatchedServer : public SRPCSocketSvr {
 public:
  WatchedServer() : SRPCSocketSvr(kTable) {}
  int shown = -1;

 protected:
  int32_t OnPreDispatch(SrpcCallCtx*, const char*, int, SrpcPacket*, int64_t,
                        NetValueList* arguments, NetValueList*, CString) override {
    shown = arguments->Count();
    return 0;
  }
};

// A packet of `kind` around `body` as it stands: the procedure reference, then the values.
std::string Framed(uint8_t kind, bool extended, const std::string& body) {
  SrpcPacketWriter writer;
  if (extended) {
    writer.BeginExtended(kind);
  } else {
    writer.BeginPlain(kind);
  }
  writer.stream().Write(body.data(), static_cast<int>(body.size()));
  const char* bytes;
  int length;
  EXPECT_TRUE(writer.Finish(&bytes, &length));
  return std::string(bytes, length);
}

// One packet served as a session serves it → the answer, "" when none is due.
std::string Serve(SRPCSocketSvr& server, const std::string& packet) {
  SrpcSession session;
  session.ctx = {nullptr, nullptr, &server};
  SrpcPacket opened;
  EXPECT_TRUE(opened.Open(packet.data(), static_cast<int>(packet.size())));
  const char* answer = nullptr;
  int length = 0;
  EXPECT_TRUE(server.ServePacket(session, opened, &answer, &length));
  return answer != nullptr ? std::string(answer, length) : "";
}

std::string ArgFormatError() {
  SrpcPacketWriter writer;
  const char* bytes;
  int length;
  EXPECT_TRUE(writer.BuildErrorAnswer(kSrpcArgFormatError, "ARG FORMAT ERROR", &bytes, &length));
  return std::string(bytes, length);
}

TEST_F(SrpcServer, ArgumentsMustMatchTheFormatLetterByLetter) {
  NetValueList null_superlong;
  e2e::Args(null_superlong, "a", int64_t{1}, int32_t{2}).SetNull(1, NET_SUPERLONG);
  NetValueList a, b, c, d;
  const struct {
    const char* name;
    const char* procedure;
    const NetValueList& arguments;
    std::string more;
    bool accepted;
  } kCases[] = {
      {"each letter its type", "echo", e2e::Args(a, "a", int64_t{1}, int32_t{2}), "", true},
      {"a NULL of the letter's type", "echo", null_superlong, "", true},
      {"two types swapped", "echo", e2e::Args(b, "a", int32_t{2}, int64_t{1}), "", false},
      {"too few", "echo", e2e::Args(c, "s"), "", false},
      {"blanks in the format are no letters", "echo_s", c, "", true},
      {"a value for a blank format", "echo_none", c, "", false},
      {"none for a letter", "sleep", d, "", false},
      {"a byte that is no value tag behind them", "echo_s", c, std::string(1, '\0'), false},
  };
  Raw raw(port());
  const std::string refused = ArgFormatError();
  for (const auto& k : kCases) {
    SCOPED_TRACE(k.name);
    raw.Send(Request(k.procedure, k.arguments, k.more));
    std::string answer = raw.ReceivePacket();
    if (k.accepted) {
      EXPECT_EQ(answer[0], 'A');
    } else {
      EXPECT_EQ(answer, refused);
    }
  }
  raw.Send(Request("echo", null_superlong));
  std::string echoed = raw.ReceivePacket();
  SrpcPacket packet;
  ASSERT_TRUE(packet.Open(echoed.data(), static_cast<int>(echoed.size())));
  NetValueList results;
  ASSERT_EQ(packet.DecodeValues(results), 4);
  EXPECT_TRUE(results.IsNull(1));
}

TEST(Dispatch, ARefusedRequestIsDecodedNoFurtherThanItsAnswerNeeds) {
  WatchedServer server;
  const std::string arg_format_error = ArgFormatError();
  const std::string nulls(1 << 20, static_cast<char>(0xE2));  // a million NULL binaries
  const struct {
    const char* request;
    std::string body;
    const std::string& answer;
    int shown;
  } kCases[] = {
      {"an unknown procedure", std::string("no_such_procedure", 18) + nulls, kNotSupported, 0},
      {"one value beyond the format", std::string("echo_s\0s", 9) + nulls, arg_format_error, 2},
      {"values for an empty format", std::string("echo_none", 10) + nulls, arg_format_error, 1},
  };
  for (const auto& c : kCases) {
    std::string request = Framed(kSrpcRequest, false, c.body);
    uint64_t before = Heap::AllocatedBytes();
    EXPECT_EQ(Serve(server, request), c.answer) << c.request;
    EXPECT_LT(Heap::AllocatedBytes() - before, 64u << 10) << c.request;
    EXPECT_EQ(server.shown, c.shown) << c.request;
  }
}

TEST(Dispatch, AReferenceCutShortByTheTrailerNamesNoProcedure) {
  WatchedServer server;
  // A name without its NUL, and extended requests with none or three of the four index bytes.
  const std::pair<bool, std::string> kBodies[] = {
      {false, "echo_none"}, {true, ""}, {true, std::string(3, '\0')}};
  for (const auto& [extended, body] : kBodies) {
    EXPECT_EQ(Serve(server, Framed(kSrpcRequest, extended, body)), kNotSupported) << body.size();
    EXPECT_EQ(Serve(server, Framed(kSrpcOneWay, extended, body)), "") << body.size();
  }
}

TEST_F(SrpcServer, AHandlerErrorCarriesTheConnectionsTextKeptBetweenCalls) {
  SrpcClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port()));
  NetValueList none, results;
  EXPECT_EQ(client.Call("fail", none, &results), 5);
  EXPECT_EQ(client.error_text(), CString(""));
  NetValueList text;
  e2e::Args(text, "disk on fire");
  EXPECT_EQ(client.Call("fail_text", text, &results), 7);
  EXPECT_EQ(client.Call("fail", none, &results), 5);
  EXPECT_EQ(client.error_text(), CString("disk on fire"));
  SrpcClient fresh;
  ASSERT_TRUE(fresh.Connect("127.0.0.1", port()));
  EXPECT_EQ(fresh.Call("fail", none, &results), 5);
  EXPECT_EQ(fresh.error_text(), CString(""));
}

TEST(Dispatch, StatisticsCountCallsButNotRefusedOnes) {
  Server server;
  SrpcClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  NetValueList arguments, results;
  e2e::Args(arguments, int32_t{60});
  client.Call("sleep", arguments, &results);
  client.Call("sleep", arguments, &results);
  NetValueList none;
  client.Call("sleep", none, &results);  // refused: wrong arguments
  NetTable stats;
  ASSERT_EQ(server->GetProcStats(&stats), server->ProcCount());
  int row = server->FindProc("sleep") + 1;
  EXPECT_EQ(stats.GetCString(row, "proc")->Compare("sleep"), 0);
  EXPECT_EQ(stats.GetLong(row, "count"), 2);
  // The handlers slept: their time is summed (how much, the clock decides).
  EXPECT_GT(stats.GetLong(row, "times"), 0);
}

TEST(Sessions, HooksRunOncePerConnectionAndRowsLeaveWithTheirClients) {
  Server server;
  int opened = g_opened, closed = g_closed;
  {
    SrpcClient a, b;
    ASSERT_TRUE(a.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(b.Connect("127.0.0.1", server.port()));
    NetValueList none, results;
    a.Call("fail", none, &results);  // the sessions surely run now
    b.Call("fail", none, &results);
    NetTable clients;
    server->CopyClients(&clients);
    EXPECT_EQ(clients.RowCount(), 2);
    EXPECT_STREQ(clients.GetString(1, "clntip"), "127.0.0.1");
  }
  {
    Raw half(server.port());  // leaves in the middle of a packet
    half.Send(kGetCmds.substr(0, 10));
    platform::SleepMs(50);
  }
  for (int waited = 0; waited < 5000 && server->ActiveCount() != 0; waited += 10) {
    platform::SleepMs(10);
  }
  NetTable clients;
  server->CopyClients(&clients);
  EXPECT_EQ(clients.RowCount(), 0);
  EXPECT_EQ(g_opened - opened, 3);
  EXPECT_EQ(g_closed - closed, 3);
}

TEST(Sessions, WithOneClientAllowedTheSecondIsServedAfterTheFirstLeaves) {
  Server server(1);
  auto first = std::make_unique<SrpcClient>();
  ASSERT_TRUE(first->Connect("127.0.0.1", server.port()));
  NetValueList none, results;
  ASSERT_EQ(first->Call("fail", none, &results), 5);
  std::atomic<bool> served{false};
  std::thread second([&] {
    SrpcClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));  // the backlog takes it
    NetValueList none2, results2;
    served = client.Call("fail", none2, &results2) == 5;
  });
  platform::SleepMs(300);
  EXPECT_FALSE(served.load());
  first.reset();
  second.join();
  EXPECT_TRUE(served.load());
}

// Whatever its clients do, a stopped server ends every session within seconds: an idle
// client, a silent one, one that stopped inside a packet, one that takes no answer. A call
// under way still gets its answer; the client table is empty after.
TEST(Sessions, StopEndsEverySessionWhateverItsClientDoes) {
  Server server;
  Raw silent(server.port()), half(server.port()), deaf(server.port());
  SrpcClient idle;
  NetValueList none, results;
  ASSERT_TRUE(idle.Connect("127.0.0.1", server.port()));
  ASSERT_EQ(idle.Call("fail", none, &results), 5);
  half.Send(kGetCmds.substr(0, 10));
  NetValueList big;
  big.Append(1);
  big.SetString(0, std::string(32 << 20, 'd').c_str());
  deaf.Send(Request("echo_s", big));
  ASSERT_GT(deaf.socket.WaitReadable(60, 0), 0);  // its answer, far larger than any buffer
  int sleeping = g_sleeping;
  std::atomic<int32_t> answer{-100};
  std::thread call([&] {
    SrpcClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    NetValueList arguments, results;
    arguments.Append(1);
    arguments.SetLong(0, 700);
    answer = client.Call("sleep", arguments, &results);
  });
  while (g_sleeping == sleeping) platform::SleepMs(5);
  std::atomic<bool> stopped{false};
  std::thread stopping([&] {
    server->Stop();
    server->WaitForStarter();
    stopped = true;
  });
  for (int i = 0; i < 600 && !stopped; ++i) platform::SleepMs(100);  // a hang guard
  EXPECT_TRUE(stopped) << "clients kept the stop waiting";
  for (Raw* raw : {&silent, &half, &deaf}) raw->socket.Close();  // frees a stop that hangs
  stopping.join();
  call.join();
  EXPECT_EQ(answer, 0) << "the call under way lost its answer";
  EXPECT_EQ(server->ActiveCount(), 0);
  NetTable clients;
  server->CopyClients(&clients);
  EXPECT_EQ(clients.RowCount(), 0);
  EXPECT_EQ(idle.Call("fail", none, &results), kSrpcConnectionBroken);
}

// With an idle time-out, a client that completes no request for that long, silent or stopped
// inside a packet, is closed and its place goes to a waiting client; one that keeps calling
// stays. Without a time-out the same silence closes nothing.
TEST(Sessions, AnIdleTimeOutClosesSilentSessionsAndFreesTheirPlaces) {
  Server timed(2, 1), untimed;
  Raw silent(timed.port()), half(timed.port()), kept(untimed.port());
  half.Send(kGetCmds.substr(0, 10));
  SrpcClient waiting;
  ASSERT_TRUE(waiting.Connect("127.0.0.1", timed.port()));  // both places are taken
  ASSERT_TRUE(ClosedByServer(silent.socket));
  ASSERT_TRUE(ClosedByServer(half.socket));
  NetValueList none, results;
  for (int call = 0; call < 6; ++call) {  // longer than the time-out
    EXPECT_EQ(waiting.Call("fail", none, &results), 5) << waiting.error_text();
    platform::SleepMs(250);
  }
  EXPECT_EQ(kept.socket.WaitReadable(0, 0), 0);
  EXPECT_TRUE(kept.socket.IsConnected());
  EXPECT_EQ(untimed->ActiveCount(), 1);
}

// Out of descriptors, an accept fails at once, again and again. The listener turns pending
// clients away (accepted with a descriptor kept in reserve, then closed), logs the episode
// once, and serves again when descriptors come free.
TEST(Listener, OutOfDescriptorsPendingClientsAreTurnedAwayUntilSomeComeFree) {
  int limit = platform::OpenHandleLimit();
  if (limit < 0) GTEST_SKIP() << "no descriptor limit to lower on this system";
  Server server;
  // One client served first: it is also what the sanitizers' checks of the session code need
  // to have seen while they could still make a descriptor of their own.
  SrpcClient earlier;
  ASSERT_TRUE(earlier.Connect("127.0.0.1", server.port()));
  NetValueList none, results;
  ASSERT_EQ(earlier.Call("fail", none, &results), 5);
  std::vector<std::unique_ptr<StdSocket>> pending;  // made while descriptors last
  for (int i = 0; i < 4; ++i) pending.push_back(std::make_unique<StdSocket>());
  size_t logged = g_logged.size();
  {
    struct Restore {
      int limit;
      ~Restore() { platform::SetOpenHandleLimit(limit); }
    } restore{limit};
    ASSERT_TRUE(platform::SetOpenHandleLimit(platform::OpenHandleCount() + 16));
    std::vector<std::unique_ptr<StdSocket>> filler;
    for (;;) {
      auto socket = std::make_unique<StdSocket>(platform::kInvalidSocket, 0);
      if (socket->handle() == platform::kInvalidSocket) break;
      filler.push_back(std::move(socket));
    }
    // An accept already waiting holds a descriptor of its own: the first client may still be
    // served. From then on every accept finds none.
    ASSERT_TRUE(pending[0]->Connect("127.0.0.1", server.port_text().c_str()));
    for (size_t i = 1; i < pending.size(); ++i) {
      StdSocket& client = *pending[i];
      // Turned away so fast that the connection may be reset before it is complete.
      bool turned_away =
          !client.Connect("127.0.0.1", server.port_text().c_str()) || ClosedByServer(client);
      ASSERT_TRUE(turned_away) << "a pending client was left waiting";
    }
  }
  SrpcClient later;
  ASSERT_TRUE(later.Connect("127.0.0.1", server.port()));
  EXPECT_EQ(later.Call("fail", none, &results), 5) << later.error_text();
  std::lock_guard<std::mutex> hold(g_log_lock);
  ASSERT_EQ(g_logged.size(), logged + 1);
  EXPECT_EQ(g_logged.back(),
            "accept failed:10024 no descriptors left, pending clients are closed until some are "
            "free\r\n");
}

TEST(Sessions, DumpCallsListsRunningCallsLatestFirst) {
  Server server;
  CurrentTempDir dir;
  server->DumpCalls("calls.txt");
  EXPECT_EQ(ReadFileBytes("calls.txt"), "");
  auto call = [&](int32_t ms) {
    SrpcClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    NetValueList arguments, results;
    arguments.Append(1);
    arguments.SetLong(0, ms);
    client.Call("sleep", arguments, &results);
  };
  int before = g_sleeping;
  std::thread early(call, 1800);
  while (g_sleeping == before) platform::SleepMs(5);
  platform::SleepMs(1100);  // the call times differ in their seconds
  std::thread late(call, 400);
  while (g_sleeping == before + 1) platform::SleepMs(5);
  server->DumpCalls("calls.txt");
  early.join();
  late.join();
  std::string dump = ReadFileBytes("calls.txt");
  const std::string arguments_label = NATIVE_TEXT("{参数:", "{\xb2\xce\xca\xfd:");
  size_t first = dump.find(arguments_label + "NET_LONG 400");
  size_t second = dump.find(arguments_label + "NET_LONG 1800");
  ASSERT_NE(first, std::string::npos) << dump;
  ASSERT_NE(second, std::string::npos) << dump;
  EXPECT_LT(first, second);
  EXPECT_EQ(dump.rfind("127.0.0.1:", 0), 0u) << dump;
  EXPECT_NE(dump.find(NATIVE_TEXT(",proc:sleep,次数:[", ",proc:sleep,\xb4\xce\xca\xfd:[")),
            std::string::npos)
      << dump;
}

TEST(Sessions, BindingAPortInUseFails) {
  Server first;
  SRPCSocketSvr second(kTable);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(second.Start("127.0.0.1", first.port_text().c_str(), 5));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "bind(127.0.0.1," + first.port_text() + ") failed\n");
}

}  // namespace
