// Tests of the SRPC server: the procedure table, dispatch and argument checks, sessions and
// their hooks, statistics, stopping, idle time-outs, running out of descriptors.
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
#include "testing/stand_in_server.h"
#include "testing/temp_dir.h"

namespace {

using srpc_testing::Bytes;

std::atomic<int> g_opened{0}, g_closed{0}, g_sleeping{0};

// Returns its arguments, then the connection's user value.
int32_t Echo(SrpcCallCtx*, int64_t user, NetValueList* arguments, NetValueList* results, CString*) {
  PackBuffer image;
  arguments->Encode(image);
  results->Decode(image.Data(), image.Size());
  results->SetSuperLong(results->Append(1) - 1, user);
  return 0;
}
// Fails with 7 and the text given, or with 5 leaving the connection's text as it is.
int32_t Fail(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList*, CString* text) {
  if (arguments->Count() == 0) return 5;
  *text = arguments->GetString(0);
  return 7;
}
int32_t Sleep(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList* results, CString*) {
  ++g_sleeping;
  platform::SleepMs(static_cast<uint32_t>(arguments->GetLong(0)));
  --g_sleeping;
  results->SetLong(results->Append(1) - 1, 1);
  return 0;
}
// Open and close: the open sets the user value that the close then finds.
int32_t Hook(SrpcCallCtx*, StdSocket*, int64_t* user_value) {
  ++(*user_value == 4242 ? g_closed : g_opened);
  *user_value = 4242;
  return 0;
}

const SrpcProcEntry kTable[] = {
    {"echo", "sli", Echo},
    {"echo_none", " ", Echo},
    {"echo_s", " s ", Echo},
    {"fail", "", Fail},
    {"fail_text", "s", Fail},
    {"sleep", "i", Sleep},
    SrpcHookEntry("SRPC_OPEN", Hook),
    SrpcHookEntry("SRPC_CLOSE", Hook),
    {},
};

std::mutex g_log_lock;
std::vector<std::string> g_logged;  // the servers' log lines, in order

void KeepLogLine(const char* line) {
  std::lock_guard<std::mutex> hold(g_log_lock);
  g_logged.push_back(line);
}

// A server of the table above whose log lines go to g_logged.
struct Server : StandInServer {
  explicit Server(int max_clients = 100, int idle_timeout = 0)
      : StandInServer(kTable, max_clients, idle_timeout, KeepLogLine) {}
};

// A raw connection for byte-level exchanges.
struct Raw {
  StdSocket socket;
  explicit Raw(int port) { EXPECT_TRUE(socket.Connect("127.0.0.1", std::to_string(port).c_str())); }
  void Send(const std::string& bytes) { ASSERT_TRUE(socket.SendAll(bytes.data(), bytes.size())); }
  // The next whole packet, by the length its header declares.
  std::string ReceivePacket() { return ReadPacket(socket, 10000); }
};

// A connected client.
struct Client : SrpcClient {
  explicit Client(int port) { EXPECT_TRUE(Connect("127.0.0.1", port)); }
  int32_t Call(const char* procedure, const NetValueList& arguments = NetValueList()) {
    NetValueList results;
    return SrpcClient::Call(procedure, arguments, &results);
  }
};

// A packet of `kind` around `body` as it stands: the procedure reference, then the values.
std::string Framed(uint8_t kind, bool extended, const std::string& body) {
  SrpcPacketWriter writer;
  extended ? writer.BeginExtended(kind) : writer.BeginPlain(kind);
  writer.stream().Write(body.data(), static_cast<int>(body.size()));
  const char* bytes;
  int length;
  EXPECT_TRUE(writer.Finish(&bytes, &length));
  return std::string(bytes, length);
}

// A request for `name` with `arguments` and then `more` raw bytes.
std::string Request(const std::string& name, const NetValueList& arguments = NetValueList(),
                    const std::string& more = "") {
  PackBuffer values;
  arguments.Encode(values);
  return Framed(kSrpcRequest, false,
                name + '\0' + std::string(values.Data(), values.Size()) + more);
}

// Whether the server closes the connection (within a hang guard) while the client is silent.
bool ClosedByServer(StdSocket& socket) {
  char byte;
  for (int second = 0; second < 30; ++second) {
    if (socket.WaitReadable(1, 0) > 0) return socket.RecvSome(&byte, 1) == 0;
  }
  return false;
}

const std::string kGetCmds = Request("corvexa_srpc_getcmds");
const std::string kNotSupported =
    Bytes({0x42, 0, 0, 0, 0x1F, 0x08, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0x73}) + "PROC NOT SUPPORT" +
    Bytes({0, 0x35, 0x67});
const std::string kArgFormatError =
    Bytes({0x42, 0, 0, 0, 0x1F, 0x08, 0x69, 0xFF, 0xFF, 0xFF, 0xFE, 0x73}) + "ARG FORMAT ERROR" +
    Bytes({0, 0x35, 0x67});

class SrpcServer : public testing::Test {
 protected:
  static void SetUpTestSuite() { shared_ = new Server(); }
  static void TearDownTestSuite() { delete shared_; }
  static SRPCSocketSvr& server() { return shared_->server(); }
  static int port() { return shared_->port(); }
  static Server* shared_;
};
Server* SrpcServer::shared_ = nullptr;

TEST_F(SrpcServer, TheProcedureTableIsListedSortedWithTheBuiltInsInIndexOrder) {
  Client client(port());
  NetValueList results;
  ASSERT_EQ(client.SrpcClient::Call("corvexa_srpc_getcmds", NetValueList(), &results), 0);
  NetTable* cmds = results.GetTable(0);
  ASSERT_TRUE(cmds->RowCount() == 10 && server().ProcCount() == 10);
  for (int row = 1; row <= 10; ++row) {
    const SrpcProcEntry& entry = server().Proc(row - 1);
    EXPECT_STREQ(cmds->GetString(row, "cmd"), entry.name);
    EXPECT_STREQ(cmds->GetString(row, "argfmt"), entry.format);
    EXPECT_EQ(server().FindProc(entry.name), row - 1);
    EXPECT_TRUE(row == 1 || std::string(server().Proc(row - 2).name) < entry.name) << row;
  }
  EXPECT_EQ(server().FindProc("nothing"), -1);
  EXPECT_EQ(client.FindProc("fail"), server().FindProc("fail"));
  EXPECT_EQ(client.FindProc("unknown"), -1);  // an answer, not an error
}

// The reader's own tests hold the cases; here, that the server's stream goes on after them.
TEST_F(SrpcServer, KeepAlivesStrayBytesAndBadHeadersAreDroppedAndTheStreamGoesOn) {
  Raw raw(port());
  std::string bad_checksum = kGetCmds;
  bad_checksum[5] ^= 1;
  testing::internal::CaptureStdout();
  raw.Send("PPP" + Bytes({0x00}) + "Q" + bad_checksum + Bytes({0x52, 0, 0, 0, 0, 0x07}) +
           Request("no_such_procedure") + "PP");
  EXPECT_EQ(raw.ReceivePacket(), kNotSupported);  // answers nothing else first
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "invalid size:0(0,419430400)\n");
}

TEST_F(SrpcServer, ExtendedIndexesOneWayRequestsHooksAndHandlerErrors) {
  Client client(port());
  NetValueList arguments, results, none;
  e2e::Args(arguments, "x", int64_t{9}, int32_t{3});
  ASSERT_EQ(client.CallIndex(server().FindProc("echo"), arguments, &results), 0);
  EXPECT_EQ(results.GetSuperLong(1), 9);
  EXPECT_EQ(client.CallIndex(server().ProcCount(), none, &results), kSrpcProcNotSupported);
  EXPECT_EQ(client.error_text(), CString("PROC NOT SUPPORT"));
  EXPECT_EQ(client.Call("SRPC_OPEN"), kSrpcProcNotSupported);
  EXPECT_EQ(client.CallIndex(server().FindProc("SRPC_CLOSE"), none, &results),
            kSrpcProcNotSupported);
  // One-way requests are never answered, errors included: the next answer is the call's own.
  ASSERT_TRUE(client.Send("no_such_procedure", none) && client.Send("echo", none));
  ASSERT_TRUE(client.SendIndex(server().FindProc("echo"), arguments) && client.KeepAlive());
  ASSERT_EQ(client.SrpcClient::Call("echo", arguments, &results), 0);
  EXPECT_STREQ(results.GetString(0), "x");
  EXPECT_EQ(results.GetSuperLong(3), 4242);  // the user value the open hook set
  // A handler's error carries the connection's text, kept between calls.
  Client fresh(port());
  NetValueList text;
  EXPECT_EQ(client.Call("fail"), 5);  // the one-way refusal's text is still the connection's
  EXPECT_EQ(client.error_text(), CString("ARG FORMAT ERROR"));
  EXPECT_EQ(client.Call("fail_text", e2e::Args(text, "disk on fire")), 7);
  EXPECT_TRUE(client.Call("fail") == 5 && client.error_text() == CString("disk on fire"));
  EXPECT_TRUE(fresh.Call("fail") == 5 && fresh.error_text() == CString(""));
}

// One packet served as a session serves it → the answer, "" when none is due.
std::string Serve(SRPCSocketSvr& server, const std::string& packet) {
  SrpcSession session;
  session.ctx = {nullptr, nullptr, &server};
  SrpcPacket opened;
  EXPECT_TRUE(opened.Open(packet.data(), static_cast<int>(packet.size())));
  SrpcPieces answer;
  EXPECT_TRUE(server.ServePacket(session, opened, &answer));
  return answer.Joined();
}

// Requests checked against the format letter by letter, and a refused or cut one decoded no
// further than its answer needs.
TEST_F(SrpcServer, ArgumentsMustMatchTheFormatAndRefusedRequestsAreNotDecoded) {
  NetValueList null_superlong, a, b, c, d;
  e2e::Args(null_superlong, "a", int64_t{1}, int32_t{2}).SetNull(1, NET_SUPERLONG);
  const std::string nulls(1 << 20, static_cast<char>(0xE2)), kAnswered = "A";  // a million NULLs
  const struct {
    const char* name;
    std::string packet;
    const std::string& answer;
  } kCases[] = {
      {"each letter its type", Request("echo", e2e::Args(a, "a", int64_t{1}, int32_t{2})),
       kAnswered},
      {"a NULL of the letter's type", Request("echo", null_superlong), kAnswered},
      {"two types swapped", Request("echo", e2e::Args(b, "a", int32_t{2}, int64_t{1})),
       kArgFormatError},
      {"too few", Request("echo", e2e::Args(c, "s")), kArgFormatError},
      {"blanks in the format are no letters", Request("echo_s", c), kAnswered},
      {"a value for a blank format", Request("echo_none", c), kArgFormatError},
      {"none for a letter", Request("sleep", d), kArgFormatError},
      {"a byte that is no value tag", Request("echo_s", c, std::string(1, '\0')), kArgFormatError},
      {"an unknown procedure",
       Framed(kSrpcRequest, false, std::string("no_such_procedure", 18) + nulls), kNotSupported},
      {"one value beyond the format",
       Framed(kSrpcRequest, false, std::string("echo_s\0s", 9) + nulls), kArgFormatError},
      {"values for an empty format",
       Framed(kSrpcRequest, false, std::string("echo_none", 10) + nulls), kArgFormatError},
      {"a name without its NUL", Framed(kSrpcRequest, false, "echo_none"), kNotSupported},
      {"no index", Framed(kSrpcRequest, true, ""), kNotSupported},
      {"three of the four index bytes", Framed(kSrpcRequest, true, std::string(3, '\0')),
       kNotSupported},
      {"one-way: never answered", Framed(kSrpcOneWay, false, "echo_none"), ""},
      {"one-way, cut index", Framed(kSrpcOneWay, true, std::string(3, '\0')), ""},
  };
  Raw raw(port());  // accepted calls run on a connection's session
  for (const auto& k : kCases) {
    uint64_t before = Heap::AllocatedBytes();
    if (&k.answer == &kAnswered) raw.Send(k.packet);
    std::string answer =
        &k.answer == &kAnswered ? raw.ReceivePacket().substr(0, 1) : Serve(server(), k.packet);
    EXPECT_EQ(answer, k.answer) << k.name;
    EXPECT_TRUE(&k.answer == &kAnswered || Heap::AllocatedBytes() - before < (64u << 10)) << k.name;
  }
}

TEST(Sessions, HooksStatisticsAndClientRowsFollowTheConnections) {
  Server server;
  int opened = g_opened, closed = g_closed;
  {
    Client a(server.port()), b(server.port());
    NetValueList sleep;
    e2e::Args(sleep, int32_t{60});
    a.Call("sleep", sleep), b.Call("sleep", sleep);
    EXPECT_EQ(a.Call("sleep"), kSrpcArgFormatError);  // refused: not counted
    NetTable clients, stats;
    server->CopyClients(&clients);
    EXPECT_EQ(clients.RowCount(), 2);
    EXPECT_STREQ(clients.GetString(1, "clntip"), "127.0.0.1");
    ASSERT_EQ(server->GetProcStats(&stats), server->ProcCount());
    int row = server->FindProc("sleep") + 1;
    EXPECT_EQ(stats.GetCString(row, "proc")->Compare("sleep"), 0);
    EXPECT_EQ(stats.GetLong(row, "count"), 2);
    EXPECT_GT(stats.GetLong(row, "times"), 0);  // summed; how much, the clock decides
  }
  Raw(server.port()).Send(kGetCmds.substr(0, 10));  // leaves in the middle of a packet
  for (int waited = 0; waited < 5000 && (server->ActiveCount() != 0 || g_closed - closed < 3);
       waited += 10) {
    platform::SleepMs(10);
  }
  NetTable clients;
  server->CopyClients(&clients);
  EXPECT_EQ(clients.RowCount(), 0);
  EXPECT_TRUE(g_opened - opened == 3 && g_closed - closed == 3);
}

// Idle, silent, stopped inside a packet or taking no answer: a stop ends every session within
// seconds; a call under way still gets its answer.
TEST(Sessions, StopEndsEverySessionWhateverItsClientDoes) {
  Server server;
  Raw silent(server.port()), half(server.port()), deaf(server.port());
  Client idle(server.port());
  ASSERT_EQ(idle.Call("fail"), 5);
  half.Send(kGetCmds.substr(0, 10));
  NetValueList big, sleep;
  deaf.Send(Request("echo_s", e2e::Args(big, std::string(32 << 20, 'd'))));
  ASSERT_GT(deaf.socket.WaitReadable(60, 0), 0);  // its answer, far larger than any buffer
  int sleeping = g_sleeping;
  std::atomic<int32_t> answer{-100};
  std::thread call(
      [&] { answer = Client(server.port()).Call("sleep", e2e::Args(sleep, int32_t{700})); });
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
  EXPECT_EQ(idle.Call("fail"), kSrpcConnectionBroken);
}

// A client silent or stopped inside a packet for the idle time-out is closed and its place goes
// to a waiting one; one that keeps calling stays. Without a time-out silence closes nothing.
TEST(Sessions, AnIdleTimeOutClosesSilentSessionsAndFreesTheirPlaces) {
  Server timed(2, 1), untimed;
  Raw silent(timed.port()), half(timed.port()), kept(untimed.port());
  half.Send(kGetCmds.substr(0, 10));
  Client waiting(timed.port());  // both places are taken: the backlog holds it
  ASSERT_TRUE(ClosedByServer(silent.socket) && ClosedByServer(half.socket));
  for (int call = 0; call < 6; ++call) {  // longer than the time-out
    EXPECT_EQ(waiting.Call("fail"), 5) << waiting.error_text();
    platform::SleepMs(250);
  }
  EXPECT_TRUE(kept.socket.WaitReadable(0, 0) == 0 && kept.socket.IsConnected());
  EXPECT_EQ(untimed->ActiveCount(), 1);
}

// Out of descriptors, the listener turns pending clients away (accepted with a descriptor kept
// in reserve, then closed), logs the episode once, and serves again when some come free.
TEST(Listener, OutOfDescriptorsPendingClientsAreTurnedAwayUntilSomeComeFree) {
  int limit = platform::OpenHandleLimit();
  if (limit < 0) GTEST_SKIP() << "no descriptor limit to lower on this system";
  Server server;
  // A session served first, while the sanitizers can still make descriptors of their own.
  Client earlier(server.port());
  ASSERT_EQ(earlier.Call("fail"), 5);
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
    do {
      filler.push_back(std::make_unique<StdSocket>(platform::kInvalidSocket, 0));
    } while (filler.back()->handle() != platform::kInvalidSocket);
    // An accept already waiting holds a descriptor: the first may be served. Later ones are
    // turned away, so fast that the connection may be reset before it is complete.
    // Each client connects the socket it already holds: a connect that made a socket anew
    // would race the server for the one descriptor it frees first.
    const platform::SocketAddress address{0x7F000001, static_cast<uint16_t>(server.port())};
    ASSERT_TRUE(platform::SocketConnect(pending[0]->handle(), address));
    for (size_t i = 1; i < pending.size(); ++i) {
      StdSocket& client = *pending[i];
      ASSERT_TRUE(!platform::SocketConnect(client.handle(), address) || ClosedByServer(client))
          << "a pending client was left waiting";
    }
  }
  Client later(server.port());
  EXPECT_EQ(later.Call("fail"), 5) << later.error_text();
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
    NetValueList arguments;
    Client(server.port()).Call("sleep", e2e::Args(arguments, ms));
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
  const std::string label = NATIVE_TEXT("{参数:", "{\xb2\xce\xca\xfd:");
  size_t first = dump.find(label + "NET_LONG 400"), second = dump.find(label + "NET_LONG 1800");
  ASSERT_TRUE(first != std::string::npos && second != std::string::npos) << dump;
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
  EXPECT_FALSE(second.Start("127.0.0.1", std::to_string(first.port()).c_str(), 5));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "bind(127.0.0.1," + std::to_string(first.port()) + ") failed\n");
}

std::atomic<bool> g_lent_back{false};

// An answer that lends its bytes is offered once without waiting: what a slow peer leaves is
// copied and the lent bytes go back before the session waits for that peer, so a client that
// stops reading cannot hold them (cache blocks, in the server) for as long as it likes.
TEST(SrpcSessionSend, LentBytesGoBackBeforeASlowPeerIsWaitedFor) {
  srpc_testing::Pair pair;
  std::string bytes(16 << 20, '\0');  // more than the socket buffers hold
  for (size_t i = 0; i < bytes.size(); i += 4096) bytes[i] = static_cast<char>(i >> 12);
  SrpcSession session;
  session.results.Append(1);
  NetValueList::Piece piece = {bytes.data(), static_cast<int>(bytes.size())};
  session.results.LendPieces(
      0, &piece, 1, [](const void*) { g_lent_back = true; }, &piece);
  SrpcPieces answer;
  ASSERT_TRUE(session.writer.BuildAnswer(session.results, &answer));
  std::string expected = answer.Joined(), received(expected.size(), '\0');
  bool back_before_reading = false;
  std::thread peer([&] {
    for (int i = 0; i < 3000 && !g_lent_back; ++i) platform::SleepMs(10);  // a hang guard
    back_before_reading = g_lent_back;
    EXPECT_TRUE(pair.client->RecvExact(received.data(), static_cast<int>(received.size())));
  });
  SRPCSocketSvr::SendAnswer(session, *pair.server, answer);
  peer.join();
  EXPECT_TRUE(back_before_reading);
  EXPECT_TRUE(received == expected);
}

}  // namespace
