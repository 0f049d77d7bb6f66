// Peak resident memory of the real server against the size of one hostile request. For every
// shape and size a fresh server gets one small call, then the request; the growth of its peak
// resident memory over its resident memory before the request, divided by the request's bytes,
// is the ratio printed (the packet itself is read into one buffer, so 1 is the floor).
//
// Shapes: the arguments of a known procedure (plif_file_write) made of many empty binaries,
// one-byte NULL tags, empty strings, empty lstrings or empty tables; one table argument whose
// rows each hold a table; one table argument of a 4,000-character column with NULL cells (4 KiB
// of cells per byte); and NULL tags behind the name of a procedure that does not exist. Run it
// from the repository after a release build:
//   build/release/bench/request_memory [path to pellary] [largest request in MiB, default 16]
// Sizes go from 1 MiB up to the largest by fourfold steps.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "srpc/packet.h"
#include "testing/server_process.h"

namespace {

constexpr int kAnswerSeconds = 300;

std::string Repeated(const std::string& value, size_t bytes) {
  std::string out;
  out.reserve(bytes);
  while (out.size() + value.size() <= bytes) out += value;
  return out;
}

std::string BigEndian(uint32_t value, int bytes) {
  unsigned char out[4];
  PutBigEndian(out, value, bytes);
  return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(bytes));
}

std::string TableValue(const std::string& image) {
  return "r" + BigEndian(static_cast<uint32_t>(image.size()), 4) + image;
}

// One column `name` of `tag` and `size`, the header declaring `rows`.
std::string ImageHead(uint32_t rows, char tag, uint32_t size) {
  return BigEndian(rows, 4) + BigEndian(1, 2) + std::string("c\0", 2) + tag + BigEndian(size, 4);
}

std::string NestedTables(size_t bytes) {
  const std::string inner = TableValue(ImageHead(0, 'i', 0));
  auto rows = static_cast<uint32_t>(bytes / inner.size());
  return TableValue(ImageHead(rows, 'r', 0) + Repeated(inner, rows * inner.size()));
}

// As many NULL cells of a 4,000-character column as decoding used to allow cell storage for
// (32 MiB and 8 per byte), padded to the size.
std::string WideTable(size_t bytes) {
  // A cell is 4,002 bytes (NULL flag, text, NUL); storage is made for one row more.
  auto rows = static_cast<uint32_t>(std::min(bytes - 40, ((32 << 20) + 8 * bytes) / 4002 - 3));
  std::string cells(rows, static_cast<char>(0xF3));
  return TableValue(ImageHead(rows, 's', 4000) + cells + std::string(bytes - 40 - rows, '\0'));
}

struct Shape {
  const char* name;
  const char* procedure;
  std::string (*values)(size_t bytes);
};

const Shape kShapes[] = {
    {"empty binaries", "plif_file_write",
     [](size_t n) { return Repeated(std::string("b\0\0\0\0", 5), n); }},
    {"NULL tags", "plif_file_write", [](size_t n) { return std::string(n, '\xE2'); }},
    {"empty strings", "plif_file_write",
     [](size_t n) { return Repeated(std::string("s\0", 2), n); }},
    {"empty lstrings", "plif_file_write",
     [](size_t n) { return Repeated(std::string("u\0\0\0\0", 5), n); }},
    {"empty tables", "plif_file_write",
     [](size_t n) { return Repeated(TableValue(std::string(6, '\0')), n); }},
    {"nested tables", "plif_file_write", NestedTables},
    {"wide table", "plif_file_write", WideTable},
    {"unknown procedure", "no_such_procedure", [](size_t n) { return std::string(n, '\xE2'); }},
};

std::string Request(const Shape& shape, size_t bytes) {
  SrpcPacketWriter writer;
  writer.BeginPlain(kSrpcRequest);
  writer.PutProcName(shape.procedure);
  std::string values = shape.values(bytes);
  writer.stream().Write(values.data(), static_cast<int>(values.size()));
  const char* packet;
  int length;
  writer.Finish(&packet, &length);
  return std::string(packet, static_cast<size_t>(length));
}

// Sends `request` and waits for its answer → the error code of a B answer, 0 for an A answer,
// or a text saying why none came.
std::string Call(StdSocket& socket, SrpcPacketReader& reader, const std::string& request) {
  if (!socket.SendAll(request.data(), static_cast<int>(request.size()))) return "send failed";
  for (uint32_t start = platform::GetTickCount();
       platform::GetTickCount() - start < kAnswerSeconds * 1000u;) {
    SrpcPacketReader::Result result = reader.Receive(socket);
    if (result == SrpcPacketReader::Result::kFailed) return "connection lost";
    if (result != SrpcPacketReader::Result::kPacket) continue;
    NetValueList values;
    reader.packet().DecodeValues(values);
    if (reader.packet().Kind() == kSrpcAnswer) return "0";
    return values.Count() > 0 && values.Type(0) == NET_LONG ? std::to_string(values.GetLong(0))
                                                            : "?";
  }
  return "no answer";
}

// One fresh server, one small call, then the request: its line of the table.
void Measure(const std::string& program, const Shape& shape, size_t bytes) {
  ServerProcess server(program, "");
  if (!server.StartWith({"-console"}) || !server.Listening(30000)) {
    std::printf("%-18s the server did not start\n", shape.name);
    return;
  }
  StdSocket socket;
  std::string port = std::to_string(server.port());
  SrpcPacketReader reader(SrpcPeer::kClient);
  Shape version = {"", "plif_get_version", [](size_t) { return std::string(); }};
  if (!socket.Connect("127.0.0.1", port.c_str()) ||
      Call(socket, reader, Request(version, 0)) != "0") {
    std::printf("%-18s the first call failed\n", shape.name);
    return;
  }
  std::string request = Request(shape, bytes);
  platform::SleepMs(500);
  int64_t before = platform::ChildResidentBytes(server.child());
  std::string answer = Call(socket, reader, request);
  platform::SleepMs(200);
  int64_t peak = platform::ChildPeakResidentBytes(server.child());
  if (server.Ended(0) || peak < 0) {
    std::printf("%-18s %7.1f MiB  the server ended (%s)\n", shape.name, bytes / 1048576.0,
                answer.c_str());
    return;
  }
  double growth = static_cast<double>(peak - before);
  std::printf("%-18s %7.1f MiB %12.1f MiB %9.2f   %s\n", shape.name, request.size() / 1048576.0,
              growth / 1048576.0, growth / static_cast<double>(request.size()), answer.c_str());
  std::fflush(stdout);
  socket.Close();
  server.Signal(platform::ChildControl::kCtrlC);
  if (!server.Ended(30000)) server.Kill();
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = argc >= 2 ? argv[1] : "build/release/service/pellary";
  size_t largest = (argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 16) << 20;
  program = std::filesystem::absolute(program).string();
  std::printf("%-18s %11s %16s %9s   %s\n", "shape", "request", "peak growth", "ratio", "answer");
  for (const Shape& shape : kShapes) {
    for (size_t bytes = size_t{1} << 20; bytes <= largest; bytes *= 4) {
      Measure(program, shape, bytes);
    }
  }
  return 0;
}
