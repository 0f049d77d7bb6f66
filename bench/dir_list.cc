// The listing rate of a large directory: the real server with Extensions=1, listed through the
// client's helper (plif_dir_list page after page on one connection), against `sftp`'s `ls -l`
// of the same directory in batch mode, driving sftp-server over a pipe (no network, no
// encryption). Both sides measured in the same run, alternating (the side that goes first
// changes each round); each round times `listings` listings (one sftp process for them, so its
// start-up counts once); medians of the rounds, in entries per second.
// Usage, after the release build (needs the Debian packages openssh-client and
// openssh-sftp-server):
//   build/release/bench/dir_list build/release/service/pellary [files] [rounds] [listings]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "client/remote_files.h"
#include "platform/tools/child.h"
#include "testing/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSftp[] = "/usr/bin/sftp";
constexpr char kSftpServer[] = "/usr/lib/openssh/sftp-server";

// Seconds that `work` took; negative when it failed.
double Timed(const std::function<bool()>& work) {
  Clock::time_point start = Clock::now();
  bool done = work();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return done ? seconds : -1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class Bench {
 public:
  Bench(const std::string& program, int files, int listings)
      : server_(std::filesystem::absolute(program).string(), "Extensions=1\n"),
        files_(files),
        listings_(listings) {}

  bool Start() {
    if (!server_.StartWith({"-console"}) || !server_.Listening(30000) ||
        !client_.Connect("127.0.0.1", server_.port())) {
      std::fprintf(stderr, "the server did not start:\n%s", server_.Console().c_str());
      return false;
    }
    std::string dir = server_.path("files/many");
    std::filesystem::create_directory(dir);
    for (int i = 0; i < files_; ++i) std::ofstream(dir + "/file" + std::to_string(i) + ".dat");
    std::ofstream batch(server_.path("sftp.batch"));
    for (int i = 0; i < listings_; ++i) batch << "ls -l " << dir << "\n";
    return true;
  }

  void Stop() {
    server_.Signal(platform::ChildControl::kCtrlC);
    if (!server_.Ended(60000)) std::fprintf(stderr, "the server did not stop\n");
  }

  // `listings` listings through the helper; false unless each gave every file.
  bool ListThroughServer() {
    std::string dir = server_.remote("files/many");
    for (int i = 0; i < listings_; ++i) {
      std::vector<RemoteEntry> entries;
      RemoteResult result = ListDir(client_, dir, "", &entries);
      if (result != RemoteResult::kOk || static_cast<int>(entries.size()) != files_) {
        std::fprintf(stderr, "plif_dir_list: %s (%zu entries)\n",
                     RemoteResultText(result, client_).c_str(), entries.size());
        return false;
      }
    }
    return true;
  }

  // The same listings in one sftp batch; false unless it ended well and printed every file.
  bool ListThroughSftp() {
    std::string output = server_.path("sftp.out");
    std::filesystem::remove(output);
    platform::ChildHandle sftp =
        platform::ChildStart(kSftp, {"-q", "-D", kSftpServer, "-b", server_.path("sftp.batch")},
                             server_.path(""), output);
    int code = -1;
    if (sftp == platform::kNoChild || !platform::ChildWait(sftp, 600000, &code) || code != 0) {
      std::fprintf(stderr, "sftp failed (%d):\n%s", code, ReadFileBytes(output).c_str());
      return false;
    }
    std::string printed = ReadFileBytes(output);
    return std::count(printed.begin(), printed.end(), '\n') >= int64_t{files_} * listings_;
  }

  double entries() const { return double{1} * files_ * listings_; }

 private:
  ServerProcess server_;
  SrpcClient client_;
  int files_;
  int listings_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5) {
    std::fprintf(stderr, "usage: dir_list PELLARY-EXECUTABLE [files] [rounds] [listings]\n");
    return 2;
  }
  if (!std::filesystem::exists(kSftp) || !std::filesystem::exists(kSftpServer)) {
    std::fprintf(stderr, "needs %s and %s (openssh-client, openssh-sftp-server)\n", kSftp,
                 kSftpServer);
    return 1;
  }
  int files = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10000;
  int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  int listings = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  Bench bench(argv[1], files, listings);
  if (!bench.Start()) return 1;
  // One untimed pass each: the directory is in the system's caches for both sides.
  bool ok = bench.ListThroughServer() && bench.ListThroughSftp();
  std::vector<double> server_rates, sftp_rates;
  for (int round = 0; round < rounds && ok; ++round) {
    for (int side = 0; side < 2 && ok; ++side) {
      bool server_side = (side == 0) == (round % 2 == 0);
      double seconds = server_side ? Timed([&] { return bench.ListThroughServer(); })
                                   : Timed([&] { return bench.ListThroughSftp(); });
      ok = seconds > 0;
      (server_side ? server_rates : sftp_rates).push_back(bench.entries() / seconds);
    }
  }
  bench.Stop();
  if (!ok) return 1;
  double server = Median(server_rates), sftp = Median(sftp_rates);
  std::printf("listing %d files, %d listings per round, medians of %d rounds\n", files, listings,
              rounds);
  std::printf("%-34s %-10s %12s %12s %6s\n", "work", "unit", "pellary", "sftp", "ratio");
  std::printf("%-34s %-10s %12.0f %12.0f %6.2f\n", "plif_dir_list vs ls -l", "entries/s", server,
              sftp, server / sftp);
  return 0;
}
