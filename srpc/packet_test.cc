// Tests of the SRPC packet framing: built bytes, frame checks, the reader from memory and socket.
#include "srpc/packet.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "srpc/srpc_testing.h"
#include "srpc/stdsocket.h"
#include "testing/text.h"

namespace {

using srpc_testing::Bytes;
using srpc_testing::Pair;
using Event = SrpcPacketReader::Event;
using Result = SrpcPacketReader::Result;

const std::string kGetCmds = Bytes({0x52, 0x00, 0x00, 0x00, 0x1D, 0x1A}) + "corvexa_srpc_getcmds" +
                             Bytes({0x00, 0x35, 0x67});
const std::string kNotSupported =
    Bytes({0x42, 0x00, 0x00, 0x00, 0x1F, 0x08, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0x73}) +
    "PROC NOT SUPPORT" + Bytes({0x00, 0x35, 0x67});

std::string Finished(SrpcPacketWriter& writer) {
  const char* bytes = nullptr;
  int length = 0;
  EXPECT_TRUE(writer.Finish(&bytes, &length));
  return std::string(bytes, static_cast<size_t>(length));
}

// A request naming `name` with one string argument, as a client builds it.
std::string Request(uint8_t kind, const char* name, const char* argument) {
  SrpcPacketWriter writer;
  writer.BeginPlain(kind);
  writer.PutProcName(name);
  PutString(writer.stream(), argument);
  return Finished(writer);
}

// What a reader made of a byte stream: "<packet>" per packet, "s" per stray byte.
std::string FeedAll(SrpcPacketReader& reader, const std::string& stream,
                    std::mt19937* chunks = nullptr) {
  std::string events;
  for (size_t at = 0; at < stream.size();) {
    size_t n =
        std::min(chunks != nullptr ? 1 + (*chunks)() % 64 : stream.size(), stream.size() - at);
    int used = 0;
    Event event = reader.Feed(stream.data() + at, static_cast<int>(n), &used);
    EXPECT_GT(used, 0);
    at += static_cast<size_t>(used);
    const SrpcPacket& packet = reader.packet();
    if (event == Event::kPacket) events += "<" + std::string(packet.Bytes(), packet.Length()) + ">";
    if (event == Event::kStrayByte) events += "s";
  }
  return events;
}

TEST(SrpcPacketWriter, BuildsRequestsAndAnswersByteForByte) {
  SrpcPacketWriter writer;
  writer.BeginPlain(kSrpcRequest);
  // A plain request names its procedure; only extended packets carry an index.
  ASSERT_TRUE(writer.PutProcName("corvexa_srpc_getcmds") && !writer.PutProcIndex(3));
  EXPECT_EQ(Finished(writer), kGetCmds);
  writer.BeginExtended(kSrpcOneWay);
  ASSERT_TRUE(writer.PutProcIndex(7));
  PutLong(writer.stream(), -2);
  EXPECT_EQ(Hex(Finished(writer)), "58 59 00 00 00 12 46 00 00 00 07 69 FF FF FF FE 35 67");
  NetValueList results;
  ASSERT_EQ(results.Decode("i\0\0\0\5sx\0", 8), 2);
  SrpcPieces answer;
  ASSERT_TRUE(writer.BuildAnswer(results, &answer));
  EXPECT_EQ(Hex(answer.Joined()), "41 00 00 00 10 04 69 00 00 00 05 73 78 00 35 67");
}

int g_given_back = 0;

// A large binary, lent whole or in pieces, goes out from where it lies; a small one, and any
// binary when nothing may be lent, is copied. Either way the bytes are the copied packet's.
TEST(SrpcPacketWriter, SendsLargeLentBinariesFromWhereTheyLie) {
  const int kLarge = NetValueList::LentBinary::kLeast;
  std::string bytes(3 * kLarge, 'x');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
  NetValueList::Piece pieces[3] = {
      {bytes.data(), kLarge - 5}, {bytes.data() + kLarge, 0}, {bytes.data() + 9, kLarge + 1}};
  const struct {
    int count;   // pieces lent; 0: one binary lent by LendBinary
    int length;  // of that one
    bool lent;   // sent from where it lies
  } rows[] = {{0, kLarge, true}, {0, kLarge - 1, false}, {3, 0, true}, {1, 0, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.count);
    NetValueList results;
    results.Append(3);
    results.SetLong(0, 7);
    if (row.count == 0) {
      results.LendBinary(1, bytes.data(), row.length, nullptr);
    } else {
      results.LendPieces(
          1, pieces, row.count, [](const void*) { ++g_given_back; }, &row);
    }
    results.SetString(2, "after");
    SrpcPacketWriter copying;
    copying.BeginPlain(kSrpcAnswer);
    ASSERT_TRUE(copying.PutValues(results));
    std::string expected = Finished(copying);
    SrpcPacketWriter writer;
    SrpcPieces answer;
    ASSERT_TRUE(writer.BuildAnswer(results, &answer));
    EXPECT_EQ(answer.Joined(), expected);
    EXPECT_EQ(answer.Joined(11), expected.substr(11));
    EXPECT_EQ(answer.count, row.lent ? 2 + std::max(row.count, 1) : 1);
    EXPECT_TRUE(!row.lent || answer.piece[1].bytes == bytes.data());
  }
  EXPECT_EQ(g_given_back, 2);  // each list in pieces gave them back once, as it went
}

// Opening whole packets, extended ones and cut references: the server's tests drive them.
TEST(SrpcPacket, RefusesCutOrDamagedFrames) {
  SrpcPacket packet;
  for (size_t at = 0; at < kGetCmds.size(); ++at) {
    EXPECT_FALSE(packet.Open(kGetCmds.data(), int(at)) || packet.IsOpen()) << at;
    std::string damaged = kGetCmds;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    // The first byte takes part in the checksum; body bytes are not checked at all.
    EXPECT_EQ(packet.Open(damaged.data(), int(damaged.size())),
              at >= 6 && at < kGetCmds.size() - 2);
  }
}

// A header declaring `total` bytes, with its checksum.
std::string Header(uint32_t total) {
  std::string h = Bytes(
      {0x52, int(total >> 24), int(total >> 16 & 0xFF), int(total >> 8 & 0xFF), int(total & 0xFF)});
  return h + static_cast<char>(SrpcChecksum(reinterpret_cast<const uint8_t*>(h.data()), 5));
}

TEST(SrpcPacketReader, KeepAlivesStrayBytesBadHeadersAndLengths) {
  std::string second = Request(kSrpcOneWay, "plif_file_exist", "c:\\a.txt");
  std::string bad_checksum = kGetCmds, bad_trailer = kNotSupported;
  bad_checksum[5] = 0x1B;
  bad_trailer.back() = 0x68;
  const std::string packet = "<" + kGetCmds + ">";
  const struct {
    const char* name;
    SrpcPeer peer;
    std::string stream, events, printed;
  } kCases[] = {
      {"keep-alives between packets", SrpcPeer::kServer, "PPP" + kGetCmds + "P" + second + "PP",
       packet + "<" + second + ">", ""},
      // The bad header dropped whole, its 23 other bytes one by one.
      {"stray bytes and a bad checksum", SrpcPeer::kServer,
       Bytes({0}) + "Q" + bad_checksum + kGetCmds, std::string(2 + 23, 's') + packet, ""},
      {"an 'X' not followed by R or Y takes the next byte", SrpcPeer::kServer, "XQXX" + kGetCmds,
       packet, ""},
      {"declared lengths out of range", SrpcPeer::kServer,
       Header(0) + Header(419430401) + Header(0xFFFFFFFF) + kGetCmds, packet,
       "invalid size:0(0,419430400)\ninvalid size:419430401(0,419430400)\n"
       "invalid size:-1(0,419430400)\n"},
      {"too short for header and trailer", SrpcPeer::kServer, Header(1) + Header(7) + kGetCmds,
       packet, ""},
      {"a client drops bad trailers", SrpcPeer::kClient, bad_trailer + "R" + kNotSupported,
       "s<" + kNotSupported + ">", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SrpcPacketReader reader(c.peer);
    testing::internal::CaptureStdout();
    EXPECT_EQ((FeedAll(reader, c.stream)), c.events);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  }
}

TEST(SrpcPacketReader, MemoryFollowsTheBytesThatArriveNotTheDeclaredLength) {
  SrpcPacketReader::DropPooledBuffers();  // a pooled buffer is handed out as it is
  SrpcPacketReader reader;
  int used = 0;
  EXPECT_EQ(reader.Feed(Header(0x19000000).data(), 6, &used), Event::kNeedMore);
  EXPECT_EQ(reader.buffer_capacity(), SrpcPacketReader::kInitialBuffer);
  std::string body(100000, 'b');
  reader.Feed(body.data(), int(body.size()), &used);
  EXPECT_LE(reader.buffer_capacity(), 2 * 100006);
  reader.Reset();
  // A large packet reads into a large buffer; the next packet is back in the reader's own.
  std::string large = Request(kSrpcRequest, "plif_file_write", std::string(300000, 'd').c_str());
  ASSERT_EQ(reader.Feed(large.data(), int(large.size()), &used), Event::kPacket);
  EXPECT_GT(reader.buffer_capacity(), SrpcPacketReader::kKeptBuffer);
  EXPECT_EQ((FeedAll(reader, kGetCmds)), "<" + kGetCmds + ">");
  EXPECT_LE(reader.buffer_capacity(), SrpcPacketReader::kKeptBuffer);
}

// Random streams of packets, damaged packets and garbage: whatever the chunking, the reader sees
// the same events and stays inside its buffers (checked under the sanitizers).
TEST(SrpcPacketReader, RandomStreamsGiveTheSameEventsInAnyChunking) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 200; ++round) {
    std::string stream;
    for (int piece = 0; piece < 12; ++piece) {
      std::string packet = Request(random() % 2 ? kSrpcRequest : kSrpcOneWay, "p",
                                   std::string(random() % 40, 'a').c_str());
      int damage = static_cast<int>(random() % 4);
      if (damage == 0) packet[random() % packet.size()] = static_cast<char>(random());
      if (damage == 1) packet.resize(random() % packet.size());
      for (int i = damage == 2 ? random() % 8 : 0; i > 0; --i)
        packet += "PRYXQ\0\x19"[random() % 7];
      stream += packet;
    }
    SrpcPacketReader whole, bytewise, pieces;
    std::string reference;
    for (char byte : stream) reference += FeedAll(bytewise, std::string(1, byte));
    EXPECT_EQ(FeedAll(pieces, stream, &random), reference);
    EXPECT_EQ(FeedAll(whole, stream), reference);
  }
}

// A peer leaving mid-packet or between packets: the server's session tests drive it.
TEST(SrpcPacketReaderOnSocket, PollsAnIdleConnectionReadsAheadAndEndsEachPassAtAStrayByte) {
  Pair pair;
  SrpcPacketReader server(SrpcPeer::kServer, 1);  // one-second waits keep the test short
  ASSERT_TRUE(pair.client->SendAll("X", 1));
  EXPECT_EQ(server.Receive(*pair.server), Result::kNoPacket);
  EXPECT_EQ(server.idle_waits_made(), 2);  // the lone 'X' goes after its waits, then a pass
  EXPECT_TRUE(pair.server->IsConnected() && server.phase() == SrpcPacketReader::Phase::kKind);
  std::string bad = kGetCmds;
  bad[5] = 0x00;
  std::string stream = "P" + kGetCmds + "PP" + kGetCmds + "Q" + bad.substr(0, 6) + kGetCmds;
  ASSERT_TRUE(pair.client->SendAll(stream.data(), int(stream.size())));
  ASSERT_TRUE(pair.server->WaitReadable(5, 0) == int(stream.size()));
  ASSERT_EQ(server.Receive(*pair.server), Result::kPacket);
  EXPECT_EQ(server.idle_waits_made(), 0);
  EXPECT_EQ(server.read_ahead(), int(stream.size() - 1 - kGetCmds.size()));
  EXPECT_EQ(server.Receive(*pair.server), Result::kPacket);
  EXPECT_EQ(server.Receive(*pair.server), Result::kNoPacket);  // the 'Q'
  EXPECT_EQ(server.Receive(*pair.server), Result::kPacket);    // behind the dropped header
  EXPECT_EQ(server.read_ahead(), 0);
}

}  // namespace
