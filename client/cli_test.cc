// pellary-cli against a stand-in server that answers what the real server does not: errors
// where the real one answers a result. The real server's answers are tested end to end in
// tests/cli_test.cc.
#include "client/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "srpc/srpcsvr.h"
#include "testing/cli_run.h"

namespace {

int32_t BrokenDisk(SrpcCallCtx*, int64_t, NetValueList*, NetValueList*, CString* text) {
  *text = "broken disk";
  return 7;
}

const SrpcProcEntry kTable[] = {
    {"plif_file_exists", "s", BrokenDisk},
    {},
};

class CliStandIn : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new SRPCSocketSvr(kTable);
    server_->set_log([](const char*) {});
    server_->StartInBackground("127.0.0.1", 0, 10);
    server_->WaitStarted();
  }
  static void TearDownTestSuite() {
    server_->Stop();
    server_->WaitForStarter();
    delete server_;
  }
  static CliRun Run(std::vector<std::string> args) {
    CString address;
    int port = 0;
    server_->GetLocalAddr(&address, &port);
    args.insert(args.begin(), {"--port", std::to_string(port)});
    return RunCliCaptured(args);
  }

  static SRPCSocketSvr* server_;
};
SRPCSocketSvr* CliStandIn::server_ = nullptr;

TEST_F(CliStandIn, ExistsTellsAFailureFromNo) {
  CliRun run = Run({"exists", "/x"});
  EXPECT_EQ(run.code, kCliUndecided);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "pellary-cli: exists /x: the server answered 7 broken disk\n");
}

}  // namespace
