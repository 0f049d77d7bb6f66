// Private pieces of unit "btree" shared by its source files: the page header, pool buffers
// held for a scope, a page loaded whole, and the magics. Only btree*.cc include this; the
// layouts are drawn in btree.h.
#pragma once

#include <cstdint>

#include "store/btree.h"
#include "store/littleendian.h"

namespace btree_layout {

inline constexpr int32_t kFileMagic = 5426;
inline constexpr int32_t kPageMagic = 30292;
inline constexpr uint32_t kEntryMagic = 17767;
// Entry bytes after the key and the data: the child (8) and the entry magic (4).
inline constexpr int kEntryTrailer = 12;

}  // namespace btree_layout

struct BTreeFile::PageHeader {
  int32_t magic = btree_layout::kPageMagic;
  int32_t count = 0;
  int64_t next = -1;
  int64_t prev = -1;
  int64_t parent = -1;
  int32_t level = -1;

  void Encode(uint8_t* bytes) const {
    PutI32(bytes, magic);
    PutI32(bytes + 4, count);
    PutI64(bytes + 8, next);
    PutI64(bytes + 16, prev);
    PutI64(bytes + 24, parent);
    PutI32(bytes + 32, level);
  }
  void Decode(const uint8_t* bytes) {
    magic = GetI32(bytes);
    count = GetI32(bytes + 4);
    next = GetI64(bytes + 8);
    prev = GetI64(bytes + 16);
    parent = GetI64(bytes + 24);
    level = GetI32(bytes + 32);
  }
};

// A page-sized pool buffer for the lifetime of a scope.
class BTreeFile::Buffer {
 public:
  explicit Buffer(BTreeFile* tree) : tree_(tree), data_(tree->TakeBuffer()) {}
  ~Buffer() { tree_->GiveBuffer(data_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  uint8_t* data() const { return data_; }

 private:
  BTreeFile* tree_;
  uint8_t* data_;
};

// A tree page in a pool buffer: the header decoded, the entries as on disk. Loaded by
// LoadNode, written by StoreNode; never kept across a call that may change the page.
class BTreeFile::Node {
 public:
  explicit Node(BTreeFile* tree) : tree_(tree), bytes_(tree->TakeBuffer()) {}
  ~Node() { tree_->GiveBuffer(bytes_); }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  uint8_t* bytes() const { return bytes_; }
  uint8_t* Entry(int slot) const {
    return bytes_ + kPageHeaderSize + static_cast<int64_t>(slot) * tree_->entry_size_;
  }
  const uint8_t* Key(int slot) const { return Entry(slot); }
  int64_t Child(int slot) const { return tree_->ChildOf(Entry(slot)); }
  bool IsLeaf() const { return header.level == tree_->depth_ - 1; }
  int count() const { return header.count; }

  int64_t number = -1;
  PageHeader header;

 private:
  BTreeFile* tree_;
  uint8_t* bytes_;
};

struct BTreeFile::SearchResult {
  BTreePosition position;
  bool found = false;
  bool ok = true;  // false: a bad page stopped the search
};
