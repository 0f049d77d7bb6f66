#include "store/btree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "store/cache.h"
#include "store/fatal_test_helper.h"
#include "store/littleendian.h"
#include "testing/temp_dir.h"

namespace {

using testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

// Text keys of varied length ("k12" < "k12~" < "k120") or wide signed numbers; data is a serial.
template <class Key>
Key MakeKey(std::mt19937& random) {
  int n = std::uniform_int_distribution<int>(0, 29999)(random);
  if constexpr (std::is_same_v<Key, int64_t>)
    return (n % 2 == 0 ? -1 : 1) * (int64_t{n} << 33);
  else
    return "k" + std::to_string(n) + std::string(static_cast<size_t>(n % 4), '~');
}

template <class Key>
Bytes Encode(const BTreeFile& tree, const Key& key) {
  Bytes bytes(static_cast<size_t>(tree.key_size()));
  if constexpr (std::is_same_v<Key, int64_t>)
    BTreeFile64::EncodeKey(key, bytes.data());
  else
    EXPECT_TRUE(tree.EncodeStringKey(key.c_str(), bytes.data()));
  return bytes;
}

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

template <class Key>
class ModelRun {
 public:
  explicit ModelRun(BTreeFile& tree) : tree_(tree) {}

  void Step(int grow) {
    int roll = Roll(100);
    Key key = MakeKey<Key>(random_);
    if (roll < grow) return Insert(key, Roll(4) == 0);
    if (roll < grow + 8) return ExpectFinds(key);
    if (roll < grow + 12) return RewriteOrRemoveLast(key, roll < grow + 10);
    Remove(key);
  }

  // Grow, churn, shrink; drain (merges reach the upper levels); refill into the free pages.
  void Run(int steps) {
    int batch = steps / 20;
    for (int step = 1; step <= steps && !testing::Test::HasFatalFailure(); ++step) {
      int phase = step * 3 / (steps + 1);
      Step(phase == 0 ? 85 : phase == 1 ? 55 : 20);
      if (step % batch != 0) continue;
      SCOPED_TRACE("step " + std::to_string(step));
      ExpectSameAsModel(step % (5 * batch) == 0);
    }
    while (!model_.empty() && !testing::Test::HasFatalFailure()) {
      auto held = model_.lower_bound(MakeKey<Key>(random_));
      Remove(held != model_.end() ? held->first : model_.begin()->first);
    }
    ExpectSameAsModel(false);
    int32_t pages = tree_.page_count();
    EXPECT_EQ(tree_.CountFreePages(), pages);
    for (int step = 0; step < steps / 10; ++step) Step(100);
    EXPECT_EQ(tree_.page_count(), pages);
    ExpectSameAsModel(false);
  }

  void ExpectSameAsModel(bool backwards) {
    ASSERT_TRUE(tree_.Check());
    ASSERT_EQ(tree_.record_count(), static_cast<int32_t>(model_.size()));
    BTreePosition at = tree_.First();
    for (auto it = model_.begin(); it != model_.end(); ++it, at = tree_.Next(at)) {
      ASSERT_EQ(SerialAt(tree_, at), it->second);
    }
    ASSERT_TRUE(at.IsNone());
    at = backwards ? tree_.Last() : BTreePosition();
    for (auto it = model_.rbegin(); backwards && it != model_.rend(); ++it, at = tree_.Prev(at)) {
      ASSERT_EQ(SerialAt(tree_, at), it->second);
    }
    ASSERT_TRUE(at.IsNone());
  }

 private:
  int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  void Insert(const Key& key, bool unique) {
    bool refused = unique && model_.count(key) > 0;
    BTreePosition at = tree_.Insert(Encode(tree_, key).data(), Data(tree_, serial_).data(), unique);
    ASSERT_EQ(at.IsNone(), refused);
    if (refused) return;
    ASSERT_EQ(SerialAt(tree_, at), serial_);
    model_.emplace(key, serial_++);
  }

  void Remove(const Key& key) {
    auto first = model_.lower_bound(key);
    bool present = first != model_.end() && first->first == key;
    ASSERT_EQ(tree_.Remove(Encode(tree_, key).data()), present);
    if (present) model_.erase(first);
  }

  void RewriteOrRemoveLast(const Key& key, bool remove) {
    Bytes encoded = Encode(tree_, key);
    BTreePosition at =
        tree_.Find(encoded.data(), remove ? BTreeFile::kFindLast : BTreeFile::kFindFirst);
    auto first = model_.lower_bound(key), end = model_.upper_bound(key);
    ASSERT_EQ(at.IsNone(), first == end);
    if (first == end) return;
    if (remove) {
      ASSERT_TRUE(tree_.RemoveAt(at, Roll(2) == 0));
      return (void)model_.erase(std::prev(end));
    }
    ASSERT_TRUE(tree_.WriteEntry(at, encoded.data(), Data(tree_, serial_).data()));
    first->second = serial_++;
  }

  void ExpectFinds(const Key& key) {
    Bytes encoded = Encode(tree_, key);
    auto first = model_.lower_bound(key), end = model_.upper_bound(key);
    auto serial = [&](auto it) { return it != model_.end() ? it->second : -1; };
    auto find = [&](int mode) { return SerialAt(tree_, tree_.Find(encoded.data(), mode)); };
    EXPECT_EQ(find(BTreeFile::kFindFirst), first != end ? first->second : -1);
    EXPECT_EQ(find(BTreeFile::kFindLast), first != end ? std::prev(end)->second : -1);
    int64_t any = find(BTreeFile::kFindAny);
    EXPECT_EQ(std::count_if(first, end, [&](const auto& r) { return r.second == any; }),
              first != end);
    EXPECT_EQ(find(BTreeFile::kFindBefore),
              serial(first != model_.begin() ? std::prev(first) : first));
    BTreePosition place = tree_.Find(encoded.data(), BTreeFile::kFindLastOrPlace);
    int64_t at_place = SerialAt(tree_, place);
    if (at_place == -1 && !place.IsNone()) at_place = SerialAt(tree_, tree_.Next(place));
    EXPECT_EQ(at_place, first != end ? std::prev(end)->second : serial(first));
    EXPECT_TRUE(tree_.Find(encoded.data(), 5).IsNone());
  }

  BTreeFile& tree_;
  std::mt19937 random_{1234567};
  std::multimap<Key, int64_t> model_;
  int64_t serial_ = 1;
};

struct ModelCase {
  const char* name;
  bool numbers;
  int key_size, data_size, capacity, depth;
  int64_t cache_bytes;  // the tree over a page cache of 8192-byte pages; 0: a plain file
  int steps;
};

template <class Tree>
std::unique_ptr<BTreeFile> MakeTree(BaseFile* file) {
  if (file == nullptr) return std::make_unique<Tree>();
  return std::make_unique<Tree>(file, BTreeFile::kCheckReport);
}

class BTreeModelTest : public testing::TestWithParam<ModelCase> {};

TEST_P(BTreeModelTest, MatchesAMultimapThroughInsertsFindsAndRemoves) {
  const ModelCase& c = GetParam();
  TempDir dir;
  std::string path = dir / "model.idx";
  PageCacheFile cache(std::max<int64_t>(c.cache_bytes, 8192), 8192);
  BaseFile* file = c.cache_bytes > 0 ? &cache : nullptr;
  ASSERT_TRUE(file == nullptr || cache.Open(path.c_str(), kModeCreate | kModeReadWrite) == 1);
  std::unique_ptr<BTreeFile> tree =
      c.numbers ? MakeTree<BTreeFile64>(file) : MakeTree<BTreeFile>(file);
  ASSERT_TRUE(tree->Create(path.c_str(), c.key_size, c.data_size, c.capacity, c.depth));
  c.numbers ? ModelRun<int64_t>(*tree).Run(c.steps) : ModelRun<std::string>(*tree).Run(c.steps);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BTreeModelTest,
    testing::Values(ModelCase{"LongDeepTextTree", false, 20, 8, 6, 7, 16 << 20, 80000},
                    ModelCase{"PathIndexShape", false, 250, 8, 256, 3, 131072, 20000},
                    ModelCase{"NumberTreeOnPlainFile", true, 8, 24, 5, 8, 0, 10000}),
    [](const testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });

class BTreeFileTest : public testing::Test {
 protected:
  BTreePosition Insert(BTreeFile& tree, const std::string& text) {
    return tree.Insert(Encode(tree, text).data(), Data(tree, serial_++).data(), false);
  }
  static std::string Name(int i) { return "key" + std::to_string(1000 + i); }
  static uint8_t* Header(std::string& file) { return reinterpret_cast<uint8_t*>(file.data()); }
  std::string MakeFile() {
    BTreeFile tree;
    EXPECT_TRUE(tree.Create((dir_ / "pristine.idx").c_str(), 12, 8, 6, 4));
    for (int i = 0; i < 300; ++i) EXPECT_FALSE(Insert(tree, Name(i * 13 % 250)).IsNone());
    tree.Close();
    return ReadFileBytes(dir_ / "pristine.idx");
  }
  template <class Tree = BTreeFile>
  bool Opens(const std::string& bytes) {
    WriteFileBytes(dir_ / "copy.idx", bytes);
    return Tree().Open((dir_ / "copy.idx").c_str());
  }

  TempDir dir_;
  int64_t serial_ = 0;
};

// Capacity 4 and depth 2 hold 4 * 4 records (ascending inserts fill the pages): no more.
TEST_F(BTreeFileTest, AFullPathRefusesTheInsertAndKeepsTheTree) {
  BTreeFile tree;
  ASSERT_TRUE(tree.Create((dir_ / "full.idx").c_str(), 16, 8, 4, 2));
  for (int i = 0; i < 16; ++i) ASSERT_FALSE(Insert(tree, Name(i)).IsNone()) << i;
  EXPECT_TRUE(Insert(tree, Name(16)).IsNone() && Insert(tree, "a").IsNone());
  EXPECT_EQ(tree.record_count(), 16);
  EXPECT_TRUE(tree.Check());
  ASSERT_TRUE(tree.Remove(Encode(tree, Name(5)).data()));
  EXPECT_FALSE(Insert(tree, Name(5)).IsNone());
}

TEST_F(BTreeFileTest, KeysAreRefusedNotCutAndCompareUpToTheirEnd) {
  BTreeFile tree;
  std::string path = dir_ / "keys.idx";
  EXPECT_FALSE(tree.Create(path.c_str(), 1025, 8, 4, 2) ||
               tree.Create(path.c_str(), 8, 1025, 4, 2));
  ASSERT_TRUE(tree.Create(path.c_str(), 1024, 8, 4, 2));
  Bytes key(1024, 0xEE);
  EXPECT_FALSE(tree.EncodeStringKey(std::string(1024, 'p').c_str(), key.data()));
  ASSERT_TRUE(tree.EncodeStringKey("c:\\a.blob", key.data()));
  EXPECT_FALSE(tree.Insert(key.data(), nullptr, true).IsNone());
  key[200] = 'z';
  EXPECT_TRUE(tree.Insert(key.data(), nullptr, true).IsNone());
  BTreePosition at = tree.Find(key.data(), BTreeFile::kFindAny);
  EXPECT_FALSE(tree.WriteEntry(at, Bytes(1024, 0).data(), Data(tree, 7).data()));
  EXPECT_TRUE(tree.WriteEntry(at, key.data(), Data(tree, 7).data()));
  EXPECT_EQ(SerialAt(tree, at), 7);
}

TEST(BTreeFileDeathTest, ContractViolationsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir here;
  for (auto misuse : {+[] { BTreeFile64().Create("numbers.idx", 12, 8, 4, 2); },
                      +[] { BTreeFile().Create("tiny.idx", 8, 8, 1, 2); },
                      +[] { BTreeFile().Find("key", BTreeFile::kFindAny); }}) {
    EXPECT_THAT(FatalErrorOf(misuse), HasSubstr("internal error:btree "));
  }
}

// Also a page count the file cannot hold (under a sound checksum) and a truncated file.
TEST_F(BTreeFileTest, AnyChangedHeaderByteFailsTheLoad) {
  std::string bytes = MakeFile();
  auto adler = [](std::string& file) { return adler32(0L, Header(file), 60); };
  EXPECT_EQ(GetU32(Header(bytes) + 60), adler(bytes)) << "the running value starts at 0";
  for (int at = 0; at < 64; ++at) {
    std::string changed = bytes;
    changed[static_cast<size_t>(at)] ^= 0x10;
    EXPECT_FALSE(Opens(changed)) << "byte " << at;
  }
  std::string more = bytes;
  PutI32(Header(more) + 28, GetI32(Header(more) + 28) + 1);
  PutU32(Header(more) + 60, adler(more));
  EXPECT_FALSE(Opens(more));
  for (size_t length : {size_t{0}, size_t{63}, size_t{64}, size_t{100}, bytes.size() - 1}) {
    EXPECT_FALSE(Opens(bytes.substr(0, length))) << length;
  }
  EXPECT_FALSE(Opens<BTreeFile64>(bytes));
  EXPECT_TRUE(Opens(bytes));
}

// Every operation ends cleanly, and a bad page an operation met the check sees too. Each page
// header field and an entry's child gets every nasty value once; as many trials flip bytes.
TEST_F(BTreeFileTest, DamagedPagesFailCleanly) {
  std::string bytes = MakeFile();
  int32_t pages = GetI32(Header(bytes) + 28);
  std::mt19937 random(77);
  auto pick = [&](int64_t high) { return std::uniform_int_distribution<int64_t>(0, high)(random); };
  const int64_t kNasty[] = {-2, -1, 0, 1, pages - 1, pages, 1 << 30, INT64_MAX};
  const std::pair<int64_t, int> kFields[] = {{4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 4}, {56, 8}};
  int noticed = 0;
  for (int trial = 0; trial < 96; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    std::string damaged = bytes;
    uint8_t* page = Header(damaged) + 64 + pick(pages - 1) * 228;
    auto [offset, width] = kFields[trial % 6];
    if (offset == 56) offset += 32 * pick(5);
    if (trial < 48 && width == 4) PutI32(page + offset, static_cast<int32_t>(kNasty[trial / 6]));
    if (trial < 48 && width == 8) PutI64(page + offset, kNasty[trial / 6]);
    for (int n = 0; trial >= 48 && n < 4; ++n) {
      damaged[static_cast<size_t>(64 + pick(static_cast<int64_t>(damaged.size()) - 65))] ^= 0x5A;
    }
    WriteFileBytes(dir_ / "damaged.idx", damaged);
    BTreeFile tree(trial % 3 == 0 ? BTreeFile::kCheckReport : BTreeFile::kCheckRecord);
    ASSERT_TRUE(tree.Open((dir_ / "damaged.idx").c_str()));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 250 * 5; i += 7) tree.Find(Encode(tree, Name(i / 5)).data(), i % 5);
    BTreePosition at = tree.First();
    for (int steps = 0; !at.IsNone() && steps < 400; ++steps) at = tree.Next(at);
    bool bad = tree.last_bad_page() >= 0;
    bool sound = tree.Check();
    for (int i = 0; i < 40; ++i) {
      Insert(tree, Name(static_cast<int>(pick(300))));
      tree.Remove(Encode(tree, Name(static_cast<int>(pick(300)))).data());
    }
    tree.RemoveAll();
    tree.Close();
    bool traced = testing::internal::GetCapturedStdout().find("]-------\r\nbtree error:") !=
                  std::string::npos;
    EXPECT_TRUE(!bad || (!sound && traced));
    noticed += bad || !sound;
  }
  EXPECT_GT(noticed, 48) << "most damage must be seen";
}

}  // namespace
