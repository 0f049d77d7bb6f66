// The B+ tree file's own check, its dump and the free-list count (contract in btree.h).
//
// The check visits the tree depth first, left to right, so it meets the pages of each level
// in their list order: the level links and the key order across pages are checked against
// the page met before at the same level.
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/dumpstack.h"
#include "store/btree.h"
#include "store/btree_internal.h"

namespace {

constexpr char kUnit[] = "btree";

// Printed issues per check; the count goes on.
constexpr int kMaxPrintedIssues = 20;

enum Seen : uint8_t { kUnseen = 0, kInTree = 1, kFree = 2 };

}  // namespace

struct BTreeFile::CheckWalk {
  CheckWalk(int32_t pages, int depth, int key_size)
      : seen(static_cast<size_t>(pages), kUnseen),
        last_page(static_cast<size_t>(depth), -1),
        last_next(static_cast<size_t>(depth), -1),
        last_key(static_cast<size_t>(depth) * key_size) {}

  std::vector<uint8_t> seen;
  // Per level: the page met last, its next link and its greatest key.
  std::vector<int64_t> last_page;
  std::vector<int64_t> last_next;
  std::vector<uint8_t> last_key;
  int64_t records = 0;
  int issues = 0;
};

bool BTreeFile::Check() {
  FATAL_CHECK(open_);
  CheckWalk walk(page_count_, depth_, key_size_);
  CheckPages(&walk);
  CheckFreeList(&walk);
  if (root_ >= 0) CheckSubtree(&walk, root_, 0, -1, nullptr);
  for (int level = 0; level < depth_; ++level) {
    int64_t last = walk.last_page[static_cast<size_t>(level)];
    if (last >= 0 && walk.last_next[static_cast<size_t>(level)] != -1) {
      CheckIssue(&walk, "level does not end", last);
    }
  }
  if (walk.records != record_count_) CheckIssue(&walk, "record count", walk.records);
  for (int32_t page = 0; page < page_count_; ++page) {
    if (walk.seen[static_cast<size_t>(page)] == kUnseen) {
      CheckIssue(&walk, "page neither in the tree nor free", page);
    }
  }
  if (walk.issues > 0 && check_mode_ == kCheckRecord) error_flag_ = 1;
  return walk.issues == 0;
}

void BTreeFile::CheckIssue(CheckWalk* walk, const char* what, int64_t page) {
  if (walk->issues++ < kMaxPrintedIssues) {
    std::printf("btree error:%s %d\n", what, static_cast<int>(page));
  }
}

void BTreeFile::CheckPages(CheckWalk* walk) {
  uint8_t bytes[kPageHeaderSize];
  for (int32_t page = 0; page < page_count_; ++page) {
    PageHeader header;
    if (!ReadAt(PageOffset(page), bytes, kPageHeaderSize)) {
      CheckIssue(walk, "page missing from the file", page);
      continue;
    }
    header.Decode(bytes);
    if (header.magic != btree_layout::kPageMagic) CheckIssue(walk, "page magic", page);
    if (header.level < -1 || header.level >= depth_) CheckIssue(walk, "page level", page);
  }
}

void BTreeFile::CheckFreeList(CheckWalk* walk) {
  for (int64_t page = first_free_; page >= 0;) {
    if (!ValidPage(page)) return CheckIssue(walk, "free list link", page);
    if (walk->seen[static_cast<size_t>(page)] != kUnseen) {
      return CheckIssue(walk, "free list loops", page);
    }
    walk->seen[static_cast<size_t>(page)] = kFree;
    PageHeader header;
    if (!ReadFreeHeader(page, &header)) return CheckIssue(walk, "free page", page);
    page = header.next;
  }
}

void BTreeFile::CheckSubtree(CheckWalk* walk, int64_t page, int level, int64_t parent,
                             const uint8_t* greatest) {
  if (walk->seen[static_cast<size_t>(page)] != kUnseen) {
    return CheckIssue(walk, "page reached twice", page);
  }
  walk->seen[static_cast<size_t>(page)] = kInTree;
  Node node(this);
  if (!LoadNode(page, level, &node)) return CheckIssue(walk, "bad page", page);
  if (node.header.parent != parent) CheckIssue(walk, "parent field", page);
  CheckLinks(walk, node);
  for (int slot = 1; slot < node.count(); ++slot) {
    if (CompareKeys(node.Key(slot - 1), node.Key(slot), key_size_) > 0) {
      CheckIssue(walk, "keys out of order", page);
    }
  }
  if (greatest != nullptr && CompareKeys(node.Key(node.count() - 1), greatest, key_size_) != 0) {
    CheckIssue(walk, "separator is not the greatest key", page);
  }
  if (node.IsLeaf()) {
    walk->records += node.count();
    return;
  }
  for (int slot = 0; slot < node.count(); ++slot) {
    CheckSubtree(walk, node.Child(slot), level + 1, page, node.Key(slot));
  }
}

void BTreeFile::CheckLinks(CheckWalk* walk, const Node& node) {
  size_t level = static_cast<size_t>(node.header.level);
  int64_t last = walk->last_page[level];
  uint8_t* last_key = walk->last_key.data() + level * key_size_;
  if (node.header.prev != last) CheckIssue(walk, "previous link", node.number);
  if (last >= 0 && walk->last_next[level] != node.number) {
    CheckIssue(walk, "next link", last);
  }
  if (last >= 0 && CompareKeys(last_key, node.Key(0), key_size_) > 0) {
    CheckIssue(walk, "level out of order", node.number);
  }
  walk->last_page[level] = node.number;
  walk->last_next[level] = node.header.next;
  std::memcpy(last_key, node.Key(node.count() - 1), static_cast<size_t>(key_size_));
}

void BTreeFile::Dump(CString* out) {
  FATAL_CHECK(open_ && out != nullptr);
  int64_t first = root_;
  for (int level = 0; first >= 0 && level < depth_; ++level) first = DumpLevel(first, out);
  CString pages;
  int64_t count = 0;
  for (int64_t page = first_free_; page >= 0 && count < page_count_; ++count) {
    pages.AppendFormat(" %d", static_cast<int>(page));
    PageHeader header;
    if (!ReadFreeHeader(page, &header)) break;
    page = header.next;
  }
  out->AppendFormat("free page(%d):%s\n", static_cast<int>(count), pages.GetString());
}

int64_t BTreeFile::DumpLevel(int64_t page, CString* out) {
  int64_t below = -1;
  for (int64_t steps = 0; page >= 0 && steps < page_count_; ++steps) {
    Node node(this);
    if (!LoadNode(page, kAnyLevel, &node)) {
      out->AppendFormat("page:%d bad\n", static_cast<int>(page));
      return -1;
    }
    if (steps == 0 && !node.IsLeaf()) below = node.Child(0);
    out->AppendFormat("page:%d parent[%d]", static_cast<int>(page),
                      static_cast<int>(node.header.parent));
    for (int slot = 0; slot < node.count(); ++slot) {
      *out += ' ';
      AppendKeyText(node.Key(slot), out);
    }
    *out += '\n';
    page = node.header.next;
  }
  return below;
}

int64_t BTreeFile::CountFreePages() {
  FATAL_CHECK(open_);
  int64_t count = 0;
  for (int64_t page = first_free_; page >= 0; ++count) {
    PageHeader header;
    if (count >= page_count_ || !ReadFreeHeader(page, &header)) return -1;
    page = header.next;
  }
  return count;
}
