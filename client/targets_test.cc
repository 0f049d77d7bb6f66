// Copy targets as cp and scp choose them, from the paths' text.
#include "client/targets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Targets, AbsoluteServerPathsInEitherSystemsSpelling) {
  for (const char* path : {"/x", "\\x", "/", "C:\\x", "c:/x", "\\\\host\\share\\x"}) {
    EXPECT_TRUE(IsAbsoluteRemote(path)) << path;
  }
  for (const char* path : {"", "x", "./x", "../x", "C:x", "C:", "x/"}) {
    EXPECT_FALSE(IsAbsoluteRemote(path)) << path;
  }
}

TEST(Targets, NamesJoinsAndParents) {
  EXPECT_EQ(RemoteBaseName("/srv/files/a.bin"), "a.bin");
  EXPECT_EQ(RemoteBaseName("C:\\files\\a.bin"), "a.bin");
  EXPECT_EQ(RemoteBaseName("/srv/files/"), "");
  EXPECT_EQ(RemoteDirName("/srv/files/a.bin"), "/srv/files/");
  EXPECT_EQ(RemoteDirName("C:\\a.bin"), "C:\\");
  EXPECT_EQ(JoinRemote("/srv", "a"), "/srv/a");
  EXPECT_EQ(JoinRemote("/srv/", "a"), "/srv/a");
  EXPECT_EQ(JoinRemote("C:\\srv", "a"), "C:\\srv\\a");
  EXPECT_EQ(JoinRemote("C:\\srv/x", "a"), "C:\\srv/x/a");
  const std::vector<std::pair<std::string, std::vector<std::string>>> parents = {
      {"/a/b/c", {"/a", "/a/b"}},
      {"/a//b/", {"/a", "/a//b"}},
      {"/c", {}},
      {"C:\\a\\b", {"C:\\a"}},
      {"\\\\host\\share\\a\\b", {"\\\\host\\share\\a"}},
      {"\\\\host\\share", {}},
  };
  for (const auto& [path, expected] : parents) EXPECT_EQ(RemoteParents(path), expected) << path;
}

TEST(Targets, ADirectoryTargetMeansIntoIt) {
  struct Case {
    std::string target;
    bool is_dir;
    std::string put, get;
  };
  const std::vector<Case> cases = {
      {"/srv/f/x.bin", false, "/srv/f/x.bin", "/srv/f/x.bin"},
      {"/srv/f", true, "/srv/f/a.bin", "/srv/f/a.bin"},
      {"/srv/f/", false, "/srv/f/a.bin", "/srv/f/a.bin"},
      {"C:\\f", true, "C:\\f\\a.bin", "C:\\f/a.bin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PutTarget(c.target, "a.bin", c.is_dir), c.put) << c.target;
    EXPECT_EQ(GetTarget(c.target, "a.bin", c.is_dir), c.get) << c.target;
  }
  EXPECT_EQ(PutTarget("C:\\f\\", "a.bin", false), "C:\\f\\a.bin");
  EXPECT_EQ(GetTarget("", "a.bin", false), "a.bin");
}

TEST(Targets, ServerNamesThatLeaveTheirDirectoryAreNotPlain) {
  for (const char* name : {"a", "a.b", "..a", "a..", " ", "\xff"}) EXPECT_TRUE(IsPlainName(name));
  for (const std::string& name : std::vector<std::string>{"", ".", "..", "../x", "a/b", "a\\b", "/",
                                                          std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsPlainName(name)) << name;
  }
}

TEST(Targets, NamesEqualButForCaseCollide) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(CaseCollisions({"a", "b", "c/d", "C/e"}), Pairs{});
  EXPECT_EQ(CaseCollisions({"Read.me", "dir", "dir/x", "READ.ME", "DIR/X", "read.me"}),
            (Pairs{{"Read.me", "READ.ME"}, {"dir/x", "DIR/X"}, {"Read.me", "read.me"}}));
  EXPECT_EQ(CaseCollisions({"\xc4", "\xe4"}), Pairs{});  // only ASCII letters change case
}

}  // namespace
