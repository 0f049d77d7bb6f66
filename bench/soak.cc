// Load and soak: up to srpc.maxclnt clients at once against the real server, each running a mix
// of every procedure on files and a directory of its own for a given time and checking what it
// reads against its own model of its files. Reports the clients held, calls per second, errors
// and the server's resident memory at the start and the end (and every minute between);
// exits 1 on any error.
//   soak --server PATH [--clients N] [--seconds S]
// The test command runs a few seconds of it as a smoke run; a long one:
//   soak --server build/release/service/pellary --clients 1000 --seconds 3600
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "srpc/srpcclient.h"
#include "testing/remote_calls.h"
#include "testing/server_process.h"

namespace {

constexpr int kFilesPerClient = 3;
constexpr int64_t kFileSpan = 256 * 1024;
constexpr int kReportSeconds = 60;

struct Totals {
  std::atomic<int64_t> calls{0};
  std::atomic<int64_t> errors{0};
  std::atomic<int> connected{0};
  std::atomic<bool> stop{false};
};

// One client: its connection, its files' expected contents and its random choices.
class SoakClient {
 public:
  SoakClient(const ServerProcess& server, int id, Totals& totals)
      : server_(server), id_(id), totals_(totals), random_(id * 7919 + 1) {
    for (int f = 0; f < kFilesPerClient; ++f) names_.push_back(Name(f));
    contents_.resize(kFilesPerClient);
  }

  void Run() {
    if (!client_.Connect("127.0.0.1", server_.port())) return Error("cannot connect");
    ++totals_.connected;
    for (int f = 0; f < kFilesPerClient; ++f) Expect(Long("plif_file_create", names_[f]) == 1);
    while (!totals_.stop && client_.IsConnected()) Step();
  }

 private:
  std::string Name(int f) const {
    return server_.remote("files/c" + std::to_string(id_) + "-" + std::to_string(f) + ".bin");
  }
  void Error(const char* what) {
    if (++totals_.errors <= 20) std::fprintf(stderr, "client %d: %s\n", id_, what);
  }
  void Expect(bool good, const char* what = "unexpected answer") {
    if (!good) Error(what);
  }
  // One call; false (and an error counted) when it failed at the protocol level.
  bool Call(const char* procedure, NetValueList& arguments) {
    ++totals_.calls;
    if (client_.Call(procedure, arguments, &results_) == 0) return true;
    if (!totals_.stop) Error(procedure);
    return false;
  }
  template <typename... A>
  int32_t Long(const char* procedure, A... arguments) {
    arguments_.Clear();
    return Call(procedure, e2e::Args(arguments_, arguments...)) ? results_.GetLong(0) : -1;
  }

  void Write(int f) {
    int64_t offset = random_() % kFileSpan;
    std::string bytes(1 + random_() % 32768, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random_());
    int32_t written = Long("plif_file_write", names_[f], offset, e2e::Bytes{bytes});
    if (written == -1) return;
    Expect(written == static_cast<int32_t>(bytes.size()), "short write");
    std::string& file = contents_[f];
    if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), '\0');
    file.replace(offset, bytes.size(), bytes);
  }
  void Read(int f) {
    const std::string& file = contents_[f];
    int64_t offset = file.empty() ? 0 : random_() % file.size();
    int32_t size = 1 + random_() % 65536;
    arguments_.Clear();
    if (!Call("plif_file_read", e2e::Args(arguments_, names_[f], offset, size))) return;
    int length = 0;
    const char* bytes = results_.GetBinary(0, &length);
    std::string expected = file.substr(offset, size);
    Expect(std::string(bytes != nullptr ? bytes : "", length) == expected, "read mismatch");
  }
  void Length(int f) {
    arguments_.Clear();
    if (Call("plif_file_getlength", e2e::Args(arguments_, names_[f]))) {
      Expect(results_.GetSuperLong(0) == static_cast<int64_t>(contents_[f].size()),
             "length mismatch");
    }
  }
  // Renames the file away and back, removes and re-creates it, or tests it.
  void Shuffle(int f) {
    std::string moved = names_[f] + ".moved";
    switch (random_() % 3) {
      case 0:
        Expect(Long("plif_file_rename", names_[f], moved) == 1, "rename failed");
        Expect(Long("plif_file_exists", moved) == 1, "renamed file missing");
        Expect(Long("plif_file_rename", moved, names_[f]) == 1, "rename back failed");
        break;
      case 1:
        Expect(Long("plif_file_remove", names_[f]) == 1, "remove failed");
        Expect(Long("plif_file_open", names_[f]) == 0, "removed file still opens");
        Expect(Long("plif_file_create", names_[f]) == 1, "create failed");
        contents_[f].clear();
        break;
      default:
        Expect(Long("plif_file_exists", names_[f]) == 1, "exists failed");
    }
  }
  void Directory() {
    std::string dir = server_.remote("files/d" + std::to_string(id_));
    Expect(Long("plif_mkdir", dir) == 1, "mkdir failed");
    Expect(Long("plif_dir_exists", dir) == 1, "dir_exists failed");
    Expect(Long("plif_rmdir", dir) == 1, "rmdir failed");
  }
  void Step() {
    int f = static_cast<int>(random_() % kFilesPerClient);
    switch (random_() % 10) {
      case 0:
      case 1:
      case 2:
        return Write(f);
      case 3:
      case 4:
      case 5:
        return Read(f);
      case 6:
        return Length(f);
      case 7:
        return Shuffle(f);
      case 8:
        return Directory();
      default:
        Expect(Long("plif_get_freespace", server_.remote("")) > 0, "no free space");
    }
  }

  const ServerProcess& server_;
  int id_;
  Totals& totals_;
  std::mt19937 random_;
  SrpcClient client_;
  NetValueList arguments_, results_;
  std::vector<std::string> names_;
  std::vector<std::string> contents_;
};

const char* Option(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program = Option(argc, argv, "--server", "");
  int clients = std::atoi(Option(argc, argv, "--clients", "300"));
  int seconds = std::atoi(Option(argc, argv, "--seconds", "30"));
  if (program.empty() || clients < 1 || seconds < 1) {
    std::fprintf(stderr, "usage: soak --server PATH [--clients N] [--seconds S]\n");
    return 2;
  }
  ServerProcess server(std::filesystem::absolute(program).string(),
                       "srpc.maxclnt=" + std::to_string(clients) + "\nCacheSize=64\n");
  if (!server.StartWith({"-console"}) || !server.Listening(30000)) {
    std::fprintf(stderr, "the server did not start:\n%s", server.Console().c_str());
    return 1;
  }
  int64_t memory_start = platform::ChildResidentBytes(server.child());
  Totals totals;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&server, &totals, c] { SoakClient(server, c, totals).Run(); });
  }
  uint32_t start = platform::GetTickCount();
  // A line a minute shows how calls and memory develop over a long run.
  for (int done = 0; done < seconds; done += kReportSeconds) {
    int step = std::min(kReportSeconds, seconds - done);
    int64_t calls_before = totals.calls;
    platform::SleepMs(static_cast<uint32_t>(step) * 1000);
    if (done + step < seconds) {
      std::printf("%5d s: %6.0f calls/s, server resident memory %.1f MiB\n", done + step,
                  static_cast<double>(totals.calls - calls_before) / step,
                  platform::ChildResidentBytes(server.child()) / 1048576.0);
      std::fflush(stdout);
    }
  }
  totals.stop = true;
  int64_t memory_end = platform::ChildResidentBytes(server.child());
  for (std::thread& thread : threads) thread.join();
  double elapsed = (platform::GetTickCount() - start) / 1000.0;
  bool running = !server.Ended(0);
  std::printf("clients held %d of %d; %lld calls in %.1f s = %.0f calls/s; errors %lld\n",
              totals.connected.load(), clients, static_cast<long long>(totals.calls.load()),
              elapsed, totals.calls / elapsed, static_cast<long long>(totals.errors.load()));
  std::printf("server resident memory: %.1f MiB at the start, %.1f MiB at the end\n",
              memory_start / 1048576.0, memory_end / 1048576.0);
  server.Signal(platform::ChildControl::kCtrlC);
  bool stopped = server.Ended(60000) && server.exit_code() == 0;
  if (!running || !stopped) std::fprintf(stderr, "the server did not stop cleanly\n");
  std::string report = server.SanitizerReport();
  if (!report.empty()) std::fprintf(stderr, "the server reported:\n%s\n", report.c_str());
  bool reported = !report.empty();
  return totals.errors == 0 && totals.connected == clients && running && stopped && !reported ? 0
                                                                                              : 1;
}
