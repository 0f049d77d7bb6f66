// Tests of the SRPC packet framing: exact bytes of built packets, the checks of an opened
// packet, the reader's re-synchronisation and limits fed from memory, and the reader driving a
// real socket pair on 127.0.0.1.
#include "srpc/packet.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

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

std::string Built(const char* bytes, int length) {
  return std::string(bytes, static_cast<size_t>(length));
}

// A request naming `name` with one string argument, as a client builds it.
std::string Request(uint8_t kind, const char* name, const char* argument) {
  SrpcPacketWriter writer;
  writer.BeginPlain(kind);
  writer.PutProcName(name);
  PutString(writer.stream(), argument);
  const char* bytes;
  int length;
  EXPECT_TRUE(writer.Finish(&bytes, &length));
  return Built(bytes, length);
}

// What a reader made of a byte stream: "p<packet>" per packet, "s" per stray byte.
std::vector<std::string> FeedAll(SrpcPacketReader& reader, const std::string& stream,
                                 std::mt19937* chunks = nullptr) {
  std::vector<std::string> events;
  size_t at = 0;
  while (at < stream.size()) {
    size_t n = chunks != nullptr ? 1 + (*chunks)() % 64 : stream.size() - at;
    n = std::min(n, stream.size() - at);
    int used = 0;
    Event event = reader.Feed(stream.data() + at, static_cast<int>(n), &used);
    EXPECT_GT(used, 0);
    at += static_cast<size_t>(used);
    if (event == Event::kPacket) {
      events.push_back("p" + Built(reader.packet().Bytes(), reader.packet().Length()));
    } else if (event == Event::kStrayByte) {
      events.push_back("s");
    }
  }
  return events;
}

// ---- Writer --------------------------------------------------------------------------------

TEST(SrpcPacketWriter, BuildsRequestsAndAnswersByteForByte) {
  SrpcPacketWriter writer;
  const char* bytes;
  int length;
  writer.BeginPlain(kSrpcRequest);
  ASSERT_TRUE(writer.PutProcName("corvexa_srpc_getcmds"));
  EXPECT_FALSE(writer.PutProcIndex(3));  // only extended packets carry an index
  ASSERT_TRUE(writer.Finish(&bytes, &length));
  EXPECT_EQ(Hex(Built(bytes, length)), Hex(kGetCmds));

  ASSERT_TRUE(writer.BuildErrorAnswer(-1, "PROC NOT SUPPORT", &bytes, &length));
  EXPECT_EQ(Hex(Built(bytes, length)), Hex(kNotSupported));

  NetValueList results;
  results.Append(2);
  results.SetLong(0, 5);
  results.SetString(1, "x");
  ASSERT_TRUE(writer.BuildAnswer(results, &bytes, &length));
  EXPECT_EQ(Hex(Built(bytes, length)), "41 00 00 00 10 04 69 00 00 00 05 73 78 00 35 67");

  writer.BeginExtended(kSrpcOneWay);
  ASSERT_TRUE(writer.PutProcIndex(7));
  PutLong(writer.stream(), -2);
  ASSERT_TRUE(writer.Finish(&bytes, &length));
  EXPECT_EQ(Hex(Built(bytes, length)), "58 59 00 00 00 12 46 00 00 00 07 69 FF FF FF FE 35 67");
}

// ---- Opened packets ------------------------------------------------------------------------

TEST(SrpcPacket, OpensAndReadsPlainExtendedAndErrorPackets) {
  SrpcPacket packet;
  NetValueList arguments;
  SrpcRequest request;
  ASSERT_TRUE(packet.Open(kGetCmds.data(), int(kGetCmds.size())));
  EXPECT_EQ(packet.Kind(), kSrpcRequest);
  EXPECT_FALSE(packet.IsExtended());
  packet.ReadRequest(&request);
  EXPECT_FALSE(request.cut_short);
  EXPECT_STREQ(request.name, "corvexa_srpc_getcmds");
  EXPECT_EQ(packet.DecodeValues(arguments), 0);
  EXPECT_TRUE(packet.AtEnd());

  std::string extended = Bytes({0x58, 0x52, 0, 0, 0, 0x12, 0x4D, 0, 0, 0, 7}) +
                         Bytes({0x69, 0xFF, 0xFF, 0xFF, 0xFE, 0x35, 0x67});
  ASSERT_TRUE(packet.Open(extended.data(), int(extended.size())));
  EXPECT_EQ(packet.Kind(), kSrpcRequest);
  packet.ReadRequest(&request);
  EXPECT_TRUE(request.extended);
  EXPECT_EQ(request.index, 7u);
  ASSERT_EQ(packet.DecodeValues(arguments), 1);
  EXPECT_EQ(arguments.GetLong(0), -2);

  ASSERT_TRUE(packet.Open(kNotSupported.data(), int(kNotSupported.size())));
  EXPECT_EQ(packet.Kind(), kSrpcErrorAnswer);
  NetValueList answer;
  ASSERT_EQ(packet.DecodeValues(answer), 2);
  EXPECT_EQ(answer.GetLong(0), -1);
  EXPECT_STREQ(answer.GetString(1), "PROC NOT SUPPORT");
}

TEST(SrpcPacket, RefusesEveryCutAndEveryDamagedFrameByte) {
  SrpcPacket packet;
  for (size_t cut = 0; cut < kGetCmds.size(); ++cut) {
    EXPECT_FALSE(packet.Open(kGetCmds.data(), int(cut))) << cut;
    EXPECT_FALSE(packet.IsOpen());
  }
  for (size_t at = 0; at < kGetCmds.size(); ++at) {
    std::string damaged = kGetCmds;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    bool frame_byte = at < 6 || at >= kGetCmds.size() - 2;
    // The first byte takes part in the checksum; body bytes are not checked at all.
    EXPECT_EQ(packet.Open(damaged.data(), int(damaged.size())), !frame_byte) << at;
  }
}

TEST(SrpcPacket, AReferenceCutShortNamesNothing) {
  SrpcPacketWriter writer;
  const char* bytes;
  int length;
  SrpcPacket packet;
  SrpcRequest request;

  writer.BeginPlain(kSrpcRequest);
  writer.stream().Write("abc", 3);  // no NUL before the trailer
  ASSERT_TRUE(writer.Finish(&bytes, &length));
  ASSERT_TRUE(packet.Open(bytes, length));
  packet.ReadRequest(&request);
  EXPECT_TRUE(request.cut_short);
  EXPECT_TRUE(packet.AtEnd());  // nothing of it is taken for arguments

  writer.BeginExtended(kSrpcRequest);
  writer.stream().Write("\0\0\1", 3);  // three of the four index bytes
  ASSERT_TRUE(writer.Finish(&bytes, &length));
  ASSERT_TRUE(packet.Open(bytes, length));
  packet.ReadRequest(&request);
  EXPECT_TRUE(request.cut_short);
}

// ---- Reader fed from memory ----------------------------------------------------------------

// Chunking: see the random streams below.
TEST(SrpcPacketReader, FindsPacketsAndSkipsKeepAlives) {
  std::string second = Request(kSrpcOneWay, "plif_file_exist", "c:\\a.txt");
  SrpcPacketReader reader;
  EXPECT_EQ(FeedAll(reader, "PPP" + kGetCmds + "P" + second + "PP"),
            (std::vector<std::string>{"p" + kGetCmds, "p" + second}));
}

TEST(SrpcPacketReader, ResynchronisesByteByByteAfterStrayBytesAndABadChecksum) {
  std::string bad = kGetCmds;
  bad[5] = 0x1B;
  SrpcPacketReader reader;
  std::vector<std::string> events = FeedAll(reader, Bytes({0x00}) + "Q" + bad + kGetCmds);
  // Two stray bytes, the bad header dropped whole, its 23 other bytes one by one.
  std::vector<std::string> expected(2 + 23, "s");
  expected.push_back("p" + kGetCmds);
  EXPECT_EQ(events, expected);

  // An 'X' not followed by R or Y takes the next byte with it, without a stray event.
  SrpcPacketReader extended;
  EXPECT_EQ(FeedAll(extended, "XQ" + std::string("XX") + kGetCmds),
            std::vector<std::string>{"p" + kGetCmds});
}

TEST(SrpcPacketReader, DeclaredLengthsOutOfRangeArePrintedAndDropped) {
  auto header = [](uint32_t total) {
    std::string h = Bytes({0x52, 0, 0, 0, 0});
    for (int i = 0; i < 4; ++i) h[1 + i] = static_cast<char>(total >> (24 - 8 * i));
    return h + static_cast<char>(SrpcChecksum(reinterpret_cast<const uint8_t*>(h.data()), 5));
  };
  SrpcPacketReader reader;
  testing::internal::CaptureStdout();
  auto events = FeedAll(reader, header(0) + header(419430401) + header(0xFFFFFFFF) + kGetCmds);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "invalid size:0(0,419430400)\n"
            "invalid size:419430401(0,419430400)\n"
            "invalid size:-1(0,419430400)\n");
  EXPECT_EQ(events, std::vector<std::string>{"p" + kGetCmds});

  // In range but too short for header and trailer: dropped without a word.
  testing::internal::CaptureStdout();
  events = FeedAll(reader, header(1) + header(7) + kGetCmds);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(events, std::vector<std::string>{"p" + kGetCmds});
}

TEST(SrpcPacketReader, MemoryFollowsTheBytesThatArriveNotTheDeclaredLength) {
  SrpcPacketReader reader;
  std::string header = Bytes({0x52, 0x19, 0x00, 0x00, 0x00});
  header += static_cast<char>(SrpcChecksum(reinterpret_cast<const uint8_t*>(header.data()), 5));
  int used = 0;
  EXPECT_EQ(reader.Feed(header.data(), 6, &used), Event::kNeedMore);
  EXPECT_EQ(reader.phase(), SrpcPacketReader::Phase::kBody);
  EXPECT_EQ(reader.buffer_capacity(), SrpcPacketReader::kInitialBuffer);
  std::string body(100000, 'b');
  reader.Feed(body.data(), int(body.size()), &used);
  EXPECT_LE(reader.buffer_capacity(), 2 * 100006);
  reader.Reset();

  // A large packet grows the buffer; the next packet starts with a cut-back one.
  SrpcPacketWriter writer;
  writer.BeginPlain(kSrpcRequest);
  writer.PutProcName("plif_file_write");
  std::string data(300000, 'd');
  PutBinary(writer.stream(), data.data(), int(data.size()));
  const char* bytes;
  int length;
  ASSERT_TRUE(writer.Finish(&bytes, &length));
  ASSERT_EQ(reader.Feed(bytes, length, &used), Event::kPacket);
  EXPECT_EQ(used, length);
  EXPECT_GT(reader.buffer_capacity(), SrpcPacketReader::kKeptBuffer);
  EXPECT_EQ(FeedAll(reader, kGetCmds), std::vector<std::string>{"p" + kGetCmds});
  EXPECT_EQ(reader.buffer_capacity(), SrpcPacketReader::kKeptBuffer);
}

TEST(SrpcPacketReader, AClientReadsAnswersAndDropsBadTrailers) {
  std::string bad_trailer = kNotSupported;
  bad_trailer.back() = 0x68;
  SrpcPacketReader client(SrpcPeer::kClient);
  EXPECT_EQ(FeedAll(client, bad_trailer + "R" + kNotSupported),
            (std::vector<std::string>{"s", "p" + kNotSupported}));
}

// Random streams of packets, damaged packets and garbage: whatever the chunking, the reader
// sees the same events, every packet it gives is a packet of the stream, and it stays inside
// its buffers (checked under the sanitizers).
TEST(SrpcPacketReader, RandomStreamsGiveTheSameEventsInAnyChunking) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 200; ++round) {
    std::string stream;
    std::vector<std::string> sent;
    for (int piece = 0; piece < 12; ++piece) {
      std::string packet = Request(random() % 2 ? kSrpcRequest : kSrpcOneWay, "p",
                                   std::string(random() % 40, 'a').c_str());
      switch (random() % 4) {
        case 0:
          packet[random() % packet.size()] = static_cast<char>(random());
          break;
        case 1:
          packet.resize(random() % packet.size());
          break;
        case 2:
          for (int i = random() % 8; i > 0; --i) packet += "PRYXQ\0\x19"[random() % 7];
          break;
      }
      stream += packet;
    }
    SrpcPacketReader bytewise, chunked;
    std::vector<std::string> one = FeedAll(bytewise, stream, nullptr);
    std::vector<std::string> reference;
    for (char byte : stream) {
      auto more = FeedAll(chunked, std::string(1, byte));
      reference.insert(reference.end(), more.begin(), more.end());
    }
    SrpcPacketReader pieces;
    EXPECT_EQ(FeedAll(pieces, stream, &random), reference);
    EXPECT_EQ(one, reference);
    for (const std::string& event : reference) {
      if (event[0] == 'p') {
        EXPECT_NE(stream.find(event.substr(1)), std::string::npos);
      }
    }
  }
}

// ---- Reader on a socket --------------------------------------------------------------------

TEST(SrpcPacketReaderOnSocket, OneReceiveReadsAheadAndEachPassEndsAtAStrayByte) {
  Pair pair;
  SrpcPacketReader server;
  std::string bad = kGetCmds;
  bad[5] = 0x00;
  std::string stream = "P" + kGetCmds + "PP" + kGetCmds + "Q" + bad.substr(0, 6) + kGetCmds;
  ASSERT_TRUE(pair.client->SendAll(stream.data(), int(stream.size())));
  ASSERT_TRUE(pair.server->WaitReadable(5, 0) == int(stream.size()));
  ASSERT_EQ(server.Receive(*pair.server), Result::kPacket);
  EXPECT_EQ(server.read_ahead(), int(stream.size() - 1 - kGetCmds.size()));
  EXPECT_EQ(server.Receive(*pair.server), Result::kPacket);
  EXPECT_EQ(server.Receive(*pair.server), Result::kNoPacket);  // the 'Q'
  EXPECT_EQ(server.Receive(*pair.server), Result::kPacket);    // behind the dropped header
  EXPECT_EQ(server.read_ahead(), 0);
}

TEST(SrpcPacketReaderOnSocket, APeerThatLeavesMidPacketEndsTheSession) {
  Pair pair;
  SrpcPacketReader server;
  ASSERT_TRUE(pair.client->SendAll(kGetCmds.data(), 10));
  pair.client->Close(false);
  EXPECT_EQ(server.Receive(*pair.server), Result::kFailed);
  EXPECT_FALSE(pair.server->IsConnected());

  Pair idle;  // between packets a close is no failure, only the end of the connection
  SrpcPacketReader idle_server;
  idle.client->Close(false);
  EXPECT_EQ(idle_server.Receive(*idle.server), Result::kNoPacket);
  EXPECT_FALSE(idle.server->IsConnected());
}

TEST(SrpcPacketReaderOnSocket, AnIdleConnectionIsPolledAfterItsWaitsAndStaysOpen) {
  Pair pair;
  constexpr int kWaits = 1;  // one-second waits, to keep the test short
  SrpcPacketReader server(SrpcPeer::kServer, kWaits);
  ASSERT_TRUE(pair.client->SendAll("X", 1));
  // The kind after the 'X' does not come: the 'X' goes after its waits, then a pass of
  // waiting for a packet.
  EXPECT_EQ(server.Receive(*pair.server), Result::kNoPacket);
  EXPECT_EQ(server.idle_waits_made(), 2 * kWaits);
  EXPECT_TRUE(pair.server->IsConnected());
  EXPECT_EQ(server.phase(), SrpcPacketReader::Phase::kKind);
  ASSERT_TRUE(pair.client->SendAll(kGetCmds.data(), int(kGetCmds.size())));
  EXPECT_EQ(server.Receive(*pair.server), Result::kPacket);
  EXPECT_EQ(server.idle_waits_made(), 0);
}

}  // namespace
