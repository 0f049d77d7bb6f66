// The B+ tree file against a std::multimap model, its capacity limit, page reuse, the
// header and its checksum, and damaged or truncated files.
#include "store/btree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/cache.h"
#include "store/fatal_test_helper.h"
#include "store/littleendian.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

using testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

// Keys of the model: text keys for BTreeFile, numbers for BTreeFile64. Data is a record
// serial (unique per insert) padded to the data size, so a record is known by its data.
struct TextKeys {
  using Key = std::string;
  static Key Make(std::mt19937& random, int space) {
    int n = std::uniform_int_distribution<int>(0, space - 1)(random);
    // Varying lengths: "k12" < "k12~" < "k120", as a bounded string comparison orders them.
    return "k" + std::to_string(n) + std::string(static_cast<size_t>(n % 4), '~');
  }
  static Bytes Encode(const BTreeFile& tree, const Key& key) {
    Bytes bytes(static_cast<size_t>(tree.key_size()));
    EXPECT_TRUE(tree.EncodeStringKey(key.c_str(), bytes.data()));
    return bytes;
  }
};

struct NumberKeys {
  using Key = int64_t;
  static Key Make(std::mt19937& random, int space) {
    int n = std::uniform_int_distribution<int>(0, space - 1)(random);
    return (n % 2 == 0 ? -1 : 1) * (int64_t{n} << 33);  // negative and positive, wide
  }
  static Bytes Encode(const BTreeFile&, Key key) {
    Bytes bytes(8);
    BTreeFile64::EncodeKey(key, bytes.data());
    return bytes;
  }
};

Bytes Data(const BTreeFile& tree, int64_t serial) {
  Bytes bytes(static_cast<size_t>(tree.data_size()), static_cast<uint8_t>(serial));
  PutI64(bytes.data(), serial);
  return bytes;
}

int64_t SerialAt(BTreeFile& tree, BTreePosition position) {
  Bytes data(static_cast<size_t>(tree.data_size()));
  if (!tree.ReadEntry(position, nullptr, data.data(), nullptr)) return -1;
  return GetI64(data.data());
}

template <class Codec>
class ModelRun {
 public:
  using Model = std::multimap<typename Codec::Key, int64_t>;

  ModelRun(BTreeFile& tree, int key_space) : tree_(tree), space_(key_space) {}

  // One random step; `grow` is the percentage of steps that insert.
  void Step(int grow) {
    int roll = Roll(100);
    typename Codec::Key key = Codec::Make(random_, space_);
    if (roll < grow) return Insert(key, Roll(4) == 0);
    if (roll < grow + 8) return ExpectFinds(key);
    if (roll < grow + 10) return RemoveLastAt(key);
    if (roll < grow + 12) return Rewrite(key);
    Remove(key);
  }

  // Removes every record, in random order, with rebalancing: as the tree empties, merges
  // and moves between neighbours reach its upper levels too.
  void Drain() {
    while (!model_.empty() && !testing::Test::HasFatalFailure()) {
      auto held = model_.lower_bound(Codec::Make(random_, space_));
      Remove(held != model_.end() ? held->first : model_.begin()->first);
    }
  }

  // The tree's own check, then every record in order both ways.
  void ExpectSameAsModel(bool backwards) {
    ASSERT_TRUE(tree_.Check());
    ASSERT_EQ(tree_.record_count(), static_cast<int32_t>(model_.size()));
    BTreePosition at = tree_.First();
    for (const auto& [key, serial] : model_) {
      ASSERT_EQ(SerialAt(tree_, at), serial);
      at = tree_.Next(at);
    }
    ASSERT_TRUE(at.IsNone());
    if (!backwards) return;
    at = tree_.Last();
    for (auto it = model_.rbegin(); it != model_.rend(); ++it) {
      ASSERT_EQ(SerialAt(tree_, at), it->second);
      at = tree_.Prev(at);
    }
    ASSERT_TRUE(at.IsNone());
  }

  int64_t inserted() const { return inserted_; }

 private:
  int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  void Insert(const typename Codec::Key& key, bool unique) {
    bool refused = unique && model_.count(key) > 0;
    Bytes data = Data(tree_, serial_);
    BTreePosition at = tree_.Insert(Codec::Encode(tree_, key).data(), data.data(), unique);
    ASSERT_EQ(at.IsNone(), refused);
    if (refused) return;
    ASSERT_EQ(SerialAt(tree_, at), serial_);
    model_.emplace(key, serial_++);
    ++inserted_;
  }

  void Remove(const typename Codec::Key& key) {
    auto first = model_.lower_bound(key);
    bool present = first != model_.end() && first->first == key;
    ASSERT_EQ(tree_.Remove(Codec::Encode(tree_, key).data()), present);
    if (present) model_.erase(first);
  }

  // The last equal record, without rebalancing half of the time.
  void RemoveLastAt(const typename Codec::Key& key) {
    BTreePosition at = tree_.Find(Codec::Encode(tree_, key).data(), BTreeFile::kFindLast);
    auto end = model_.upper_bound(key);
    if (end == model_.begin() || std::prev(end)->first != key) {
      EXPECT_TRUE(at.IsNone());
      return;
    }
    ASSERT_TRUE(tree_.RemoveAt(at, Roll(2) == 0));
    model_.erase(std::prev(end));
  }

  void Rewrite(const typename Codec::Key& key) {
    Bytes encoded = Codec::Encode(tree_, key);
    BTreePosition at = tree_.Find(encoded.data(), BTreeFile::kFindFirst);
    auto first = model_.lower_bound(key);
    if (first == model_.end() || first->first != key) {
      EXPECT_TRUE(at.IsNone());
      return;
    }
    Bytes data = Data(tree_, serial_);
    ASSERT_TRUE(tree_.WriteEntry(at, encoded.data(), data.data()));
    first->second = serial_++;
  }

  void ExpectFinds(const typename Codec::Key& key) {
    Bytes encoded = Codec::Encode(tree_, key);
    auto first = model_.lower_bound(key);
    auto end = model_.upper_bound(key);
    bool present = first != end;
    auto find = [&](int mode) { return SerialAt(tree_, tree_.Find(encoded.data(), mode)); };
    EXPECT_EQ(find(BTreeFile::kFindFirst), present ? first->second : -1);
    EXPECT_EQ(find(BTreeFile::kFindLast), present ? std::prev(end)->second : -1);
    BTreePosition any = tree_.Find(encoded.data(), BTreeFile::kFindAny);
    Bytes found_key(static_cast<size_t>(tree_.key_size()));
    EXPECT_EQ(tree_.ReadEntry(any, found_key.data(), nullptr, nullptr), present);
    if (present) {
      EXPECT_EQ(tree_.CompareKeys(found_key.data(), encoded.data(), tree_.key_size()), 0);
    }
    // Before: the greatest key below, else the first record.
    auto before = first != model_.begin() ? std::prev(first) : first;
    EXPECT_EQ(find(BTreeFile::kFindBefore), before != model_.end() ? before->second : -1);
    // Last-or-place: the last equal record, else where the key would go (maybe after the
    // last record of a page: then the record there is the next one).
    BTreePosition place = tree_.Find(encoded.data(), BTreeFile::kFindLastOrPlace);
    int64_t at_place = SerialAt(tree_, place);
    if (at_place < 0 && !place.IsNone()) at_place = SerialAt(tree_, tree_.Next(place));
    int64_t expected = present                 ? std::prev(end)->second
                       : first != model_.end() ? first->second
                                               : -1;
    EXPECT_EQ(at_place, expected);
    EXPECT_TRUE(tree_.Find(encoded.data(), 5).IsNone());
  }

  BTreeFile& tree_;
  int space_;
  std::mt19937 random_{1234567};
  Model model_;
  int64_t serial_ = 0;
  int64_t inserted_ = 0;
};

struct ModelCase {
  const char* name;
  bool numbers;
  int key_size;
  int data_size;
  int capacity;
  int depth;
  int64_t cache_bytes;  // the tree over a page cache of 8192-byte pages; 0: a plain file
  int steps;
  int min_inserted;
};

// Test names and failure messages show the case by its name.
void PrintTo(const ModelCase& c, std::ostream* out) {
  *out << c.name;
}

class BTreeModelTest : public testing::TestWithParam<ModelCase> {
 protected:
  template <class Codec>
  void Run(BTreeFile& tree) {
    const ModelCase& c = GetParam();
    ModelRun<Codec> run(tree, 30000);
    int batch = c.steps / 20;
    // Grow, churn, shrink, checking the whole tree after every batch; then drain it.
    for (int step = 1; step <= c.steps; ++step) {
      int phase = step * 3 / (c.steps + 1);
      run.Step(phase == 0 ? 85 : phase == 1 ? 55 : 20);
      if (HasFatalFailure()) return;
      if (step % batch == 0) {
        SCOPED_TRACE("step " + std::to_string(step));
        run.ExpectSameAsModel(step % (5 * batch) == 0);
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_GE(run.inserted(), c.min_inserted);
    run.Drain();
    run.ExpectSameAsModel(false);
    EXPECT_EQ(tree.root(), -1);
    EXPECT_EQ(tree.CountFreePages(), tree.page_count());
    EXPECT_TRUE(tree.Check());
  }
};

TEST_P(BTreeModelTest, MatchesAMultimapThroughInsertsFindsAndRemoves) {
  const ModelCase& c = GetParam();
  TempDir dir;
  std::string path = dir / "model.idx";
  PageCacheFile cache(std::max<int64_t>(c.cache_bytes, 8192), 8192);
  std::unique_ptr<BTreeFile> tree;
  if (c.cache_bytes > 0) {
    ASSERT_EQ(cache.Open(path.c_str(), kModeCreate | kModeReadWrite), 1);
    tree = c.numbers ? std::make_unique<BTreeFile64>(&cache, BTreeFile::kCheckReport)
                     : std::make_unique<BTreeFile>(&cache, BTreeFile::kCheckReport);
  } else {
    tree = c.numbers ? std::make_unique<BTreeFile64>() : std::make_unique<BTreeFile>();
  }
  ASSERT_TRUE(tree->Create(path.c_str(), c.key_size, c.data_size, c.capacity, c.depth));
  if (c.numbers) {
    Run<NumberKeys>(*tree);
  } else {
    Run<TextKeys>(*tree);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BTreeModelTest,
    testing::Values(
        // The long run: small pages, so splits and (in the drain) merges happen at every
        // level below the root of 7; a cache that holds the whole file keeps it fast.
        ModelCase{"LongDeepTextTree", false, 20, 8, 6, 7, 16 << 20, 80000, 33000},
        // The path index's shape in the files cache's arrangement: 16 cached pages.
        ModelCase{"PathIndexShape", false, 250, 8, 256, 3, 131072, 20000, 9000},
        // Numeric keys, an odd capacity (halves of 2 and 3), a plain file.
        ModelCase{"NumberTreeOnPlainFile", true, 8, 24, 5, 8, 0, 10000, 4500}),
    [](const testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });

class BTreeFileTest : public testing::Test {
 protected:
  BTreePosition Insert(BTreeFile& tree, const std::string& text, bool unique = false) {
    Bytes key(static_cast<size_t>(tree.key_size()));
    EXPECT_TRUE(tree.EncodeStringKey(text.c_str(), key.data()));
    Bytes data = Data(tree, serial_++);
    return tree.Insert(key.data(), data.data(), unique);
  }
  bool Remove(BTreeFile& tree, const std::string& text) {
    Bytes key(static_cast<size_t>(tree.key_size()));
    return tree.EncodeStringKey(text.c_str(), key.data()) && tree.Remove(key.data());
  }
  BTreePosition Find(BTreeFile& tree, const std::string& text) {
    Bytes key(static_cast<size_t>(tree.key_size()));
    EXPECT_TRUE(tree.EncodeStringKey(text.c_str(), key.data()));
    return tree.Find(key.data(), BTreeFile::kFindAny);
  }
  static std::string Name(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "key%04d", i);
    return text;
  }

  TempDir dir_;
  int64_t serial_ = 0;
};

// Capacity 4 and depth 2 hold 4 * 4 records when the pages fill: ascending inserts fill
// them through the neighbour moves. The seventeenth has nowhere to go.
TEST_F(BTreeFileTest, AFullPathRefusesTheInsertAndKeepsTheTree) {
  BTreeFile tree;
  ASSERT_TRUE(tree.Create((dir_ / "full.idx").c_str(), 16, 8, 4, 2));
  for (int i = 0; i < 16; ++i) ASSERT_FALSE(Insert(tree, Name(i)).IsNone()) << i;
  int32_t pages = tree.page_count();
  int64_t length = static_cast<int64_t>(fs::file_size(dir_ / "full.idx"));
  EXPECT_TRUE(Insert(tree, Name(16)).IsNone());
  EXPECT_TRUE(Insert(tree, Name(99)).IsNone());
  EXPECT_TRUE(Insert(tree, "a").IsNone());
  EXPECT_EQ(tree.record_count(), 16);
  EXPECT_EQ(tree.page_count(), pages);
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(dir_ / "full.idx")), length);
  EXPECT_TRUE(tree.Check());
  for (int i = 0; i < 16; ++i) EXPECT_FALSE(Find(tree, Name(i)).IsNone()) << i;
  // One free slot is enough again.
  ASSERT_TRUE(Remove(tree, Name(5)));
  EXPECT_FALSE(Insert(tree, Name(5)).IsNone());
  EXPECT_TRUE(tree.Check());
}

TEST_F(BTreeFileTest, EmptyingFreesEveryPageAndInsertsReuseThemBeforeTheFileGrows) {
  std::string path = dir_ / "reuse.idx";
  BTreeFile tree;
  ASSERT_TRUE(tree.Create(path.c_str(), 16, 8, 8, 4));
  std::vector<std::string> names;
  for (int i = 0; i < 400; ++i) names.push_back(Name(i * 7 % 400));
  for (const std::string& name : names) ASSERT_FALSE(Insert(tree, name).IsNone());
  std::shuffle(names.begin(), names.end(), std::mt19937(5));
  for (const std::string& name : names) ASSERT_TRUE(Remove(tree, name)) << name;
  int32_t pages = tree.page_count();
  CString dump;
  tree.Dump(&dump);
  EXPECT_NE(std::string(dump.GetString()).find("free page(" + std::to_string(pages) + "):"),
            std::string::npos);

  uintmax_t length = fs::file_size(path);
  int reused = 0;
  for (const std::string& name : names) {
    int64_t free_before = tree.CountFreePages();
    ASSERT_FALSE(Insert(tree, name).IsNone()) << name << " after " << reused;
    if (tree.page_count() > pages) {
      // A split takes pages only when the free list cannot cover a whole cascade.
      EXPECT_LT(free_before, tree.depth());
      break;
    }
    EXPECT_EQ(fs::file_size(path), length);
    ++reused;
  }
  EXPECT_GT(reused, 300);
  EXPECT_TRUE(tree.RemoveAll());
  EXPECT_EQ(tree.record_count(), 0);
  EXPECT_EQ(tree.CountFreePages(), tree.page_count());
}

TEST_F(BTreeFileTest, KeysAreRefusedNotCutAndCompareUpToTheirEnd) {
  BTreeFile tree;
  ASSERT_TRUE(tree.Create((dir_ / "keys.idx").c_str(), 250, 8, 256, 3));
  Bytes key(250, 0xEE);
  EXPECT_FALSE(tree.EncodeStringKey(std::string(250, 'p').c_str(), key.data()));
  EXPECT_EQ(key[0], 0xEE) << "a refused key leaves the buffer alone";
  EXPECT_TRUE(tree.EncodeStringKey(std::string(249, 'p').c_str(), key.data()));
  EXPECT_FALSE(tree.Insert(key.data(), nullptr, true).IsNone());
  ASSERT_TRUE(tree.EncodeStringKey("c:\\a.blob", key.data()));
  EXPECT_FALSE(tree.Insert(key.data(), nullptr, true).IsNone());
  // Bytes after the NUL do not count: this is the same key.
  key[200] = 'z';
  EXPECT_TRUE(tree.Insert(key.data(), nullptr, true).IsNone());
  BTreePosition at = tree.Find(key.data(), BTreeFile::kFindAny);
  Bytes data(8, 0);
  ASSERT_TRUE(tree.ReadEntry(at, nullptr, data.data(), nullptr));
  EXPECT_EQ(data, Bytes(8, 0)) << "no data stores zeros";
  // Rewriting keeps the order: an equal key is allowed, another is not.
  Bytes other(250, 0);
  EXPECT_FALSE(tree.WriteEntry(at, other.data(), Data(tree, 7).data()));
  EXPECT_TRUE(tree.WriteEntry(at, key.data(), Data(tree, 7).data()));
  EXPECT_EQ(SerialAt(tree, at), 7);
  EXPECT_TRUE(tree.Check());
}

TEST_F(BTreeFileTest, CreateRefusesOversizedKeysAndData) {
  BTreeFile tree;
  std::string path = dir_ / "big.idx";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(tree.Create(path.c_str(), 1025, 8, 4, 2));
  EXPECT_FALSE(tree.Create(path.c_str(), 8, 1025, 4, 2));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "BTreeFile::create : key size is too large\n"
            "BTreeFile::create : data size is too large\n");
  EXPECT_FALSE(tree.is_open());
  ASSERT_TRUE(tree.Create(path.c_str(), 1024, 1024, 4, 2));
  EXPECT_EQ(tree.page_size(), 4 * (1024 + 1024 + 12) + 36);
  EXPECT_FALSE(Insert(tree, std::string(1023, 'x')).IsNone());
  EXPECT_TRUE(tree.Check());
}

TEST(BTreeFileDeathTest, ContractViolationsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir here;
  EXPECT_THAT(FatalErrorOf([] {
                BTreeFile64 tree;
                tree.Create("numbers.idx", 12, 8, 4, 2);  // numbers are 8 bytes
              }),
              HasSubstr("internal error:btree "));
  EXPECT_THAT(FatalErrorOf([] {
                BTreeFile tree;
                tree.Create("tiny.idx", 8, 8, 1, 2);  // a page must split in two
              }),
              HasSubstr("internal error:btree "));
  EXPECT_THAT(FatalErrorOf([] {
                BTreeFile tree;
                tree.Find("key", BTreeFile::kFindAny);  // before Create or Open
              }),
              HasSubstr("internal error:btree "));
}

class BTreeFileOnDiskTest : public BTreeFileTest {
 protected:
  // A closed tree file of 300 records (some duplicated) with small pages, as bytes.
  std::string MakeFile() {
    std::string path = dir_ / "pristine.idx";
    BTreeFile tree;
    EXPECT_TRUE(tree.Create(path.c_str(), 12, 8, 6, 4));
    for (int i = 0; i < 300; ++i) EXPECT_FALSE(Insert(tree, Name(i * 13 % 250)).IsNone());
    tree.Close();
    return ReadFileBytes(path);
  }
  bool Opens(const std::string& bytes) {
    std::string path = dir_ / "copy.idx";
    WriteFileBytes(path, bytes);
    BTreeFile tree;
    return tree.Open(path.c_str());
  }
};

TEST_F(BTreeFileOnDiskTest, HeaderLoadsBackAndAnyChangedByteFailsTheLoad) {
  std::string bytes = MakeFile();
  const uint8_t* header = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x32\x15\0\0", 4));
  EXPECT_EQ(GetI32(header + 4), 12);
  EXPECT_EQ(GetI32(header + 8), 8);
  EXPECT_EQ(GetI32(header + 32), 6);
  EXPECT_EQ(GetI32(header + 36), 4);
  EXPECT_EQ(GetI32(header + 40), 300);
  EXPECT_EQ(GetI32(header + 44), 1) << "closed";
  EXPECT_EQ(GetU32(header + 60), adler32(0L, header, 60)) << "the running value starts at 0";
  int32_t pages = GetI32(header + 28);
  EXPECT_EQ(bytes.size(), 64u + static_cast<size_t>(pages) * (6 * 32 + 36));
  EXPECT_EQ(bytes.substr(64, 4), std::string("\x54\x76\0\0", 4));

  // Back through the page cache, as the files cache would hold it.
  std::string path = dir_ / "again.idx";
  WriteFileBytes(path, bytes);
  PageCacheFile cache(131072, 8192);
  ASSERT_EQ(cache.Open(path.c_str(), kModeReadWrite), 1);
  BTreeFile tree(&cache, BTreeFile::kCheckReport);
  ASSERT_TRUE(tree.LoadHeader());
  EXPECT_EQ(tree.record_count(), 300);
  EXPECT_TRUE(tree.Check());
  EXPECT_FALSE(Find(tree, Name(13)).IsNone());
  BTreeFile64 numbers(&cache, BTreeFile::kCheckReport);
  EXPECT_FALSE(numbers.LoadHeader()) << "12-byte keys cannot be ordered as numbers";

  for (int at = 0; at < 64; ++at) {
    std::string changed = bytes;
    changed[static_cast<size_t>(at)] ^= 0x10;
    EXPECT_FALSE(Opens(changed)) << "byte " << at;
  }
  // A sound checksum over a page count the file cannot hold, and a truncated file.
  std::string more = bytes;
  PutI32(reinterpret_cast<uint8_t*>(more.data()) + 28, pages + 1);
  PutU32(reinterpret_cast<uint8_t*>(more.data()) + 60,
         adler32(0L, reinterpret_cast<const uint8_t*>(more.data()), 60));
  EXPECT_FALSE(Opens(more));
  for (size_t length : {size_t{0}, size_t{63}, size_t{64}, size_t{100}, bytes.size() - 1}) {
    EXPECT_FALSE(Opens(bytes.substr(0, length))) << length;
  }
  EXPECT_TRUE(Opens(bytes));
}

// Damaged pages behind a sound header: every operation must end cleanly, and whatever bad
// page an operation met, the check must see too. Run under ASan this also shows that no
// read or write leaves its buffers.
TEST_F(BTreeFileOnDiskTest, DamagedPagesFailCleanly) {
  std::string bytes = MakeFile();
  int32_t pages = GetI32(reinterpret_cast<const uint8_t*>(bytes.data()) + 28);
  const int64_t page_size = 6 * 32 + 36;
  std::mt19937 random(77);
  auto pick = [&](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
  };
  const int64_t kNastyValues[] = {-2, -1, 0, 1, pages - 1, pages, 1 << 30, INT64_MAX};
  // A page header field (count, next, prev, parent, level) or an entry's child.
  struct Field {
    int64_t offset;
    int width;
  };
  const Field kFields[] = {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 4}, {36 + 20, 8}};
  // Every field gets every nasty value once, on a random page; as many trials flip bytes.
  constexpr int kFieldTrials = 6 * 8;
  constexpr int kTrials = 2 * kFieldTrials;
  int noticed = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    std::string damaged = bytes;
    uint8_t* base = reinterpret_cast<uint8_t*>(damaged.data());
    int64_t page_start = 64 + pick(0, pages - 1) * page_size;
    if (trial < kFieldTrials) {
      Field field = kFields[trial % 6];
      if (field.offset == 56) field.offset += 32 * pick(0, 5);
      int64_t value = kNastyValues[trial / 6];
      if (field.width == 4) PutI32(base + page_start + field.offset, static_cast<int32_t>(value));
      if (field.width == 8) PutI64(base + page_start + field.offset, value);
    } else {
      for (int n = 0; n < 4; ++n) base[pick(64, static_cast<int64_t>(damaged.size()) - 1)] ^= 0x5A;
    }
    std::string path = dir_ / "damaged.idx";
    WriteFileBytes(path, damaged);
    BTreeFile tree(trial % 3 == 0 ? BTreeFile::kCheckReport : BTreeFile::kCheckRecord);
    ASSERT_TRUE(tree.Open(path.c_str()));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 250; i += 7) {
      Bytes key(12);
      tree.EncodeStringKey(Name(i).c_str(), key.data());
      for (int mode = 0; mode <= 4; ++mode) tree.Find(key.data(), mode);
    }
    BTreePosition at = tree.First();
    for (int steps = 0; !at.IsNone() && steps < 400; ++steps) at = tree.Next(at);
    bool bad = tree.last_bad_page() >= 0;
    bool sound = tree.Check();
    for (int i = 0; i < 40; ++i) {
      Insert(tree, Name(static_cast<int>(pick(0, 300))));
      Remove(tree, Name(static_cast<int>(pick(0, 300))));
    }
    tree.RemoveAll();
    tree.Close();
    std::string printed = testing::internal::GetCapturedStdout();
    if (bad) {
      EXPECT_FALSE(sound);
      // Each bad page leaves an error-trace entry that names it, with the stack.
      EXPECT_NE(printed.find("]-------\r\nbtree error:"), std::string::npos);
    }
    if (bad || !sound) ++noticed;
  }
  EXPECT_GT(noticed, kTrials / 2) << "most damage must be seen";
}

}  // namespace
