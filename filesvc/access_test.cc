// The access policy: escapes from the jail on a real directory tree, the flags, the clients.
#include "filesvc/access.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// root/jail/ (allowed): a.txt Sub/b.txt link-in -> Sub  link-out-file -> ../outside/secret.txt
//   link-out-dir -> root/outside (absolute)  up -> ..  loop1 -> loop2 -> loop1
// root/jail-database/x.txt (a name that starts like the jail's)  root/outside/secret.txt
struct Attempt {
  std::string path;  // below the root, unless it starts with '!' (then as it stands)
  bool pattern, allowed, needs_links;
};

TEST(Jail, EscapesAreRefusedAndLegitimatePathsServed) {
  TempDir root_;
  for (const char* file :
       {"jail/a.txt", "jail/Sub/b.txt", "jail-database/x.txt", "outside/secret.txt"}) {
    fs::create_directories(fs::path(root_ / file).parent_path());
    std::ofstream(root_ / file) << file;
  }
  std::error_code error;
  fs::create_directory_symlink("Sub", root_ / "jail/link-in", error);
  const bool links = !error;
  if (links) {
    fs::create_symlink("../outside/secret.txt", root_ / "jail/link-out-file");
    fs::create_directory_symlink(root_ / "outside", root_ / "jail/link-out-dir");
    fs::create_directory_symlink("..", root_ / "jail/up");
    fs::create_symlink("loop2", root_ / "jail/loop1");
    fs::create_symlink("loop1", root_ / "jail/loop2");
  }
  AccessPolicy policy;
  CString problem;
  ASSERT_TRUE(policy.Configure((root_ / "jail").c_str(), "", "", &problem)) << problem.GetString();
  auto Path = [&root_](const std::string& below) { return root_ / below; };
  std::string root = root_.path();
  std::string backslashed = Path("jail\\Sub\\b.txt");
  // Another spelling of the root's drive (Windows) or a drive letter that POSIX maps to "/".
  std::string drive = platform::kWindows
                          ? std::string(1, static_cast<char>(root[0] ^ 0x20)) + root.substr(1)
                          : "d:" + root;
  std::string ups;
  for (int i = 0; i < 500; ++i) ups += "n/../";
  std::vector<Attempt> attempts = {
      {"jail/a.txt", false, true, false},
      {"JAIL/sub/B.TXT", false, true, false},  // names are found without regard to case
      {"!" + backslashed, false, true, false},
      {"jail/Sub/../a.txt", false, true, false},
      {"jail", false, true, false},
      {"jail/new/deeper/file.bin", false, true, false},  // not there yet: may be made
      // Longer than the Windows calls take a path: refused there, where it could not be used.
      {"jail/" + std::string(300, 'n'), false, !platform::kWindows, false},
      {"jail/*.txt", true, true, false},
      {"jail/a.txt", true, true, false},  // a pattern without wildcards
      {"!" + drive + "/jail/a.txt", false, true, false},
      {"jail/link-in/b.txt", false, true, true},
      {"jail/up/jail/a.txt", false, true, true},  // out and back in through a link

      {"jail/../outside/secret.txt", false, false, false},
      {"jail/new/../../outside", false, false, false},
      {"outside/secret.txt", false, false, false},
      {"!" + drive + "/outside/secret.txt", false, false, false},
      {"jail-database/x.txt", false, false, false},
      {"!", false, false, false},
      {"jail/" + ups + "../outside", false, false, false},
      {"jail/../*", true, false, false},
      {"jail/link-out-file", false, false, true},
      {"jail/link-out-dir/secret.txt", false, false, true},
      {"jail/link-out-dir/*", true, false, true},
      {"jail/up/outside/secret.txt", false, false, true},
      {"jail/loop1/x", false, false, true},
  };
  for (const Attempt& attempt : attempts) {
    if (attempt.needs_links && !links) continue;
    std::string path = attempt.path[0] == '!' ? attempt.path.substr(1) : Path(attempt.path);
    EXPECT_EQ(policy.PathAllowed(path.c_str(), attempt.pattern), attempt.allowed)
        << (attempt.pattern ? "pattern " : "path ") << path;
  }
  if (!links) GTEST_SKIP() << "no symbolic links here: the link cases did not run";
}

TEST(AccessPolicy, ClientsAreMatchedByAddressAndNetwork) {
  AccessPolicy open, policy, everyone;
  CString problem;
  ASSERT_TRUE(open.Configure("", "", "", &problem) &&
              everyone.Configure("", "0", "0.0.0.0/0", &problem));
  EXPECT_TRUE(open.PathAllowed("/anything/at/all", false) && open.ClientAllowed("203.0.113.9"));
  EXPECT_FALSE(open.read_only() || open.jailed() || everyone.read_only());
  EXPECT_TRUE(everyone.ClientAllowed("8.8.8.8"));
  ASSERT_TRUE(policy.Configure("", "1", " 127.0.0.1 , 10.20.0.0/16,192.168.1.77/24", &problem))
      << problem.GetString();
  EXPECT_TRUE(policy.read_only());
  for (const char* client : {"127.0.0.1", "10.20.255.1", "192.168.1.3" /* host bits ignored */}) {
    EXPECT_TRUE(policy.ClientAllowed(client)) << client;
  }
  for (const char* client : {"127.0.0.2", "10.21.0.1", "192.168.2.3", ""}) {
    EXPECT_FALSE(policy.ClientAllowed(client)) << client;
  }
}

TEST(AccessPolicy, AFenceThatCannotBeBuiltIsAnErrorNamingTheCulprit) {
  TempDir dir;
  std::ofstream(dir / "file") << "x";
  const std::vector<std::array<std::string, 3>> bad = {
      // allowed dirs, read only, clients
      {dir / "missing", "", ""}, {dir / "file", "", ""}, {"", "yes", ""},
      {"", "", "10.0.0.256"},    {"", "", "10.0.0/8"},   {"", "", "10.0.0.0/33"},
      {"", "", "10.0.0.0/"},     {"", "", "localhost"},
  };
  for (const auto& [dirs, read_only, clients] : bad) {
    AccessPolicy policy;
    CString problem;
    EXPECT_FALSE(policy.Configure(dirs.c_str(), read_only.c_str(), clients.c_str(), &problem));
    EXPECT_NE(std::string(problem.GetString()).find(dirs + read_only + clients), std::string::npos)
        << problem.GetString();
  }
}

}  // namespace
