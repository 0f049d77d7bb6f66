// The data path of the real server against what the machine does without it, every row's two
// sides measured in the same run, alternating (the side that goes first changes each round),
// medians of the rounds:
//   - cached 64 KiB reads on 1 and 4 connections, against a bare TCP exchange of a 30-byte
//     request and a 64 KiB answer on as many connections;
//   - durable writes of 64 KiB and 4 MiB calls (4 MiB also on 4 connections, each its own
//     ranges of one file, as pellary-cli stripes a put), against a local loop of a write of the
//     same size plus fsync in the same file system;
//   - plif_file_exists and plif_file_getlength on 16 connections and plif_file_exists on one,
//     against an 8-byte ping-pong on as many connections;
//   - what any server of these calls could reach at best: a bare server that takes the
//     write's bytes over TCP, writes and fsyncs them, then answers 8 bytes (against the local
//     loop), and one that stats the file per 8-byte ping-pong (against the plain ping-pong);
//     such a row's ratio is the ceiling of the row above it with the same reference; and
//     one in a process of its own (as a real server is: every exchange then switches between
//     two address spaces, which the in-process ping-pong never does) that checks the path
//     per exchange as a careful server must (resolved without following links);
//   - the cost of SharedFiles=1 (every call compares the file with the disk): cached 64 KiB
//     reads, durable 64 KiB writes and small calls through a second server that has it,
//     against the same work through the first, which has not.
// The server's console is a file, as under a service manager. Usage, after the release build:
//   build/release/bench/data_path build/release/service/pellary [rounds] [seconds] [only]
// (`only`: the rows whose name holds that text, e.g. to profile the server on one of them).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bare_tcp.h"
#include "foundation/base.h"
#include "foundation/plusfile.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/tools/child.h"
#include "srpc/srpcclient.h"
#include "testing/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSmallPiece = 64 << 10;
constexpr int kLargePiece = 4 << 20;
constexpr int64_t kReadFileBytes = int64_t{64} << 20;
// Writes wrap around in this many bytes. With the read file it fits in the server's cache,
// which both fill before the rows: every row meets a warm cache, none evicts another's blocks,
// and no row pays for the first touch of the cache's memory.
constexpr int64_t kWriteSpan = int64_t{128} << 20;
constexpr int kReadRequest = 30;
constexpr int kPingBytes = 8;
constexpr char kBareServerFlag[] = "--bare-server";

// Which bare server a reference exchange talks to: the plain one in this process, the one that
// stats the file per exchange, or the one in its own process that checks the path.
enum class Peer { kInProcess, kStat, kOwnProcess };

// What one side of a row did in its time: units (bytes or calls) per second, the median time
// of one unit of work (a call, an exchange, a write plus fsync) on the first connection, and
// when the other end is a process of its own, the processor time it spent per call: unlike
// the rates, which the machine's noise moves by a tenth between runs, that shows what a
// change to the server costs or saves.
struct Figure {
  double rate = 0;
  double p50_us = 0;
  double cpu_us = 0;
};

// Runs `connections` workers for `seconds`; each worker's `step` does one unit and answers the
// units it moved (0 on a failure, which ends that worker). `served_by`: the process at the
// other end, or kNoChild.
using Step = std::function<int64_t()>;
using MakeStep = std::function<Step(int worker)>;

Figure RunWorkers(int connections, double seconds, platform::ChildHandle served_by,
                  const MakeStep& make) {
  std::atomic<int64_t> units{0}, calls{0};
  std::vector<double> first_latencies;
  std::vector<std::thread> workers;
  int64_t cpu_before = platform::ChildCpuMicroseconds(served_by);
  Clock::time_point start = Clock::now();
  Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (int w = 0; w < connections; ++w) {
    workers.emplace_back([&, w] {
      Step step = make(w);
      int64_t mine = 0;
      while (step && Clock::now() < end) {
        Clock::time_point before = Clock::now();
        int64_t moved = step();
        if (moved <= 0) break;
        mine += moved;
        ++calls;
        if (w == 0)
          first_latencies.push_back(
              std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      }
      units += mine;
    });
  }
  for (std::thread& worker : workers) worker.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  int64_t cpu_after = platform::ChildCpuMicroseconds(served_by);
  Figure figure;
  figure.rate = units / elapsed;
  if (cpu_before >= 0 && cpu_after >= cpu_before && calls > 0)
    figure.cpu_us = static_cast<double>(cpu_after - cpu_before) / static_cast<double>(calls);
  if (!first_latencies.empty()) {
    std::nth_element(first_latencies.begin(), first_latencies.begin() + first_latencies.size() / 2,
                     first_latencies.end());
    figure.p50_us = first_latencies[first_latencies.size() / 2];
  }
  return figure;
}

class Bench {
 public:
  Bench(const std::string& program, double seconds, const std::string& profile = "")
      : server_(std::filesystem::absolute(program).string(), "CacheSize=256\n" + profile),
        seconds_(seconds) {}

  bool Start() {
    if (!server_.StartWith({"-console"}) || !server_.Listening(30000)) {
      std::fprintf(stderr, "the server did not start:\n%s", server_.Console().c_str());
      return false;
    }
    read_file_ = server_.remote("files/read.bin");
    write_file_ = server_.remote("files/write.bin");
    local_file_ = server_.path("files/local.bin");
    read_port_ = bench::StartBareServer(kReadRequest, kSmallPiece);
    ping_port_ = bench::StartBareServer(kPingBytes, kPingBytes);
    std::string stat_path = server_.path("files/read.bin");
    stat_port_ = bench::StartBareServer(kPingBytes, kPingBytes, [stat_path](int) -> bench::Work {
      return [stat_path](const std::vector<char>&) -> const char* {
        PlusFile::FileExists(stat_path.c_str());
        return nullptr;
      };
    });
    return Create(read_file_) && Create(write_file_) && Fill(read_file_, kReadFileBytes) &&
           Fill(write_file_, kWriteSpan);
  }

  void Stop() {
    if (own_process_ != platform::kNoChild) platform::ChildKill(own_process_);
    server_.Signal(platform::ChildControl::kCtrlC);
    if (!server_.Ended(60000)) std::fprintf(stderr, "the server did not stop\n");
  }

  Figure CachedReads(int connections) {
    return RunWorkers(connections, seconds_, server_.child(), [this, connections](int w) -> Step {
      auto client = Connected();
      if (!client) return nullptr;
      auto list = std::make_shared<NetValueList>();
      list->Append(3);
      list->SetString(0, read_file_.c_str());
      list->SetLong(2, kSmallPiece);
      int64_t stride = kSmallPiece * int64_t{connections};
      auto at = std::make_shared<int64_t>(int64_t{kSmallPiece} * w);
      return [client, list, at, stride]() -> int64_t {
        NetValueList results;
        list->SetSuperLong(1, *at);
        *at = (*at + stride) % kReadFileBytes;
        int length = 0;
        if (client->Call("plif_file_read", *list, &results) != 0) return 0;
        results.GetBinary(0, &length);
        return length == kSmallPiece ? length : 0;
      };
    });
  }

  Figure BareReads(int connections, Peer peer = Peer::kInProcess) {
    int port = peer == Peer::kOwnProcess ? own_read_port_ : read_port_;
    return RunWorkers(connections, seconds_, ProcessOf(peer), [port](int) -> Step {
      auto client = std::make_shared<bench::BareClient>(port, kReadRequest, kSmallPiece);
      if (!client->connected()) return nullptr;
      return [client] { return client->Exchange() ? int64_t{kSmallPiece} : 0; };
    });
  }

  Figure DurableWrites(int piece, int connections) {
    return RunWorkers(
        connections, seconds_, server_.child(), [this, piece, connections](int w) -> Step {
          auto client = Connected();
          if (!client) return nullptr;
          auto list = std::make_shared<NetValueList>();
          auto data = std::make_shared<std::vector<char>>(piece, static_cast<char>('a' + w));
          list->Append(3);
          list->SetString(0, write_file_.c_str());
          int64_t stride = int64_t{piece} * connections;
          auto at = std::make_shared<int64_t>(int64_t{piece} * w);
          return [client, list, data, at, stride, piece]() -> int64_t {
            NetValueList results;
            list->SetSuperLong(1, *at);
            list->LendBinary(2, data->data(), piece, nullptr);  // sent from where it lies
            *at = (*at + stride) % kWriteSpan;
            if (client->Call("plif_file_write", *list, &results) != 0) return 0;
            return results.GetLong(0) == piece ? piece : 0;
          };
        });
  }

  Figure LocalWrites(int piece) {
    return RunWorkers(1, seconds_, platform::kNoChild, [this, piece](int) -> Step {
      auto file = std::make_shared<BaseFile>();
      if (file->Open(local_file_.c_str(), kModeCreate | kModeReadWrite | kTypeBinary) == 0)
        return nullptr;
      auto data = std::make_shared<std::vector<char>>(piece, 'l');
      auto at = std::make_shared<int64_t>(0);
      return [file, data, at, piece]() -> int64_t {
        file->Seek(*at, BaseFile::kBegin);
        *at = (*at + piece) % kWriteSpan;
        bool done = file->Write(data->data(), piece) == piece && file->Flush() != 0;
        return done ? piece : 0;
      };
    });
  }

  // The bytes of each write over TCP into a bare server that writes and fsyncs them at its
  // connection's next place (the same places as DurableWrites) before an 8-byte answer.
  Figure BareDurableWrites(int piece, int connections) {
    int& port = bare_write_ports_[{piece, connections}];
    if (port == 0) port = StartWritingServer(piece, connections);
    return RunWorkers(connections, seconds_, platform::kNoChild, [port, piece](int) -> Step {
      auto client = std::make_shared<bench::BareClient>(port, piece, kPingBytes);
      if (!client->connected()) return nullptr;
      return [client, piece] { return client->Exchange() ? int64_t{piece} : 0; };
    });
  }

  Figure SmallCalls(const char* procedure, int connections) {
    return RunWorkers(connections, seconds_, server_.child(), [this, procedure](int) -> Step {
      auto client = Connected();
      if (!client) return nullptr;
      auto list = std::make_shared<NetValueList>();
      list->Append(1);
      list->SetString(0, read_file_.c_str());
      return [client, list, procedure]() -> int64_t {
        NetValueList results;
        return client->Call(procedure, *list, &results) == 0 ? 1 : 0;
      };
    });
  }

  // The bare servers of the own-process rows: this program run again (BareServersMain).
  bool StartOwnProcessServer(const std::string& program) {
    std::string ports = server_.path("bare-port.txt");
    own_process_ = platform::ChildStart(std::filesystem::absolute(program).string(),
                                        {kBareServerFlag, server_.path("files/read.bin")},
                                        server_.path("."), ports);
    for (int waited = 0; own_process_ != platform::kNoChild && waited < 300; ++waited) {
      if (std::sscanf(ReadFileBytes(ports).c_str(), "%d %d", &own_ping_port_, &own_read_port_) == 2)
        return true;
      platform::SleepMs(10);
    }
    std::fprintf(stderr, "the own-process bare servers did not start\n");
    return false;
  }

  Figure PingPong(int connections, Peer peer = Peer::kInProcess) {
    int port = peer == Peer::kOwnProcess ? own_ping_port_
               : peer == Peer::kStat     ? stat_port_
                                         : ping_port_;
    return RunWorkers(connections, seconds_, ProcessOf(peer), [port](int) -> Step {
      auto client = std::make_shared<bench::BareClient>(port, kPingBytes, kPingBytes);
      if (!client->connected()) return nullptr;
      return [client] { return client->Exchange() ? int64_t{1} : 0; };
    });
  }

 private:
  platform::ChildHandle ProcessOf(Peer peer) const {
    return peer == Peer::kOwnProcess ? own_process_ : platform::kNoChild;
  }

  std::shared_ptr<SrpcClient> Connected() {
    auto client = std::make_shared<SrpcClient>();
    client->set_lend_results(true);  // as pellary-cli: each answer is used before the next call
    if (!client->Connect("127.0.0.1", server_.port())) return nullptr;
    return client;
  }

  int StartWritingServer(int piece, int connections) {
    std::string path =
        server_.path("files/bare-" + std::to_string(piece) + "-" + std::to_string(connections));
    return bench::StartBareServer(piece, kPingBytes, [=](int accepted) -> bench::Work {
      auto file = std::make_shared<BaseFile>();
      unsigned mode = kModeCreate | kModeNoTruncate | kModeReadWrite | kShareDenyNone;
      if (file->Open(path.c_str(), mode) == 0) return nullptr;
      int64_t stride = int64_t{piece} * connections;
      auto at = std::make_shared<int64_t>(int64_t{piece} * (accepted % connections));
      return [file, at, stride, piece](const std::vector<char>& request) -> const char* {
        platform::FilePiece bytes = {request.data(), piece};
        file->WriteGathered(*at, &bytes, 1);
        file->Flush();
        *at = (*at + stride) % kWriteSpan;
        return nullptr;
      };
    });
  }

  bool Create(const std::string& path) {
    SrpcClient client;
    NetValueList list, results;
    list.Append(1);
    list.SetString(0, path.c_str());
    return client.Connect("127.0.0.1", server_.port()) &&
           client.Call("plif_file_create", list, &results) == 0 && results.GetLong(0) == 1;
  }

  // Writes a file through the server, so that it is cached.
  bool Fill(const std::string& path, int64_t bytes) {
    SrpcClient client;
    if (!client.Connect("127.0.0.1", server_.port())) return false;
    std::vector<char> piece(kLargePiece, 'f');
    NetValueList list, results;
    list.Append(3);
    list.SetString(0, path.c_str());
    for (int64_t at = 0; at < bytes; at += kLargePiece) {
      list.SetSuperLong(1, at);
      list.SetBinary(2, piece.data(), kLargePiece);
      if (client.Call("plif_file_write", list, &results) != 0 || results.GetLong(0) != kLargePiece)
        return false;
    }
    return true;
  }

  ServerProcess server_;
  double seconds_;
  std::string read_file_, write_file_, local_file_;
  int read_port_ = 0, ping_port_ = 0, stat_port_ = 0, own_ping_port_ = 0, own_read_port_ = 0;
  platform::ChildHandle own_process_ = platform::kNoChild;
  std::map<std::pair<int, int>, int> bare_write_ports_;  // (piece, connections) -> port
};

struct Row {
  const char* name;
  const char* unit;  // "MiB/s" (rates in bytes) or "calls/s"
  bool latency;      // print the p50 of one call
  std::function<Figure()> server;
  std::function<Figure()> reference;
  std::vector<Figure> server_rounds = {}, reference_rounds = {};
};

Figure Median(std::vector<Figure> rounds) {
  auto middle = [&rounds](double Figure::*field) {
    std::vector<double> values;
    for (const Figure& f : rounds) values.push_back(f.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  return {middle(&Figure::rate), middle(&Figure::p50_us), middle(&Figure::cpu_us)};
}

std::string Shown(const Row& row, const Figure& figure) {
  char text[96];
  bool bytes = std::string(row.unit) == "MiB/s";
  double rate = bytes ? figure.rate / (1 << 20) : figure.rate;
  int n = std::snprintf(text, sizeof text, "%.1f", rate);
  if (row.latency) n += std::snprintf(text + n, sizeof text - n, " p50 %.1f", figure.p50_us);
  if (figure.cpu_us > 0) std::snprintf(text + n, sizeof text - n, " cpu %.1f", figure.cpu_us);
  return text;
}

// The own-process bare servers: one answers 8-byte pings, the other 30-byte requests with
// 64 KiB taken in turn from 64 MiB of memory (as cached reads of the bench's read file are),
// each checking the path per exchange. Prints their ports, then serves until the file it
// checks is gone (the bench's directory goes with the bench), or for an hour at most.
int BareServersMain(const std::string& path) {
  auto check = [path] {
    std::string resolved;
    platform::ResolvePath(path.c_str(), &resolved);
  };
  int ping = bench::StartBareServer(kPingBytes, kPingBytes, [check](int) -> bench::Work {
    return [check](const std::vector<char>&) -> const char* {
      check();
      return nullptr;
    };
  });
  auto memory = std::make_shared<std::vector<char>>(kReadFileBytes, 'r');
  int read = bench::StartBareServer(kReadRequest, kSmallPiece, [=](int accepted) -> bench::Work {
    auto at = std::make_shared<int64_t>(int64_t{kSmallPiece} * accepted % kReadFileBytes);
    return [=](const std::vector<char>&) -> const char* {
      check();
      const char* answer = memory->data() + *at;
      *at = (*at + kSmallPiece) % kReadFileBytes;
      return answer;
    };
  });
  std::printf("%d %d\n", ping, read);
  std::fflush(stdout);
  for (int second = 0; second < 3600 && std::filesystem::exists(path); ++second)
    platform::SleepMs(1000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kBareServerFlag) == 0) return BareServersMain(argv[2]);
  if (argc < 2 || argc > 5) {
    std::fprintf(stderr, "usage: data_path PELLARY-EXECUTABLE [rounds] [seconds] [only]\n");
    return 2;
  }
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  double seconds = argc > 3 ? std::max(0.1, std::atof(argv[3])) : 1.5;
  Bench bench(argv[1], seconds);
  Bench shared(argv[1], seconds, "SharedFiles=1\n");
  if (!bench.Start() || !shared.Start() || !bench.StartOwnProcessServer(argv[0])) return 1;
  std::vector<Row> rows = {
      {"cached 64 KiB reads, 1 connection", "MiB/s", true, [&] { return bench.CachedReads(1); },
       [&] { return bench.BareReads(1); }},
      {"cached 64 KiB reads, 4 connections", "MiB/s", false, [&] { return bench.CachedReads(4); },
       [&] { return bench.BareReads(4); }},
      {"durable writes, 64 KiB calls, 1 conn", "MiB/s", true,
       [&] { return bench.DurableWrites(kSmallPiece, 1); },
       [&] { return bench.LocalWrites(kSmallPiece); }},
      {"durable writes, 4 MiB calls, 1 conn", "MiB/s", true,
       [&] { return bench.DurableWrites(kLargePiece, 1); },
       [&] { return bench.LocalWrites(kLargePiece); }},
      {"durable writes, 4 MiB calls, 4 conns", "MiB/s", false,
       [&] { return bench.DurableWrites(kLargePiece, 4); },
       [&] { return bench.LocalWrites(kLargePiece); }},
      {"any server: 64 KiB writes, 1 conn", "MiB/s", true,
       [&] { return bench.BareDurableWrites(kSmallPiece, 1); },
       [&] { return bench.LocalWrites(kSmallPiece); }},
      {"any server: 4 MiB writes, 1 conn", "MiB/s", true,
       [&] { return bench.BareDurableWrites(kLargePiece, 1); },
       [&] { return bench.LocalWrites(kLargePiece); }},
      {"any server: 4 MiB writes, 4 conns", "MiB/s", false,
       [&] { return bench.BareDurableWrites(kLargePiece, 4); },
       [&] { return bench.LocalWrites(kLargePiece); }},
      {"plif_file_exists, 16 connections", "calls/s", false,
       [&] { return bench.SmallCalls("plif_file_exists", 16); },
       [&] { return bench.PingPong(16); }},
      {"plif_file_getlength, 16 connections", "calls/s", false,
       [&] { return bench.SmallCalls("plif_file_getlength", 16); },
       [&] { return bench.PingPong(16); }},
      {"plif_file_exists, 1 connection", "calls/s", true,
       [&] { return bench.SmallCalls("plif_file_exists", 1); }, [&] { return bench.PingPong(1); }},
      {"any server: ping-pong + stat, 16 conns", "calls/s", false,
       [&] { return bench.PingPong(16, Peer::kStat); }, [&] { return bench.PingPong(16); }},
      {"any server, own process, path checked: 16 conns", "calls/s", false,
       [&] { return bench.PingPong(16, Peer::kOwnProcess); }, [&] { return bench.PingPong(16); }},
      {"any server, own process, path checked: 64 KiB, 1 conn", "MiB/s", true,
       [&] { return bench.BareReads(1, Peer::kOwnProcess); }, [&] { return bench.BareReads(1); }},
      {"any server, own process, path checked: 64 KiB, 4 conns", "MiB/s", false,
       [&] { return bench.BareReads(4, Peer::kOwnProcess); }, [&] { return bench.BareReads(4); }},
      {"shared vs not: 64 KiB reads, 1 conn", "MiB/s", true, [&] { return shared.CachedReads(1); },
       [&] { return bench.CachedReads(1); }},
      {"shared vs not: 64 KiB reads, 4 conns", "MiB/s", false,
       [&] { return shared.CachedReads(4); }, [&] { return bench.CachedReads(4); }},
      {"shared vs not: 64 KiB writes, 1 conn", "MiB/s", true,
       [&] { return shared.DurableWrites(kSmallPiece, 1); },
       [&] { return bench.DurableWrites(kSmallPiece, 1); }},
      {"shared vs not: getlength, 16 conns", "calls/s", false,
       [&] { return shared.SmallCalls("plif_file_getlength", 16); },
       [&] { return bench.SmallCalls("plif_file_getlength", 16); }},
      {"shared vs not: getlength, 1 conn", "calls/s", true,
       [&] { return shared.SmallCalls("plif_file_getlength", 1); },
       [&] { return bench.SmallCalls("plif_file_getlength", 1); }},
  };
  if (argc > 4)
    std::erase_if(rows, [&](const Row& row) { return !std::strstr(row.name, argv[4]); });
  for (int round = 0; round < rounds; ++round) {
    for (Row& row : rows) {
      bool server_first = round % 2 == 0;
      for (int side = 0; side < 2; ++side) {
        if ((side == 0) == server_first)
          row.server_rounds.push_back(row.server());
        else
          row.reference_rounds.push_back(row.reference());
      }
    }
  }
  bench.Stop();
  shared.Stop();
  std::printf("%-54s %-8s %-30s %-30s %6s\n", "work", "unit", "pellary", "reference", "ratio");
  for (const Row& row : rows) {
    Figure server = Median(row.server_rounds);
    Figure reference = Median(row.reference_rounds);
    std::printf("%-54s %-8s %-30s %-30s %6.2f\n", row.name, row.unit, Shown(row, server).c_str(),
                Shown(row, reference).c_str(),
                reference.rate > 0 ? server.rate / reference.rate : 0.0);
  }
  std::printf(
      "(\"any server\" rows: a bare server's figure stands in the pellary column; p50: the\n"
      "median time of one call on the first connection in us; cpu: what the serving\n"
      "process spent per call, in us)\n");
  return 0;
}
