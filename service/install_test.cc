// Installing and removing the service in a systemd tree of the test's own (never the
// machine's): the messages, the unit file, and systemd's own verdict on that file. POSIX only:
// Windows has no tree of a test's own.
#include "service/install.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/tools/child.h"
#include "platform/tools/service_stand_in.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// `systemd-analyze verify` takes the unit without a complaint: 0 and silence.
void ExpectSystemdAccepts(const std::string& unit) {
  const char* program = "/usr/bin/systemd-analyze";
  ASSERT_TRUE(fs::exists(program)) << "no systemd-analyze: scripts/setup.sh installs systemd";
  TempDir scratch;
  platform::ChildHandle child =
      platform::ChildStart(program, {"verify", unit}, scratch.path(), scratch / "verify.txt");
  int status = -1;
  if (!platform::ChildWait(child, 60000, &status)) platform::ChildKill(child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFileBytes(scratch / "verify.txt"), "");
}

std::string Captured(void (*action)(std::FILE*)) {
  std::FILE* out = std::tmpfile();
  action(out);
  std::rewind(out);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return text;
}

class InstallTree : public ::testing::Test {
 protected:
  void SetUp() override {
    // Windows: installing reaches the machine's service manager (the end-to-end test's).
    if (platform::kWindows) GTEST_SKIP() << "a systemd tree";
    fs::create_directories(root_ / "etc/systemd/system");
    platform::SetServiceManagerRoot(root_.path());
  }
  void TearDown() override { platform::SetServiceManagerRoot(""); }

  std::string Unit(const std::string& name = "pellary") const {
    return root_ / ("etc/systemd/system/" + name + ".service");
  }
  std::string WantedLink() const {
    return root_ / "etc/systemd/system/multi-user.target.wants/pellary.service";
  }

  TempDir root_;
};

// An install writes an enabled unit that systemd accepts; a second one fails and changes
// nothing; a remove takes everything away (nothing runs in a tree of its own, so it stops
// nothing and says nothing of it), and a second remove fails.
TEST_F(InstallTree, InstallWritesAnEnabledUnitThatSystemdAcceptsAndRemoveTakesItAway) {
  EXPECT_EQ(Captured(InstallService), "Pellary 安装成功.\n");
  std::string text = ReadFileBytes(Unit());
  std::string program = platform::ProgramPath();
  std::string directory = program.substr(0, program.rfind('/') + 1);
  for (const std::string& line : std::vector<std::string>{
           "Description=Pellary", "Wants=network-online.target", "After=network-online.target",
           "Type=notify", "ExecStart=\"" + program + "\"", "WorkingDirectory=" + directory,
           "KillSignal=SIGTERM", "Restart=on-failure", "WantedBy=multi-user.target"}) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_TRUE(fs::is_symlink(WantedLink()));
  ExpectSystemdAccepts(Unit());
  EXPECT_EQ(Captured(InstallService),
            "CreateService failed - The specified service already exists. (0x431)\n");
  EXPECT_EQ(ReadFileBytes(Unit()), text);
  EXPECT_EQ(Captured(RemoveService), "Pellary 拆除成功.\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Unit())) ||
               fs::exists(fs::symlink_status(WantedLink())));
  EXPECT_EQ(Captured(RemoveService),
            "OpenService failed - The specified service does not exist as an installed "
            "service. (0x424)\n");
}

TEST_F(InstallTree, AMissingUnitDirectoryEndsBothActionsAtTheManager) {
  fs::remove_all(root_ / "etc");
  const char* expected =
      "OpenSCManager failed - The system cannot find the path specified. (0x3)\n";
  EXPECT_EQ(Captured(InstallService), expected);
  EXPECT_EQ(Captured(RemoveService), expected);
}

std::string MakeProgram(const std::string& directory) {
  fs::create_directories(directory);
  std::ofstream(directory + "/pellary") << "#!/bin/sh\n";
  fs::permissions(directory + "/pellary", fs::perms::owner_all);
  return directory + "/pellary";
}

// A program directory with blanks, "%" (a systemd specifier) and "$" must reach systemd as
// the very path; quotes and backslashes systemd refuses, so such a path is refused here.
TEST_F(InstallTree, OddProgramPathsSurviveTheUnitFileOrAreRefused) {
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  ASSERT_TRUE(manager);
  std::string odd = MakeProgram(root_ / "opt/a b %h $HOME;x");
  platform::ServiceConfig config{"odd", "50% odd", odd, {"RPCSS", "other"}};
  platform::ScopedScHandle service(platform::CreateService(manager.get(), config));
  ASSERT_TRUE(service) << platform::LastError();
  std::string text = ReadFileBytes(Unit("odd"));
  EXPECT_NE(text.find("\nDescription=50%% odd\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nAfter=other.service\n"), std::string::npos) << text;
  EXPECT_NE(text.find("/opt/a b %%h $HOME;x/pellary\"\n"), std::string::npos) << text;
  ExpectSystemdAccepts(Unit("odd"));

  for (const char* refused : {"opt/say \"hi\"", "opt/back\\slash"}) {
    config.name = "refused";
    config.program_path = MakeProgram(root_ / refused);
    EXPECT_EQ(platform::CreateService(manager.get(), config), platform::kNoScHandle);
    EXPECT_TRUE(platform::LastError() == platform::kErrorInvalidName &&
                !fs::exists(Unit("refused")));
  }
}

}  // namespace
