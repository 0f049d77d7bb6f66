// The helpers' reading of answers that the real server does not give: a stand-in server
// answers each case's values (or an error), and the helper must say what it got and end. The
// real server's answers are tested end to end in tests/extensions_test.cc.
#include "client/remote_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "srpc/srpcsvr.h"
#include "testing/stand_in_server.h"

namespace {

// What the stand-in procedures answer: these values, or the error 7 "broken disk" when null.
std::atomic<const NetValueList*> g_answer{nullptr};

int32_t Answer(SrpcCallCtx*, int64_t, NetValueList*, NetValueList* results, CString* text) {
  const NetValueList* answer = g_answer.load();
  if (answer == nullptr) {
    *text = "broken disk";
    return 7;
  }
  PackBuffer image;
  answer->Encode(image);
  results->Decode(image.Data(), image.Size());
  return 0;
}

const SrpcProcEntry kTable[] = {
    {"plif_dir_list", "ss", Answer},
    {"plif_file_stat", "s", Answer},
    {"plif_file_checksum", "sll", Answer},
    {},
};

NetValueList* TableAnswer(NetTable* table) {
  auto* answer = new NetValueList();
  answer->Append(1);
  answer->SetTable(0, table, 1);
  return answer;
}

NetValueList* NumberAnswer(int64_t value) {
  auto* answer = new NetValueList();
  answer->Append(1);
  answer->SetSuperLong(0, value);
  return answer;
}

class RemoteFiles : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new StandInServer(kTable); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override { ASSERT_TRUE(client_.Connect("127.0.0.1", server_->port())); }

  static StandInServer* server_;
  SrpcClient client_;
};
StandInServer* RemoteFiles::server_ = nullptr;

TEST_F(RemoteFiles, AnswersOfAnotherShapeAreBadAndAPageOutOfOrderEndsTheListing) {
  std::vector<RemoteEntry> entries;
  std::optional<RemoteEntry> entry;
  uint32_t crc = 0;
  auto list = [&] { return ListDir(client_, "/d", "", &entries); };
  auto stat = [&] { return StatPath(client_, "/f", &entry); };
  auto checksum = [&] { return Checksum(client_, "/f", 0, 1, &crc); };
  struct Case {
    const char* what;
    NetValueList* answer;  // null: the error 7
    std::function<RemoteResult()> call;
    RemoteResult result;
  };
  const Case cases[] = {
      // A server that ignores where a page is to start would be listed for ever.
      {"the same page again", TableAnswer(EntryTable({"a", "b"})), list, RemoteResult::kBadAnswer},
      {"a page out of order", TableAnswer(EntryTable({"b", "a"})), list, RemoteResult::kBadAnswer},
      {"a column missing", TableAnswer(EntryTable({}, false, false)), list,
       RemoteResult::kBadAnswer},
      {"a number for a table", NumberAnswer(0), list, RemoteResult::kBadAnswer},
      {"two entries for one path", TableAnswer(EntryTable({"f", "g"})), stat,
       RemoteResult::kBadAnswer},
      {"a checksum of -2", NumberAnswer(-2), checksum, RemoteResult::kBadAnswer},
      {"a checksum beyond 32 bits", NumberAnswer(int64_t{1} << 32), checksum,
       RemoteResult::kBadAnswer},
      {"the checksum 0", NumberAnswer(0), checksum, RemoteResult::kOk},
      {"the checksum 0xFFFFFFFF, not -1", NumberAnswer(0xFFFFFFFF), checksum, RemoteResult::kOk},
      {"an error answer", nullptr, checksum, RemoteResult::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<NetValueList> answer(c.answer);
    g_answer = answer.get();
    EXPECT_EQ(c.call(), c.result);
  }
  EXPECT_EQ(crc, 0xFFFFFFFFu);
  EXPECT_EQ(RemoteResultText(RemoteResult::kFailed, client_), "broken disk");
}

}  // namespace
