// Changes of the B+ tree file (contract in btree.h): insert with neighbour moves and splits,
// remove with rebalancing, and the separator upkeep both share.
//
// Every step loads the pages it changes, writes them back and lets them go before it calls
// into another level, so no page image outlives a call that may rewrite that page (a move
// one level up rewrites the parent fields of the pages below it).
#include <cstring>

#include "runtime/dumpstack.h"
#include "store/btree.h"
#include "store/btree_internal.h"

namespace {

constexpr char kUnit[] = "btree";

}  // namespace

BTreePosition BTreeFile::Insert(const void* key, const void* data, bool unique) {
  FATAL_CHECK(open_ && key != nullptr);
  if (record_count_ == INT32_MAX) return {};
  Buffer entry(this);
  MakeEntry(key, data, -1, entry.data());
  BTreePosition position;
  if (root_ < 0) {
    position = InsertIntoEmpty(entry.data());
  } else {
    // After the last equal key, so that equal keys keep their insertion order.
    SearchResult place = Search(key, kFindLast);
    if (!place.ok || (place.found && unique)) return {};
    int slot = place.position.slot + (place.found ? 1 : 0);
    position = InsertAt(place.position.page, slot, entry.data());
  }
  if (position.IsNone()) return position;
  ++record_count_;
  AfterChange();
  return position;
}

// One page per level, each holding the one key; the leaf holds the record.
BTreePosition BTreeFile::InsertIntoEmpty(const uint8_t* entry) {
  int64_t pages[kMaxDepth];
  for (int level = 0; level < depth_; ++level) {
    pages[level] = AllocatePage();
    if (pages[level] >= 0) continue;
    while (level > 0) FreePage(pages[--level]);
    return {};
  }
  for (int level = 0; level < depth_; ++level) {
    Node node(this);
    node.number = pages[level];
    node.header.count = 1;
    node.header.level = level;
    node.header.parent = level > 0 ? pages[level - 1] : -1;
    bool leaf = level == depth_ - 1;
    MakeEntry(entry, leaf ? entry + key_size_ : nullptr, leaf ? -1 : pages[level + 1],
              node.Entry(0));
    if (!StoreNode(node)) return {};
  }
  root_ = pages[0];
  return {pages[depth_ - 1], 0};
}

// A full page first hands an entry to a neighbour of its level with room, and only then
// splits: pages fill up before the tree spends new pages.
BTreePosition BTreeFile::InsertAt(int64_t page, int slot, const uint8_t* entry) {
  PageHeader header;
  if (!ReadTreeHeader(page, kAnyLevel, &header)) return {};
  if (header.count < capacity_) return InsertIntoRoom(page, slot, entry);
  PageHeader side;
  if (header.prev >= 0 && slot >= 1) {
    if (!ReadTreeHeader(header.prev, header.level, &side)) return {};
    if (side.count < capacity_) {
      if (!MoveEntries(page, 0, 1, header.prev, side.count) || !RefreshSeparator(header.prev)) {
        return {};
      }
      return InsertIntoRoom(page, slot - 1, entry);
    }
  }
  if (header.next >= 0 && slot < capacity_) {
    if (!ReadTreeHeader(header.next, header.level, &side)) return {};
    if (side.count < capacity_) {
      if (!MoveEntries(page, capacity_ - 1, 1, header.next, 0) || !RefreshSeparator(page)) {
        return {};
      }
      return InsertIntoRoom(page, slot, entry);
    }
  }
  return SplitAndInsert(page, slot, entry);
}

BTreePosition BTreeFile::InsertIntoRoom(int64_t page, int slot, const uint8_t* entry) {
  int count = 0;
  {
    Node node(this);
    if (!LoadNode(page, kAnyLevel, &node)) return {};
    count = node.count();
    if (count >= capacity_ || slot < 0 || slot > count) {
      Bad(page, "insert slot");
      return {};
    }
    std::memmove(node.Entry(slot + 1), node.Entry(slot), int64_t{count - slot} * entry_size_);
    std::memcpy(node.Entry(slot), entry, static_cast<size_t>(entry_size_));
    node.header.count = count + 1;
    if (!StoreNode(node)) return {};
  }
  int64_t child = ChildOf(entry);
  if (child >= 0 && !SetLink(child, Link::kParent, page)) return {};
  if (slot == count && !RefreshSeparator(page)) return {};
  return {page, slot};
}

// The root is never split: a split needs room somewhere above, and pages for a cascade.
// Room is looked for first, so that a refused insert leaves even the file's length alone.
BTreePosition BTreeFile::SplitAndInsert(int64_t page, int slot, const uint8_t* entry) {
  if (!AncestorHasRoom(page) || !CanAllocate(depth_)) return {};
  int64_t fresh = AllocatePage();
  if (fresh < 0 || !SplitPage(page, fresh) || !InsertSeparator(page, fresh)) return {};
  int kept = capacity_ / 2;
  return slot < kept ? InsertIntoRoom(page, slot, entry)
                     : InsertIntoRoom(fresh, slot - kept, entry);
}

bool BTreeFile::AncestorHasRoom(int64_t page) {
  PageHeader header;
  if (!ReadTreeHeader(page, kAnyLevel, &header)) return false;
  while (header.parent >= 0) {
    if (!ReadTreeHeader(header.parent, header.level - 1, &header)) return false;
    if (header.count < capacity_) return true;
  }
  return false;
}

// The upper half of a full page moves to `fresh`, linked in after it on the same level.
bool BTreeFile::SplitPage(int64_t page, int64_t fresh) {
  Node node(this);
  Node added(this);
  if (!LoadNode(page, kAnyLevel, &node)) return false;
  if (node.count() != capacity_) return Bad(page, "split of a page with room");
  int kept = capacity_ / 2;
  int moved = capacity_ - kept;
  added.number = fresh;
  added.header = node.header;
  added.header.count = moved;
  added.header.prev = page;
  std::memcpy(added.Entry(0), node.Entry(kept), int64_t{moved} * entry_size_);
  node.header.count = kept;
  node.header.next = fresh;
  if (!StoreNode(added) || !StoreNode(node)) return false;
  if (added.header.next >= 0 && !SetLink(added.header.next, Link::kPrev, fresh)) return false;
  for (int slot = 0; !added.IsLeaf() && slot < moved; ++slot) {
    if (!SetLink(added.Child(slot), Link::kParent, fresh)) return false;
  }
  return true;
}

// The parent gets an entry for `fresh` right after the one for `page`.
bool BTreeFile::InsertSeparator(int64_t page, int64_t fresh) {
  if (!RefreshSeparator(page)) return false;
  PageHeader header;
  Buffer separator(this);
  if (!ReadTreeHeader(fresh, kAnyLevel, &header) ||
      !ReadTreeEntry(fresh, header, header.count - 1, separator.data())) {
    return false;
  }
  MakeEntry(separator.data(), nullptr, fresh, separator.data());
  int slot = -1;
  {
    Node parent(this);
    if (!LoadNode(header.parent, header.level - 1, &parent)) return false;
    slot = SlotOfChild(parent, page);
  }
  return slot >= 0 && !InsertAt(header.parent, slot + 1, separator.data()).IsNone();
}

bool BTreeFile::MoveEntries(int64_t from, int first, int count, int64_t to, int at) {
  Node source(this);
  Node target(this);
  if (from == to) return Bad(from, "page is its own neighbour");
  if (!LoadNode(from, kAnyLevel, &source) || !LoadNode(to, source.header.level, &target)) {
    return false;
  }
  bool fits = first >= 0 && count >= 1 && first + count <= source.count() && at >= 0 &&
              at <= target.count() && target.count() + count <= capacity_;
  if (!fits) return Bad(to, "entry move");
  int64_t moved = int64_t{count} * entry_size_;
  std::memmove(target.Entry(at + count), target.Entry(at),
               int64_t{target.count() - at} * entry_size_);
  std::memcpy(target.Entry(at), source.Entry(first), moved);
  target.header.count += count;
  std::memmove(source.Entry(first), source.Entry(first + count),
               int64_t{source.count() - first - count} * entry_size_);
  source.header.count -= count;
  if (!StoreNode(target) || (source.count() > 0 && !StoreNode(source))) return false;
  for (int slot = at; !target.IsLeaf() && slot < at + count; ++slot) {
    if (!SetLink(target.Child(slot), Link::kParent, to)) return false;
  }
  return true;
}

int BTreeFile::SlotOfChild(const Node& parent, int64_t child) {
  for (int slot = 0; slot < parent.count(); ++slot) {
    if (parent.Child(slot) == child) return slot;
  }
  Bad(parent.number, "child missing from its parent");
  return -1;
}

bool BTreeFile::RefreshSeparator(int64_t page) {
  PageHeader header;
  Buffer greatest(this);
  if (!ReadTreeHeader(page, kAnyLevel, &header) ||
      !ReadTreeEntry(page, header, header.count - 1, greatest.data())) {
    return false;
  }
  // Each step goes one level up (the level is checked), so this ends at the root.
  while (header.parent >= 0) {
    Node parent(this);
    if (!LoadNode(header.parent, header.level - 1, &parent)) return false;
    int slot = SlotOfChild(parent, page);
    if (slot < 0) return false;
    if (std::memcmp(parent.Key(slot), greatest.data(), static_cast<size_t>(key_size_)) == 0) {
      return true;
    }
    if (!WriteAt(SlotOffset(parent.number, slot), greatest.data(), key_size_)) {
      return Bad(parent.number, "write failed");
    }
    if (slot != parent.count() - 1) return true;
    page = parent.number;
    header = parent.header;
  }
  return true;
}

bool BTreeFile::Remove(const void* key) {
  FATAL_CHECK(open_ && key != nullptr);
  SearchResult found = Search(key, kFindFirst);
  return found.ok && found.found && RemoveAt(found.position, true);
}

bool BTreeFile::RemoveAt(BTreePosition position, bool rebalance) {
  FATAL_CHECK(open_);
  PageHeader header;
  if (!PeekLeaf(position, false, &header)) return false;
  if (!RemoveEntry(position.page, position.slot, rebalance)) return false;
  if (record_count_ > 0) --record_count_;
  AfterChange();
  return true;
}

bool BTreeFile::RemoveAll() {
  FATAL_CHECK(open_);
  // Every removal takes one record out, so a sound tree empties within this many.
  int64_t limit = int64_t{page_count_} * capacity_ + 1;
  for (int64_t round = 0; root_ >= 0 && round < limit; ++round) {
    BTreePosition first = First();
    if (first.IsNone() || !RemoveAt(first, false)) return false;
  }
  return root_ < 0;
}

bool BTreeFile::RemoveEntry(int64_t page, int slot, bool rebalance) {
  int count = 0;
  {
    Node node(this);
    if (!LoadNode(page, kAnyLevel, &node)) return false;
    count = node.count();
    if (slot < 0 || slot >= count) return Bad(page, "remove slot");
    if (count > 1) {
      std::memmove(node.Entry(slot), node.Entry(slot + 1), int64_t{count - slot - 1} * entry_size_);
      node.header.count = count - 1;
      if (!StoreNode(node)) return false;
    }
  }
  if (count == 1) return RemovePage(page, rebalance);
  if (slot == count - 1 && !RefreshSeparator(page)) return false;
  return !rebalance || Rebalance(page);
}

// Takes the page out of its parent (which may empty and remove the parent in turn) and out
// of its level, and frees it. Its own links are untouched by the work one level up.
bool BTreeFile::RemovePage(int64_t page, bool rebalance) {
  PageHeader header;
  if (!ReadTreeHeader(page, kAnyLevel, &header)) return false;
  if (header.parent < 0) {
    if (page != root_) return Bad(page, "second root");
    root_ = -1;
  } else {
    int slot = -1;
    {
      Node parent(this);
      if (!LoadNode(header.parent, header.level - 1, &parent)) return false;
      slot = SlotOfChild(parent, page);
    }
    if (slot < 0 || !RemoveEntry(header.parent, slot, rebalance)) return false;
  }
  if (header.prev >= 0 && !SetLink(header.prev, Link::kNext, header.next)) return false;
  if (header.next >= 0 && !SetLink(header.next, Link::kPrev, header.prev)) return false;
  return FreePage(page);
}

// An underfull page (below half) merges into a neighbour, takes entries from one, or is
// spread over both, in that order of preference.
bool BTreeFile::Rebalance(int64_t page) {
  PageHeader header;
  if (!ReadTreeHeader(page, kAnyLevel, &header)) return false;
  int half = capacity_ / 2;
  int count = header.count;
  bool has_prev = header.prev >= 0;
  bool has_next = header.next >= 0;
  if ((!has_prev && !has_next) || count >= half) return true;
  PageHeader side;
  int prev_count = 0;
  int next_count = 0;
  if (has_prev && !ReadTreeHeader(header.prev, header.level, &side)) return false;
  if (has_prev) prev_count = side.count;
  if (has_next && !ReadTreeHeader(header.next, header.level, &side)) return false;
  if (has_next) next_count = side.count;
  if (has_prev && prev_count + count <= capacity_) {
    return MoveEntries(page, 0, count, header.prev, prev_count) && RemovePage(page, true) &&
           RefreshSeparator(header.prev);
  }
  if (has_next && next_count + count <= capacity_) {
    return MoveEntries(header.next, 0, next_count, page, count) && RemovePage(header.next, true) &&
           RefreshSeparator(page);
  }
  if (has_prev && has_next && prev_count + count + next_count <= 2 * capacity_) {
    return SpreadToNeighbours(page, header, prev_count);
  }
  if (has_prev && prev_count > half) {
    return MoveEntries(header.prev, half, prev_count - half, page, 0) &&
           RefreshSeparator(header.prev);
  }
  if (has_next && next_count > half) {
    return MoveEntries(header.next, 0, next_count - half, page, count) && RefreshSeparator(page);
  }
  return true;
}

// The page's entries fill the previous page up and go to the front of the next one.
bool BTreeFile::SpreadToNeighbours(int64_t page, const PageHeader& header, int prev_count) {
  int to_prev = capacity_ - prev_count;
  int to_next = header.count - to_prev;
  return MoveEntries(page, 0, to_prev, header.prev, prev_count) &&
         MoveEntries(page, 0, to_next, header.next, 0) && RemovePage(page, true) &&
         RefreshSeparator(header.prev);
}
