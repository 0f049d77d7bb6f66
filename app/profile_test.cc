// The profile file: what the reader makes of lines (trimming, keys, comments, continuation,
// marks and escapes, numbers), the exact bytes the writer puts out with and without folding,
// round trips of random values against a model, and images cut short or made of garbage.
#include "app/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
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
  void WriteFile(const std::string& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::unique_ptr<ProfileFile> Open(const std::string& bytes, int fold_width = 60) {
    WriteFile(bytes);
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

TEST_F(ProfileTest, LinesAreTrimmedOfAsciiWhiteSpaceOnly) {
  // Blanks round `=`: the key matches trimmed, the value keeps its leading blank.
  EXPECT_EQ(Read("srpc.server.port = 7027\r\n", "srpc.server.port"), " 7027");
  EXPECT_EQ(Read("a=1\r\n \t\v\fkey=v \t\r\r\nb=2", "key"), "v");
  // Bytes of 128 and above are text, at the ends of the line and of the key alike.
  EXPECT_EQ(Read("k=\xA0v\xA0\n", "k"), "\xA0v\xA0");
  EXPECT_EQ(Read("k\xA0=v\n", "k"), kAbsent);
  // Control bytes are skipped before the first line only; elsewhere they belong to the key.
  EXPECT_EQ(Read("\x01\x02k=v\n", "k"), "v");
  EXPECT_EQ(Read("a=1\n\x01k=v\n", "k"), kAbsent);
}

TEST_F(ProfileTest, KeysMatchWholeAndWithoutRegardToCase) {
  std::unique_ptr<ProfileFile> profile = Open("SRPC.MAXCLNT=50\r\nkeyx=1\r\nke=2\r\n");
  EXPECT_EQ(Get(*profile, "srpc.maxclnt"), "50");
  EXPECT_EQ(Get(*profile, "Srpc.MaxClnt"), "50");
  EXPECT_EQ(Get(*profile, "key"), kAbsent);
  EXPECT_EQ(Get(*profile, "k"), kAbsent);
  // Only the text before the first `=` is the key.
  EXPECT_EQ(Read("a=b=c\n", "a"), "b=c");
  EXPECT_EQ(Read("a=b=c\n", "a=b"), kAbsent);
  // A NUL byte in a key is part of it, not its end.
  EXPECT_EQ(Read(std::string("k\0x=1\n", 6), "k"), kAbsent);
}

TEST_F(ProfileTest, CommentsEmptyLinesAndTheFirstEntry) {
  EXPECT_EQ(Read("# k=1\n;k=2\n\n   # k=3\r\n\r\nk=4\nk=5\n", "k"), "4");
  EXPECT_EQ(Read("x # not a comment=1\n", "x # not a comment"), "1");
  // An empty value counts as absent, and it still hides a later entry of the same key;
  // a line without `=` is a key with an empty value.
  EXPECT_EQ(Read("k=\nk=5\n", "k"), kAbsent);
  EXPECT_EQ(Read("k\nk=5\n", "k"), kAbsent);
  EXPECT_EQ(Read("k=$$\n", "k"), kAbsent);
}

TEST_F(ProfileTest, ContinuationAcrossLinesCommentsAndEmptyLines) {
  EXPECT_EQ(Read("k=abc&\n   $def\n", "k"), "abcdef");
  EXPECT_EQ(Read("k=abc&\r\n\r\n# note\r\n; x=1\r\n\r\n   $def\r\nz=1\r\n", "k"), "abcdef");
  // A continuation line is value through and through, `=` and all, and can continue again.
  std::unique_ptr<ProfileFile> profile = Open("k=a&\nb=c&\n d \nb=2\n");
  EXPECT_EQ(Get(*profile, "k"), "ab=cd");
  EXPECT_EQ(Get(*profile, "b"), "2");
  // An escaped `&` ends the entry; an escaped `\` before `&` does not.
  profile = Open("k=abc\\&\nx=1\n");
  EXPECT_EQ(Get(*profile, "k"), "abc&");
  EXPECT_EQ(Get(*profile, "x"), "1");
  EXPECT_EQ(Read("k=abc\\\\&\n def\n", "k"), "abc\\def");
  // A `\` in the key escapes too: here it takes the `=`, and the `&` still ends the line.
  EXPECT_EQ(Read("k\\=a&\n b\n", "k\\"), "ab");
  // An entry cut short by the end of the file keeps what it has.
  EXPECT_EQ(Read("k=abc&", "k"), "abc");
  EXPECT_EQ(Read("k=abc&\n# only a comment follows\n", "k"), "abc");
}

TEST_F(ProfileTest, DollarMarksAndEscapes) {
  EXPECT_EQ(Read("log.dir=$ c:\\\\logs $\n", "log.dir"), " c:\\logs ");
  EXPECT_EQ(Read("a=\\$x\\$\n", "a"), "$x$");
  EXPECT_EQ(Read("a=x$y$z$\n", "a"), "x$y$z");
  EXPECT_EQ(Read("msg=one\\ntwo\\tthree\n", "msg"), "one\ntwo\tthree");
  EXPECT_EQ(Read("p=c:\\\\data\n", "p"), "c:\\data");
  EXPECT_EQ(Read("p=c:\\data\n", "p"), "c:data");  // `\` before an ordinary letter goes
  EXPECT_EQ(Read("p=c:\\\n", "p"), "c:\\");        // a final `\` stays
  EXPECT_EQ(Read("p=\\\n", "p"), "\\");
  // The marks of a continuation line are its own first and last characters.
  EXPECT_EQ(Read("k=$ a &\n  $ b $\n", "k"), " a  b ");
  // NUL bytes in a value are kept.
  EXPECT_EQ(Read(std::string("k=a\0b\n", 6), "k"), std::string("a\0b", 3));
}

TEST_F(ProfileTest, GetFloatConvertsDecimalTextLikeAtof) {
  std::unique_ptr<ProfileFile> profile = Open(
      "word=abc\nfrac=12.9\nexp= -3.5e2x\nneg=-0.5\nhalf=.5\nbare=1e\nhex=0x10\ninf=inf\n"
      "nan=nan\nempty=\n");
  EXPECT_EQ(profile->GetFloat("word", 7.0f), 0.0);   // not a number: 0, not the default
  EXPECT_EQ(profile->GetFloat("frac", 7.0f), 12.9);  // in double precision
  EXPECT_EQ(profile->GetFloat("exp", 7.0f), -350.0);
  EXPECT_EQ(profile->GetFloat("neg", 7.0f), -0.5);
  EXPECT_EQ(profile->GetFloat("half", 7.0f), 0.5);
  EXPECT_EQ(profile->GetFloat("bare", 7.0f), 1.0);
  EXPECT_EQ(profile->GetFloat("hex", 7.0f), 0.0);
  EXPECT_EQ(profile->GetFloat("inf", 7.0f), 0.0);
  EXPECT_EQ(profile->GetFloat("nan", 7.0f), 0.0);
  EXPECT_EQ(profile->GetFloat("empty", 7.0f), 7.0);
  EXPECT_EQ(profile->GetFloat("missing", 1000.0f), 1000.0);
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
    WriteFile("k=2\n");
    EXPECT_EQ(Get(*profile, "k"), "1");
  }
  EXPECT_EQ(ReadFileBytes(path_), "k=2\n");

  std::unique_ptr<ProfileFile> profile = Open("k=1\n");
  profile->SetFloat("f", 2.5f);
  EXPECT_TRUE(profile->modified());
  EXPECT_EQ(profile->GetFloat("f", 0.0f), 2.5);
  WriteFile("k=3\n");
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
