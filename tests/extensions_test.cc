// The opt-in procedures on the running server, through the client's helpers
// (client/remote_files.h). Without Extensions the procedure list is the plain one, byte for
// byte; with Extensions=1 the list grows by three, a large directory is listed page after page,
// and stat and checksum see a file beyond 4 GiB. What the procedures decide is tested in filesvc/;
// this is the wiring.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "client/remote_files.h"
#include "testing/remote_calls.h"
#include "testing/socket_read.h"
#include "testing/text.h"
#include "tests/running_server.h"
#include "values/nettable.h"

namespace {

namespace fs = std::filesystem;
using e2e::RunningServer;

// Procedure names and their argument formats.
using Procs = std::vector<std::pair<std::string, std::string>>;

// The server's procedures without extensions, in index order (by strcmp: byte order).
const Procs kPlainProcs = {
    {"SRPC_CLOSE", ""},
    {"SRPC_OPEN", ""},
    {"_shutdown", ""},
    {"corvexa_srpc_findcmd", "s"},
    {"corvexa_srpc_getcmds", ""},
    {"plif_dir_exists", "s"},
    {"plif_file_clear", ""},
    {"plif_file_create", "s"},
    {"plif_file_exists", "s"},
    {"plif_file_getlength", "s"},
    {"plif_file_open", "s"},
    {"plif_file_read", "sli"},
    {"plif_file_remove", "s"},
    {"plif_file_rename", "ss"},
    {"plif_file_write", "slb"},
    {"plif_get_freespace", "s"},
    {"plif_get_version", ""},
    {"plif_mkdir", "s"},
    {"plif_rmdir", "s"},
};
const Procs kExtensionProcs = {
    {"plif_dir_list", "ss"}, {"plif_file_stat", "s"}, {"plif_file_checksum", "sll"}};

// The answer packet of "corvexa_srpc_getcmds" listing `procs`: its table as the server makes
// it (construction parameters 100 and 128, two string columns 128 wide).
std::string ListingAnswer(const Procs& procs) {
  auto* table = new NetTable(100, 128);
  table->AddColumn("cmd", NET_STRING, 128);
  table->AddColumn("argfmt", NET_STRING, 128);
  for (const auto& [name, format] : procs) {
    int row = table->AppendRow();
    table->SetString(row, 1, name.c_str());
    table->SetString(row, 2, format.c_str());
  }
  NetValueList results;
  results.Append(1);
  results.SetTable(0, table, 1);
  SrpcPacketWriter writer;
  SrpcPieces pieces;
  EXPECT_TRUE(writer.BuildAnswer(results, &pieces));
  return pieces.Joined();
}

// The server's answer to "corvexa_srpc_getcmds", as it came over the wire.
std::string ListingFromServer(const RunningServer& server) {
  NetValueList none;
  std::string request = e2e::Request("corvexa_srpc_getcmds", none);
  StdSocket socket;
  if (!socket.Connect("127.0.0.1", std::to_string(server.port()).c_str()) ||
      !socket.SendAll(request.data(), static_cast<int>(request.size()))) {
    return "(no exchange)";
  }
  return ReadPacket(socket, 10000);
}

// Without Extensions the list is the plain one byte for byte (what the helpers then say is
// checked through pellary-cli); with Extensions=1 it holds three more.
TEST(Extensions, TheProcedureListGrowsByThreeOnlyWhenTheyAreOn) {
  ASSERT_TRUE(std::is_sorted(kPlainProcs.begin(), kPlainProcs.end()));
  for (bool on : {false, true}) {
    SCOPED_TRACE(on ? "Extensions=1" : "without Extensions");
    Procs procs = kPlainProcs;
    if (on) procs.insert(procs.end(), kExtensionProcs.begin(), kExtensionProcs.end());
    std::sort(procs.begin(), procs.end());
    RunningServer server(on ? "Extensions=1\n" : "");
    SrpcClient client;
    ASSERT_TRUE(server.Connect(client));
    EXPECT_EQ(ListingFromServer(server), ListingAnswer(procs));
    for (size_t index = 0; index < procs.size(); ++index) {
      EXPECT_EQ(client.FindProc(procs[index].first.c_str()), static_cast<int32_t>(index))
          << procs[index].first;
    }
  }
}

class ExtensionsOn : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Connect(client_)); }

  RunningServer server_{"Extensions=1\n"};
  SrpcClient client_;
};

// Ten pages and more: the helper goes on after the last name of each.
TEST_F(ExtensionsOn, AListingOfTenThousandFilesGivesEachNameOnceInByteOrder) {
  std::string dir = server_.path("files/many");
  fs::create_directory(dir);
  // Names whose byte order is neither that of their numbers nor that of their letters' case.
  const char* prefixes[] = {"a", "B", "_", "~"};
  std::vector<std::pair<std::string, bool>> expected = {{"sub", true}};
  fs::create_directory(dir + "/sub");
  for (int i = 0; i < 10000; ++i) {
    std::string name = prefixes[i % 4] + std::to_string(i);
    std::ofstream(dir + "/" + name);
    expected.emplace_back(name, false);
  }
  std::sort(expected.begin(), expected.end());

  std::vector<RemoteEntry> entries;
  ASSERT_EQ(ListDir(client_, server_.remote("files/many"), "", &entries), RemoteResult::kOk)
      << RemoteResultText(RemoteResult::kFailed, client_);
  std::vector<std::pair<std::string, bool>> listed;
  for (const RemoteEntry& entry : entries) listed.emplace_back(entry.name, entry.is_dir);
  EXPECT_EQ(listed, expected);
}

TEST_F(ExtensionsOn, StatAndChecksumReachBeyondFourGiBAndMissingPathsAreNotFound) {
  constexpr int64_t kLength = (int64_t{5} << 30) + 3;
  constexpr int64_t kDataAt = (int64_t{4} << 30) - 1000;  // data across the 4 GiB mark
  constexpr int64_t kMtime = 1500000000;
  std::string local = server_.path("files/big.bin");
  std::string data = RandomBytes(70000, 7);
  {
    std::ofstream out(local, std::ios::binary);
    out.seekp(kDataAt);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  fs::resize_file(local, kLength);  // the rest is a hole
  fs::last_write_time(local, fs::file_time_type::clock::from_sys(
                                 std::chrono::sys_seconds(std::chrono::seconds(kMtime))));

  std::string path = server_.remote("files/big.bin");
  std::optional<RemoteEntry> entry;
  ASSERT_EQ(StatPath(client_, path, &entry), RemoteResult::kOk);
  EXPECT_EQ(entry->name, "big.bin");
  EXPECT_FALSE(entry->is_dir);
  EXPECT_EQ(entry->length, kLength);
  EXPECT_EQ(entry->mtime, kMtime);

  // The range starts in the hole before the data and ends in the one after it.
  const int64_t position = kDataAt - 10, length = 80000;
  std::string bytes(length, '\0');
  std::ifstream in(local, std::ios::binary);
  in.seekg(position);
  ASSERT_TRUE(in.read(bytes.data(), length));
  uint32_t crc = 0;
  ASSERT_EQ(Checksum(client_, path, position, length, &crc), RemoteResult::kOk);
  EXPECT_EQ(crc, crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), length));

  std::vector<RemoteEntry> entries;
  std::string missing = server_.remote("files/missing");
  EXPECT_EQ(ListDir(client_, missing, "", &entries), RemoteResult::kNotFound);
  EXPECT_EQ(StatPath(client_, missing, &entry), RemoteResult::kNotFound);
  EXPECT_FALSE(entry.has_value());
  EXPECT_EQ(Checksum(client_, missing, 0, 1, &crc), RemoteResult::kNotFound);
}

}  // namespace
