#include "app/profile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "testing/temp_dir.h"

namespace {

constexpr char kAbsent[] = "<absent>";

class ProfileTest : public testing::Test {
 protected:
  std::unique_ptr<ProfileFile> Open(const std::string& bytes, int fold_width = 60) {
    WriteFileBytes(path_, bytes);
    return std::make_unique<ProfileFile>(path_.c_str(), fold_width);
  }
  static std::string Get(ProfileFile& profile, const char* name) {
    CString value;
    EXPECT_EQ(profile.GetString(name, value, kAbsent), 1);
    return std::string(value.GetString(), static_cast<size_t>(value.GetLength()));
  }

  TempDir dir_;
  std::string path_ = dir_ / "pellary.pf";
};

TEST_F(ProfileTest, TheReaderTakesLinesKeysCommentsContinuationsMarksAndEscapes) {
  const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"srpc.server.port = 7027\r\n", "srpc.server.port", " 7027"},  // the value keeps its blank
      {"a=1\r\n \t\v\fkey=v \t\r\r\nb=2", "key", "v"},
      {"\x01\x02k=v\n", "k", "v"},  // control bytes are skipped before the first line only
      {"a=1\n\x01k=v\n", "k", kAbsent},
      {"SRPC.MAXCLNT=50\r\nkeyx=1\r\nke=2\r\n", "Srpc.MaxClnt", "50"},
      {std::string("k\0x=1\n", 6), "k", kAbsent},
      {"# k=1\n;k=2\n\n   # k=3\r\n\r\nk=4\nk=5\n", "k", "4"},
      {"k=\nk=5\n", "k", kAbsent},  // an empty value is absent and hides a later entry
      {"k\nk=5\n", "k", kAbsent},
      {"k=abc&\r\n\r\n# note\r\n; x=1\r\n\r\n   $def\r\nz=1\r\n", "k", "abcdef"},
      {"k=a&\nb=c&\n d \nb=2\n", "k", "ab=cd"},  // a continuation line is value through and through
      {"k=abc\\\\&\n def\n", "k", "abc\\def"},
      {"k\\=a&\n b\n", "k\\", "ab"},  // a `\` in the key escapes too
      {"a=x$y$z$\n", "a", "x$y$z"},
      {"p=c:\\data\n", "p", "c:data"},
      {std::string("k=a\0b\n", 6), "k", std::string("a\0b", 3)},
      {"k=$ a &\n  $ b $\n", "k", " a  b "}  // a continuation line's marks are its own
  };
  for (const auto& [bytes, key, value] : rows) EXPECT_EQ(Get(*Open(bytes), key.c_str()), value);
  auto profile = Open("word=abc\nexp= -3.5e2x\nhalf=.5\nhex=0x10\nempty=\n");
  const char* keys[] = {"word", "exp", "half", "hex", "empty", "none"};  // like atof; else 7
  const double values[] = {0.0, -350.0, 0.5, 0.0, 7.0, 7.0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(profile->GetFloat(keys[i], 7.0f), values[i]) << keys[i];
}

TEST_F(ProfileTest, FileIsReadOnceAndWrittenBackOnlyWhenModified) {
  auto profile = Open("k=1\n");
  WriteFileBytes(path_, "k=2\n");
  EXPECT_EQ(Get(*profile, "k"), "1");
  EXPECT_FALSE(profile->modified());
  profile.reset();
  EXPECT_EQ(ReadFileBytes(path_), "k=2\n");
  profile = Open("k=1\n");
  profile->SetFloat("f", 2.5f);
  EXPECT_EQ(profile->GetFloat("f", 0.0f), 2.5);
  profile.reset();
  EXPECT_EQ(ReadFileBytes(path_), "k=1\nf=2.5000\r\n");
  ProfileFile((dir_ / "no/dir.pf").c_str(), 60).SetString("k", "v");  // never made
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no"));
}

TEST_F(ProfileTest, TheWriterPutsOutTheseBytes) {
  const std::vector<std::tuple<std::string, const char*, const char*, int, std::string>> rows = {
      {"", "k", " a&b ", 60, "k=$ a\\&b $\r\n"},
      {"", "t", "\tx\r", 60, "t=$\tx\r$\r\n"},
      {"", "key", "abcdefghijklmnopq", 10, "key=abcdef&\r\n    $ghijklmnop&\r\n    $q\r\n"},
      {"", "k", "ab&cd", 6, "k=ab\\&&\r\n  $cd\r\n"},
      {"", "longname", " xy", 4, "longname=$&\r\n         $ xy\r\n"},
      {"# h\r\na=1\r\nk=old&\r\n  $er\r\nb=2\r\nk=2nd\r\n", "K", "n", 60,
       "# h\r\na=1\r\nK=n\r\nb=2\r\nk=2nd\r\n"},
      {"k=a&\r\n# c&\r\n  $b\r\nz=1\r\n", "k", "n", 60, "k=n\r\n  $b\r\nz=1\r\n"},
      {"k=a&\n\n  $b\n", "k", "n", 60, "k=n\r\n  $b\n"},
      {"a=1", "b", "2", 60, "a=1\r\nb=2\r\n"}};
  for (const auto& [before, name, value, fold_width, after] : rows) {
    Open(before, fold_width)->SetString(name, value);
    EXPECT_EQ(ReadFileBytes(path_), after) << name << " " << value;
  }
}

TEST_F(ProfileTest, RandomValuesReadBackEqualAtEveryFoldWidth) {
  const std::string alphabet = std::string("ab =#;&&\\\\$$\n\t\r\v\f\xA0\xFF") + "xyz";
  const std::vector<std::string> names = {"k", "Key", "srpc.server.addr", "a_rather_long_name"};
  std::mt19937 random(20070321);
  for (int fold_width : {1, 3, 10, 60, 1000}) {
    std::map<std::string, std::string> model = {{"a", "1"}};  // lower-cased name -> value
    std::unique_ptr<ProfileFile> profile = Open("# values\r\na=1", fold_width);
    for (int round = 0; round < 150; ++round) {
      std::string name = names[random() % names.size()];
      if (random() % 2 != 0) name[0] = static_cast<char>(std::toupper(name[0]));
      std::string value(random() % 90, ' ');
      for (char& ch : value) ch = alphabet[random() % alphabet.size()];
      profile->SetString(name.c_str(), value.c_str());
      for (char& ch : name) ch = static_cast<char>(std::tolower(ch));
      model[name] = value.empty() ? kAbsent : value;
      for (const auto& [key, expected] : model)
        ASSERT_EQ(Get(*profile, key.c_str()), expected) << fold_width;
    }
  }
}

TEST_F(ProfileTest, TruncatedFileGivesTheEntriesBeforeTheCut) {
  const std::string text = "a=1\r\n# c\r\nlong=ab&\r\n  $cd\r\nesc=\\$x\\\\\\n$\r\nnum=12.5";
  const std::vector<std::tuple<const char*, std::string, size_t>> keys = {
      {"a", "1", 3},
      {"long", "abcd", text.find("cd") + 2},
      {"esc", "$x\\\n", text.find("n$") + 2},
      {"num", "12.5", text.size()}};
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    auto profile = Open(text.substr(0, cut));
    for (const auto& [key, value, end] : keys) {
      std::string got = Get(*profile, key);
      EXPECT_TRUE(cut < end ? got.size() <= cut || got == kAbsent : got == value) << key << cut;
    }
  }
}

}  // namespace
