// pellary-cli against a stand-in server that answers what the real server does not: errors
// where the real one answers a result, names that no directory holds. The real server's answers are
// tested end to end in tests/cli_test.cc.
#include "client/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "srpc/srpcsvr.h"
#include "testing/cli_run.h"
#include "testing/stand_in_server.h"
#include "testing/temp_dir.h"

namespace {

int32_t BrokenDisk(SrpcCallCtx*, int64_t, NetValueList*, NetValueList*, CString* text) {
  *text = "broken disk";
  return 7;
}

// The one value `table`, owned by `results`.
void AnswerTable(NetValueList* results, NetTable* table) {
  results->Clear();
  results->Append(1);
  results->SetTable(0, table, 1);
}

// Every path is a directory.
int32_t StatDirectory(SrpcCallCtx*, int64_t, NetValueList*, NetValueList* results, CString*) {
  AnswerTable(results, EntryTable({"d"}, true));
  return 0;
}

// Every directory holds a file that is named as no file can be: a name that leads out.
int32_t ListEscape(SrpcCallCtx*, int64_t, NetValueList* arguments, NetValueList* results,
                   CString*) {
  bool first_page = std::string(arguments->GetString(1)).find('/') == std::string::npos;
  AnswerTable(results, EntryTable(first_page ? std::vector<std::string>{"../escaped"}
                                             : std::vector<std::string>{}));
  return 0;
}

const SrpcProcEntry kTable[] = {
    {"plif_dir_list", "ss", ListEscape},
    {"plif_file_exists", "s", BrokenDisk},
    {"plif_file_stat", "s", StatDirectory},
    {},
};

class CliStandIn : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new StandInServer(kTable); }
  static void TearDownTestSuite() { delete server_; }
  static CliRun Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(server_->port())});
    return RunCliCaptured(args);
  }

  static StandInServer* server_;
};
StandInServer* CliStandIn::server_ = nullptr;

TEST_F(CliStandIn, ExistsTellsAFailureFromNo) {
  CliRun run = Run({"exists", "/x"});
  EXPECT_EQ(run.code, kCliUndecided);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "pellary-cli: exists /x: the server answered 7 broken disk\n");
}

// A server that lists "../escaped" in a directory would have get -r write beside its target.
TEST_F(CliStandIn, ANameThatLeadsOutOfTheTreeIsRefusedBeforeAnythingIsWritten) {
  TempDir local;
  CliRun run = Run({"get", "-r", "/d", local / "copy"});
  EXPECT_EQ(run.code, kCliFailed);
  EXPECT_EQ(run.err,
            "pellary-cli: get /d: the server listed the name \"../escaped\", which would lead out "
            "of the directory; nothing written\n");
  EXPECT_EQ(std::filesystem::directory_iterator(local.path()),
            std::filesystem::directory_iterator());
}

}  // namespace
