// The profile file: what the reader makes of lines (trimming, keys, comments, continuation,
// marks and escapes, numbers), the exact bytes the writer puts out with and without folding,
// round trips of random values against a model, and images cut short or made of garbage.
#include "app/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
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

  // The value of `name` in a profile whose file holds `bytes`.
  std::string Read(const std::string& bytes, const char* name) { return Get(*Open(bytes), name); }

  // The file after `change` ran on a profile loaded from `bytes` and was destroyed.
  template <class Change>
  std::string Written(const std::string& bytes, Change change, int fold_width = 60) {
    {
      std::unique_ptr<ProfileFile> profile = Open(bytes, fold_width);
      change(*profile);
    }
    return ReadFileBytes(path_);
  }

  // The file after SetString(name, value) on an empty profile folding at `fold_width`.
  std::string Folded(const char* name, const char* value, int fold_width) {
    return Written(
        "", [&](ProfileFile& p) { p.SetString(name, value); }, fold_width);
  }

  TempDir dir_;
  std::string path_ = dir_ / "pellary.pf";
};

// What the reader makes of a file: one row per key looked up in the file's bytes.
TEST_F(ProfileTest, TheReaderTakesLinesKeysCommentsContinuationsMarksAndEscapes) {
  struct Row {
    const char* name;
    std::string bytes;
    const char* key;
    std::string value;
  };
  const std::vector<Row> rows = {
      // Blanks round `=`: the key matches trimmed, the value keeps its leading blank.
      {"blanks round =", "srpc.server.port = 7027\r\n", "srpc.server.port", " 7027"},
      {"ascii white space", "a=1\r\n \t\v\fkey=v \t\r\r\nb=2", "key", "v"},
      // Bytes of 128 and above are text, at the ends of the line and of the key alike.
      {"high bytes in value", "k=\xA0v\xA0\n", "k", "\xA0v\xA0"},
      {"high bytes in key", "k\xA0=v\n", "k", kAbsent},
      // Control bytes are skipped before the first line only; elsewhere they belong to the key.
      {"control bytes first", "\x01\x02k=v\n", "k", "v"},
      {"control bytes later", "a=1\n\x01k=v\n", "k", kAbsent},
      {"key in capitals", "SRPC.MAXCLNT=50\r\nkeyx=1\r\nke=2\r\n", "srpc.maxclnt", "50"},
      {"key mixed case", "SRPC.MAXCLNT=50\r\nkeyx=1\r\nke=2\r\n", "Srpc.MaxClnt", "50"},
      {"key longer", "SRPC.MAXCLNT=50\r\nkeyx=1\r\nke=2\r\n", "key", kAbsent},
      {"key shorter", "SRPC.MAXCLNT=50\r\nkeyx=1\r\nke=2\r\n", "k", kAbsent},
      // Only the text before the first `=` is the key.
      {"first = ends the key", "a=b=c\n", "a", "b=c"},
      {"no key with =", "a=b=c\n", "a=b", kAbsent},
      {"NUL in a key", std::string("k\0x=1\n", 6), "k", kAbsent},
      {"comments", "# k=1\n;k=2\n\n   # k=3\r\n\r\nk=4\nk=5\n", "k", "4"},
      {"no comment inside", "x # not a comment=1\n", "x # not a comment", "1"},
      // An empty value counts as absent, and it still hides a later entry of the same key;
      // a line without `=` is a key with an empty value.
      {"empty hides later", "k=\nk=5\n", "k", kAbsent},
      {"no = hides later", "k\nk=5\n", "k", kAbsent},
      {"empty marks", "k=$$\n", "k", kAbsent},
      {"continuation", "k=abc&\n   $def\n", "k", "abcdef"},
      {"continuation over comments", "k=abc&\r\n\r\n# note\r\n; x=1\r\n\r\n   $def\r\nz=1\r\n", "k",
       "abcdef"},
      // A continuation line is value through and through, `=` and all, and can continue again.
      {"continued twice", "k=a&\nb=c&\n d \nb=2\n", "k", "ab=cd"},
      {"after continuation", "k=a&\nb=c&\n d \nb=2\n", "b", "2"},
      // An escaped `&` ends the entry; an escaped `\` before `&` does not.
      {"escaped &", "k=abc\\&\nx=1\n", "k", "abc&"},
      {"after escaped &", "k=abc\\&\nx=1\n", "x", "1"},
      {"escaped \\ before &", "k=abc\\\\&\n def\n", "k", "abc\\def"},
      // A `\` in the key escapes too: here it takes the `=`, and the `&` still ends the line.
      {"escape in key", "k\\=a&\n b\n", "k\\", "ab"},
      // An entry cut short by the end of the file keeps what it has.
      {"cut after &", "k=abc&", "k", "abc"},
      {"only a comment after &", "k=abc&\n# only a comment follows\n", "k", "abc"},
      {"marks", "log.dir=$ c:\\\\logs $\n", "log.dir", " c:\\logs "},
      {"escaped marks", "a=\\$x\\$\n", "a", "$x$"},
      {"inner marks", "a=x$y$z$\n", "a", "x$y$z"},
      {"escapes", "msg=one\\ntwo\\tthree\n", "msg", "one\ntwo\tthree"},
      {"escaped \\", "p=c:\\\\data\n", "p", "c:\\data"},
      {"\\ before a letter goes", "p=c:\\data\n", "p", "c:data"},
      {"a final \\ stays", "p=c:\\\n", "p", "c:\\"},
      {"only \\", "p=\\\n", "p", "\\"},
      // The marks of a continuation line are its own first and last characters.
      {"marks of a continuation", "k=$ a &\n  $ b $\n", "k", " a  b "},
      {"NUL in a value", std::string("k=a\0b\n", 6), "k", std::string("a\0b", 3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Read(row.bytes, row.key), row.value);
  }
}

TEST_F(ProfileTest, GetFloatConvertsDecimalTextLikeAtof) {
  std::unique_ptr<ProfileFile> profile = Open(
      "word=abc\nfrac=12.9\nexp= -3.5e2x\nneg=-0.5\nhalf=.5\nbare=1e\nhex=0x10\ninf=inf\n"
      "nan=nan\nempty=\n");
  // Not a number: 0, not the default; in double precision.
  const std::vector<std::pair<const char*, double>> rows = {
      {"word", 0.0}, {"frac", 12.9}, {"exp", -350.0}, {"neg", -0.5},
      {"half", 0.5}, {"bare", 1.0},  {"hex", 0.0},    {"inf", 0.0},
      {"nan", 0.0},  {"empty", 7.0}, {"missing", 7.0}};
  for (const auto& [key, value] : rows) EXPECT_EQ(profile->GetFloat(key, 7.0f), value) << key;
}

TEST_F(ProfileTest, MissingFileGivesDefaultsAndIsNotCreated) {
  {
    ProfileFile profile((dir_ / "absent.pf").c_str(), 60);
    CString value;
    profile.GetString("k", value, "d");
    EXPECT_EQ(value, "d");
    EXPECT_EQ(profile.GetFloat("n", 20.0f), 20.0);
    EXPECT_FALSE(profile.modified());
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "absent.pf"));
}

TEST_F(ProfileTest, FileIsReadOnceAndWrittenBackOnlyWhenModified) {
  {
    std::unique_ptr<ProfileFile> profile = Open("k=1\n");
    WriteFileBytes(path_, "k=2\n");
    EXPECT_EQ(Get(*profile, "k"), "1");
  }
  EXPECT_EQ(ReadFileBytes(path_), "k=2\n");

  std::unique_ptr<ProfileFile> profile = Open("k=1\n");
  profile->SetFloat("f", 2.5f);
  EXPECT_TRUE(profile->modified());
  EXPECT_EQ(profile->GetFloat("f", 0.0f), 2.5);
  WriteFileBytes(path_, "k=3\n");
  profile.reset();
  EXPECT_EQ(ReadFileBytes(path_), "k=1\nf=2.5000\r\n");

  // The path keeps the system's separator; writing back where no file can be made does
  // nothing.
  {
    ProfileFile nowhere((dir_ / "no/dir.pf").c_str(), 60);
    std::string expected = dir_ / "no/dir.pf";
    std::replace(expected.begin(), expected.end(), '/', '\\');
    EXPECT_EQ(std::string(nowhere.path()), expected);
    nowhere.SetString("k", "v");
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "no"));
}

TEST_F(ProfileTest, SetStringEscapesWhatTheReaderWouldTakeAway) {
  std::string bytes = Written("", [](ProfileFile& profile) {
    profile.SetString("k", " a&b ");
    profile.SetString("e", "");
    profile.SetString("s", "$x\\y\nz$");
    profile.SetString("m", "a$b\tc");
    profile.SetString("t", "\tx\r");
  });
  EXPECT_EQ(bytes,
            "k=$ a\\&b $\r\n"
            "e=\r\n"
            "s=\\$x\\\\y\\nz\\$\r\n"
            "m=a$b\tc\r\n"
            "t=$\tx\r$\r\n");
}

TEST_F(ProfileTest, SetStringFoldsAtTheFoldWidth) {
  // The column starts at the name's length plus one; escapes and marks count in full.
  EXPECT_EQ(Folded("key", "abcdefghijklmnopq", 10),
            "key=abcdef&\r\n    $ghijklmnop&\r\n    $q\r\n");
  EXPECT_EQ(Folded("k", "ab&cd", 6), "k=ab\\&&\r\n  $cd\r\n");
  EXPECT_EQ(Folded("k", " abcd", 5), "k=$ a&\r\n  $bcd\r\n");
  // A name longer than the fold width folds before the first value character.
  EXPECT_EQ(Folded("longname", " xy", 4), "longname=$&\r\n         $ xy\r\n");
  std::unique_ptr<ProfileFile> profile = Open(ReadFileBytes(path_));
  EXPECT_EQ(Get(*profile, "longname"), " xy");
}

TEST_F(ProfileTest, SetStringReplacesTheFirstEntryInPlace) {
  // A folded entry goes whole, with its continuation lines; the later duplicate stays.
  EXPECT_EQ(Written("# head\r\na=1\r\nk=old&\r\n  $er\r\nb=2\r\nk=second\r\n",
                    [](ProfileFile& p) { p.SetString("K", "new"); }),
            "# head\r\na=1\r\nK=new\r\nb=2\r\nk=second\r\n");
  // The replaced range ends behind a comment (even one ending in `&`) or an empty line inside
  // the entry.
  EXPECT_EQ(
      Written("k=a&\r\n# c&\r\n  $b\r\nz=1\r\n", [](ProfileFile& p) { p.SetString("k", "n"); }),
      "k=n\r\n  $b\r\nz=1\r\n");
  EXPECT_EQ(Written("k=a&\n\n  $b\n", [](ProfileFile& p) { p.SetString("k", "n"); }),
            "k=n\r\n  $b\n");
  // A last line without its LF is not run into by an appended entry.
  std::unique_ptr<ProfileFile> profile = Open("a=1");
  profile->SetString("b", "2");
  EXPECT_EQ(Get(*profile, "a"), "1");
  EXPECT_EQ(Get(*profile, "b"), "2");
  profile.reset();
  EXPECT_EQ(ReadFileBytes(path_), "a=1\r\nb=2\r\n");
}

// Random values of the characters the format treats specially, under names of several
// lengths and spellings, checked after every write against a model and again after the file
// was written back and loaded anew.
TEST_F(ProfileTest, RandomValuesReadBackEqualAtEveryFoldWidth) {
  const std::string alphabet = std::string("ab =#;&&\\\\$$\n\t\r\v\f\xA0\xFF") + "xyz";
  const std::vector<std::string> names = {"k", "Key", "srpc.server.addr", "a_rather_long_name"};
  std::mt19937 random(20070321);
  for (int fold_width : {1, 3, 10, 60, 1000}) {
    SCOPED_TRACE(fold_width);
    std::map<std::string, std::string> model;  // lower-cased name -> value
    std::unique_ptr<ProfileFile> profile = Open("# values\r\n", fold_width);
    for (int round = 0; round < 150; ++round) {
      std::string name = names[random() % names.size()];
      if (random() % 2 != 0) name[0] = static_cast<char>(std::toupper(name[0]));
      std::string value(random() % 90, ' ');
      for (char& ch : value) ch = alphabet[random() % alphabet.size()];
      profile->SetString(name.c_str(), value.c_str());
      for (char& ch : name) ch = static_cast<char>(std::tolower(ch));
      model[name] = value.empty() ? kAbsent : value;
      for (const auto& [key, expected] : model) ASSERT_EQ(Get(*profile, key.c_str()), expected);
    }
    profile.reset();  // written back before it is loaded anew
    profile = std::make_unique<ProfileFile>(path_.c_str(), fold_width);
    for (const auto& [key, expected] : model) EXPECT_EQ(Get(*profile, key.c_str()), expected);
  }
}

// Cut at every length, a profile gives every entry that lies whole before the cut.
TEST_F(ProfileTest, TruncatedFileGivesTheEntriesBeforeTheCut) {
  struct Key {
    const char* name;
    std::string value;
    size_t end;  // the offset behind the entry's last significant byte
  };
  const std::string text = "a=1\r\n# c\r\nlong=ab&\r\n  $cd\r\nesc=\\$x\\\\\\n$\r\nnum=12.5";
  const std::vector<Key> keys = {{"a", "1", 3},
                                 {"long", "abcd", text.find("cd") + 2},
                                 {"esc", "$x\\\n", text.find("n$") + 2},
                                 {"num", "12.5", text.size()}};
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::unique_ptr<ProfileFile> profile = Open(text.substr(0, cut));
    for (const Key& key : keys) {
      std::string value = Get(*profile, key.name);
      if (cut >= key.end) {
        EXPECT_EQ(value, key.value) << key.name << " cut at " << cut;
      }
      EXPECT_LE(value.size(), cut + sizeof(kAbsent));
    }
  }
}

// Garbage of the bytes the reader cares about: the answers stay inside the image, repeat
// themselves, and the writer still works on it (sanitizer builds check the bounds).
TEST_F(ProfileTest, GarbageNeverLeadsOutsideTheImage) {
  const std::string alphabet(
      "\\&$=#;\n\r \t\0\x01\x1f\x80\xff"
      "ak",
      17);
  std::mt19937 random(7027);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 200, ' ');
    for (char& ch : bytes) ch = alphabet[random() % alphabet.size()];
    std::unique_ptr<ProfileFile> profile = Open(bytes, 1 + static_cast<int>(random() % 8));
    for (const char* name : {"a", "k", ""}) {
      std::string value = Get(*profile, name);
      EXPECT_TRUE(value == kAbsent || value.size() <= bytes.size());
      EXPECT_EQ(Get(*profile, name), value);
      profile->GetFloat(name, 1.0f);
    }
    profile->SetString("k", "v&\\ $");
    profile->SetString("a", "");
    profile.reset();
    EXPECT_NE(ReadFileBytes(path_).find("a=\r\n"), std::string::npos);
  }
}

}  // namespace
