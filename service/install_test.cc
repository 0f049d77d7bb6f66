// Install and remove in a systemd tree of the test's own (never the machine's). POSIX only.
#include "service/install.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/tools/child.h"
#include "platform/tools/service_stand_in.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Captured(void (*action)(std::FILE*)) {
  std::FILE* out = std::tmpfile();
  action(out);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), (std::rewind(out), out)));
  return std::fclose(out), text;
}

// Install twice, odd program paths, remove twice, both without the unit directory.
TEST(InstallTree, InstallWritesUnitsThatSystemdAcceptsAndRemoveTakesThemAway) {
  if (platform::kWindows) GTEST_SKIP() << "a systemd tree";
  TempDir root;
  auto unit = [&](const std::string& name) {
    return root / ("etc/systemd/system/" + name + ".service");
  };
  fs::create_directories(root / "etc/systemd/system");
  platform::SetServiceManagerRoot(root.path());
  EXPECT_EQ(Captured(InstallService), "Pellary 安装成功.\n");
  std::string text = ReadFileBytes(unit("pellary"));
  std::string program = platform::ProgramPath();
  EXPECT_NE(text.find("\nExecStart=\"" + program + "\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nWorkingDirectory=" + program.substr(0, program.rfind('/') + 1) + "\n"),
            std::string::npos);
  std::string wanted = root / "etc/systemd/system/multi-user.target.wants/pellary.service";
  EXPECT_TRUE(fs::is_symlink(wanted));
  EXPECT_EQ(Captured(InstallService),
            "CreateService failed - The specified service already exists. (0x431)\n");
  EXPECT_EQ(ReadFileBytes(unit("pellary")), text);

  // "%" (a systemd specifier), "$", blanks pass as they are; quotes, backslashes are refused.
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  fs::create_directories(root / "opt/a b %h $HOME;x");
  platform::ServiceConfig config{
      "odd", "50% odd", root / "opt/a b %h $HOME;x/pellary", {"RPCSS", "other"}};
  WriteFileBytes(config.program_path, "#!/bin/sh\n");
  fs::permissions(config.program_path, fs::perms::owner_all);
  EXPECT_TRUE(platform::ScopedScHandle(platform::CreateService(manager.get(), config)));
  std::string odd = ReadFileBytes(unit("odd"));
  for (const char* line :
       {"\nDescription=50%% odd\n", "\nAfter=other.service\n", "%%h $HOME;x/pellary\"\n"})
    EXPECT_NE(odd.find(line), std::string::npos) << line << " in\n" << odd;
  TempDir scratch;
  platform::ChildHandle child =
      platform::ChildStart("/usr/bin/systemd-analyze", {"verify", unit("pellary"), unit("odd")},
                           scratch.path(), scratch / "verify.txt");
  int status = -1;
  if (!platform::ChildWait(child, 60000, &status)) platform::ChildKill(child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFileBytes(scratch / "verify.txt"), "");
  for (const char* refused : {"opt/say \"hi\"", "opt/back\\slash"}) {
    config.name = "refused";
    config.program_path = root / refused;
    EXPECT_EQ(platform::CreateService(manager.get(), config), platform::kNoScHandle);
    EXPECT_TRUE(platform::LastError() == platform::kErrorInvalidName &&
                !fs::exists(unit("refused")));
  }

  EXPECT_EQ(Captured(RemoveService), "Pellary 拆除成功.\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(unit("pellary"))) ||
               fs::exists(fs::symlink_status(wanted)));
  EXPECT_EQ(Captured(RemoveService),
            "OpenService failed - The specified service does not exist as an installed "
            "service. (0x424)\n");
  fs::remove_all(root / "etc");
  const char* missing = "OpenSCManager failed - The system cannot find the path specified. (0x3)\n";
  EXPECT_EQ(Captured(InstallService) + Captured(RemoveService), std::string(missing) + missing);
  platform::SetServiceManagerRoot("");
}

}  // namespace
