// BTreeFile (unit "btree"): records of a fixed key size and data size in one file, ordered
// by key, as a B+ tree of fixed-size pages with a fixed number of levels. The files cache
// keeps its path index and its info index in two of them, each over a PageCacheFile. The
// tree reaches its file only through the file object's Seek, Read, Write, GetLength and
// Flush, so any file class can carry it.
//
// FILE LAYOUT (all integers little-endian)
//
//   offset 0:   the 64-byte file header
//   offset 64:  page 0, then page 1, ... page n at 64 + n * page_size
//
// File header:
//   OFFSET SIZE DESCRIPTION
//        0    4 magic 5426 (0x1532)                          bytes 32 15 00 00
//        4    4 key size, 1 ... 1024
//        8    4 data size, 0 ... 1024
//       12    8 first free page, -1 = none
//       20    8 root page, -1 = empty tree
//       28    4 page count: pages 0 ... count - 1 exist
//       32    4 node capacity: entries per page
//       36    4 depth: number of levels
//       40    4 record count
//       44    4 closed flag: 1 in a header saved by Close, else 0
//       48    4 error flag: 1 once a bad page was met in recording check mode
//       52    8 reserved, 0
//       60    4 Adler-32 of bytes 0 ... 59, the running value starting at 0 (not 1)
//
// Entry size = key size + data size + 12; page size = capacity * entry size + 36.
// Example, the path index (key 250, data 8, capacity 256): entries of 270 bytes, pages of
// 256 * 270 + 36 = 69156 bytes; page 2 starts at 64 + 2 * 69156 = 138376.
//
// Page header (36 bytes at the start of every page):
//   OFFSET SIZE DESCRIPTION
//        0    4 magic 30292 (0x7654)                          bytes 54 76 00 00
//        4    4 count: entries in use, 0 ... capacity
//        8    8 next page at the same level, -1 = none; on a free page the next free page
//       16    8 previous page at the same level, -1 = none
//       24    8 parent page, -1 for the root
//       32    4 level: 0 for the root, depth - 1 for leaves, -1 on a free page
//
// Entry (entry size bytes; slot i at page start + 36 + i * entry size):
//   OFFSET         SIZE      DESCRIPTION
//        0         key size  key
//        key size  data size data (zeros in inner pages)
//        +data     8         child page; -1 in leaves
//        +8        4         entry magic 17767 (0x4567)                bytes 67 45 00 00
//
// Tree invariants (Check verifies every one of them):
//  1. Every leaf is at level depth - 1; the tree always has exactly depth levels; the root
//     is never split, so a tree holds at most capacity^depth records.
//  2. Each level is one doubly linked list (next/previous) across the whole level, in key
//     order; keys ascend within a page and along a level, equal keys side by side.
//  3. An inner entry holds the greatest key of its child page and the child's number; the
//     child's parent field names the page holding that entry. Pages in use hold 1 ...
//     capacity entries; pages not in the tree are on the free list (level -1, count 0).
//  4. Duplicates keep their insertion order: an insert goes after the last equal key.
//
// Key order is the virtual CompareKeys: a bounded string comparison over key-size bytes by
// default (keys are NUL-terminated strings; bytes after the NUL do not count). BTreeFile64
// compares 8-byte keys as signed 64-bit integers and shares everything else.
//
// Corruption versus bugs: bytes read from the file are outside input. A bad page (wrong
// magic, counts or levels out of range, page numbers beyond the page count, a short read,
// a child that does not name its parent) makes the operation fail cleanly (none / false)
// and is remembered in last_bad_page(); check mode 0 prints "btree error:<what> <page>",
// check mode 1 sets the header's error flag instead. A failed insert or remove may leave a
// corrupt tree partly changed; it is never read outside its pages. Misuse by the caller
// (an operation before Create or Open, a key size the tree cannot hold) is a contract
// violation and ends the process through the fatal internal error.
//
// Lifecycle: built --Create / Open--> open --Insert, Remove ...--> open --Close--> closed.
// Root, free list, page count and record count live in memory between Create/Open and
// Close; only Flush and Close write the header.
//
// Threads: one lock serialises every seek-plus-transfer on the file object; callers
// serialise whole tree operations (the files cache holds its index lock around each use).
#pragma once

#include <cstdint>

#include "foundation/base.h"
#include "foundation/cstring.h"
#include "runtime/mt.h"

// A record's place: (page, slot). Either part negative means none.
struct BTreePosition {
  int64_t page = -1;
  int32_t slot = -1;

  bool IsNone() const { return page < 0 || slot < 0; }
  friend bool operator==(const BTreePosition&, const BTreePosition&) = default;
};

class BTreeFile {
 public:
  static constexpr int kHeaderSize = 64;
  static constexpr int kPageHeaderSize = 36;
  static constexpr int kMaxKeySize = 1024;
  static constexpr int kMaxDataSize = 1024;
  static constexpr int kMaxDepth = 16;
  static constexpr int kMaxCapacity = 1 << 16;
  static constexpr int kMaxPooledBuffers = 100;

  enum FindMode {
    kFindAny = 0,          // any equal entry
    kFindFirst = 1,        // the first equal entry
    kFindLast = 2,         // the last equal entry
    kFindBefore = 3,       // the entry before the first key >= key (else that entry)
    kFindLastOrPlace = 4,  // the last equal entry, else where the key would be inserted
  };
  enum CheckMode { kCheckReport = 0, kCheckRecord = 1 };

  // A tree that makes its own plain OS file in Create or Open and owns it.
  explicit BTreeFile(int check_mode = kCheckReport);
  // A tree over `file`, which must be open, stays the caller's and outlives the tree.
  BTreeFile(BaseFile* file, int check_mode);
  virtual ~BTreeFile();
  BTreeFile(const BTreeFile&) = delete;
  BTreeFile& operator=(const BTreeFile&) = delete;

  // Starts an empty tree: writes its header at offset 0 of the file (made and opened with
  // create + read-write when the tree has no file of its own). Key or data size above 1024
  // is refused with a console line and false; capacity (2 ... 65536), depth (1 ... 16) and
  // a key size the tree accepts are the caller's contract. An open tree is closed first.
  // Pages start at offset 64 whatever the file held: a given file should be empty (the
  // files cache opens its page files with create, which truncates).
  bool Create(const char* path, int key_size, int data_size, int capacity, int depth);
  // Opens an existing tree file (own file only): opens it read-write and loads the header.
  bool Open(const char* path);
  // Reads the header at offset 0 and adopts it when its checksum, magic and fields are
  // sound and the file holds every page it names; false leaves the tree as it was.
  virtual bool LoadHeader();
  // Writes the header with its checksum at offset 0 and flushes the file.
  virtual bool SaveHeader();
  // Saves the header (which flushes the file).
  bool Flush();
  // Sets the closed flag, saves the header, closes and deletes an owned file, frees the
  // buffers; false when the header could not be saved. True at once for a closed tree.
  bool Close();

  // Adds a record after every equal key; `data` null stores zeros. None when `unique` is
  // set and the key exists, when no page can be had, when every page on the path to the
  // root is full (the fixed depth is exhausted there), or on a bad page.
  virtual BTreePosition Insert(const void* key, const void* data, bool unique);
  // Removes the first record with the key, rebalancing; false when there is none.
  virtual bool Remove(const void* key);
  // A position by FindMode; none when modes 0-2 find no equal key or for another mode.
  virtual BTreePosition Find(const void* key, int mode);
  // Copies the record at a position (any pointer may be null); false when the position does
  // not name a record.
  virtual bool ReadEntry(BTreePosition position, void* key, void* data, int64_t* child);
  // Overwrites a record's data (null keeps it). A key, when given, must compare equal to the
  // stored one (it may differ in ignored bytes), else nothing is written and false.
  virtual bool WriteEntry(BTreePosition position, const void* key, const void* data);
  // Removes the record at a position; `rebalance` merges or refills an underfull page.
  virtual bool RemoveAt(BTreePosition position, bool rebalance);
  // Removes records from the first position on until the tree is empty.
  virtual bool RemoveAll();
  // Negative, 0, positive as a < b, a == b, a > b; both hold key_size bytes.
  virtual int CompareKeys(const void* a, const void* b, int key_size) const;

  BTreePosition First();
  BTreePosition Last();
  // The next / previous record in key order; none at the ends. Prev of (page, count) — the
  // place after a page's last record that Find mode 4 can give — is that last record.
  BTreePosition Next(BTreePosition position);
  BTreePosition Prev(BTreePosition position);

  // Verifies the whole file: every page header, the free list, and from the root the
  // invariants above plus the record count and that every page is either in the tree or
  // free. Prints "btree error:<what> <page>" per failure; true when there is none.
  bool Check();
  // Appends the tree level by level ("page:%d parent[%d]" and the page's keys) and the
  // free list ("free page(%d):" with the free pages).
  void Dump(CString* out);
  // Pages on the free list (walked, bounded by the page count); -1 on a bad page.
  int64_t CountFreePages();

  // A string key: `text` and NULs filling key_size() bytes. False, leaving `key` untouched,
  // when the text does not fit with its NUL: long keys are refused, never cut, so that two
  // different long texts can never become one key.
  bool EncodeStringKey(const char* text, void* key) const;

  // Runs Check after every successful insert and remove (a debugging aid).
  void set_check_after_change(bool on) { check_after_change_ = on; }

  bool is_open() const { return open_; }
  int key_size() const { return key_size_; }
  int data_size() const { return data_size_; }
  int capacity() const { return capacity_; }
  int depth() const { return depth_; }
  int64_t page_size() const { return page_size_; }
  int32_t page_count() const { return page_count_; }
  int32_t record_count() const { return record_count_; }
  int64_t root() const { return root_; }
  int64_t first_free() const { return first_free_; }
  int error_flag() const { return error_flag_; }
  int64_t last_bad_page() const { return last_bad_page_; }
  const CString& path() const { return path_; }

 protected:
  // Whether the tree can order keys of this size (the 64-bit variant needs exactly 8).
  virtual bool AcceptsKeySize(int key_size) const;
  // Appends a printable form of a key for Dump.
  virtual void AppendKeyText(const uint8_t* key, CString* out) const;

 private:
  struct PageHeader;
  class Node;
  class Buffer;
  struct SearchResult;
  struct CheckWalk;
  enum class Link { kNext, kPrev, kParent };
  static constexpr int kAnyLevel = -2;

  void ReleaseFile();

  // Buffers of page size, reused through the pool.
  uint8_t* TakeBuffer();
  void GiveBuffer(uint8_t* buffer);
  void DropBuffers();

  // File access, each under the file lock; false unless every byte moved.
  bool ReadAt(int64_t offset, void* buffer, int64_t count);
  bool WriteAt(int64_t offset, const void* buffer, int64_t count);
  bool ExtendTo(int64_t length);
  int64_t PageOffset(int64_t page) const;
  int64_t SlotOffset(int64_t page, int slot) const;
  int64_t ChildOf(const uint8_t* entry) const;

  // Notes a bad page (printed or recorded by the check mode) and gives false.
  bool Bad(int64_t page, const char* what);
  bool ValidPage(int64_t page) const;
  // What is wrong with the header of a tree page expected at `level` (kAnyLevel: any tree
  // level), or null.
  const char* HeaderProblem(int64_t page, const PageHeader& header, int level) const;
  bool ReadTreeHeader(int64_t page, int level, PageHeader* header);
  bool ReadFreeHeader(int64_t page, PageHeader* header);
  // A caller's position on a leaf, checked without calling the file bad: positions may be
  // stale. `past_end` admits slot == count.
  bool PeekLeaf(BTreePosition position, bool past_end, PageHeader* header);
  bool WriteHeader(int64_t page, const PageHeader& header);
  bool ReadTreeEntry(int64_t page, const PageHeader& header, int slot, uint8_t* entry);
  bool CheckEntry(int64_t page, int level, const uint8_t* entry);
  bool LoadNode(int64_t page, int level, Node* node);
  bool StoreNode(const Node& node);
  bool SetLink(int64_t page, Link link, int64_t value);

  int64_t AllocatePage();
  bool FreePage(int64_t page);
  bool CanAllocate(int pages);

  SearchResult Search(const void* key, int mode);
  bool SearchPage(const void* key, int64_t page, const PageHeader& header, uint8_t* entry,
                  int* slot, bool* hit);
  bool WalkLeftOverEqual(const void* key, int64_t page, const PageHeader& header, int* slot,
                         uint8_t* entry);
  bool WalkRightOverEqual(const void* key, int64_t* page, PageHeader* header, int* slot,
                          uint8_t* entry);

  BTreePosition InsertIntoEmpty(const uint8_t* entry);
  BTreePosition InsertAt(int64_t page, int slot, const uint8_t* entry);
  BTreePosition InsertIntoRoom(int64_t page, int slot, const uint8_t* entry);
  BTreePosition SplitAndInsert(int64_t page, int slot, const uint8_t* entry);
  bool SplitPage(int64_t page, int64_t fresh);
  bool AncestorHasRoom(int64_t page);
  bool InsertSeparator(int64_t page, int64_t fresh);
  // Moves `count` entries of page `from` starting at `first` to page `to` at slot `at`; a
  // page left empty is not written (its caller removes it).
  bool MoveEntries(int64_t from, int first, int count, int64_t to, int at);
  // The slot of the parent's entry for `child`, or -1 (a bad page).
  int SlotOfChild(const Node& parent, int64_t child);
  // Makes the parent's entry for `page` carry the page's greatest key, upward as needed.
  bool RefreshSeparator(int64_t page);

  bool RemoveEntry(int64_t page, int slot, bool rebalance);
  bool RemovePage(int64_t page, bool rebalance);
  bool Rebalance(int64_t page);
  bool SpreadToNeighbours(int64_t page, const PageHeader& header, int prev_count);

  BTreePosition Edge(bool last);
  void AfterChange();

  void CheckPages(CheckWalk* walk);
  void CheckFreeList(CheckWalk* walk);
  void CheckSubtree(CheckWalk* walk, int64_t page, int level, int64_t parent,
                    const uint8_t* greatest);
  void CheckLinks(CheckWalk* walk, const Node& node);
  void CheckIssue(CheckWalk* walk, const char* what, int64_t page);
  // Appends one level from its first page; gives the first page of the level below, or -1.
  int64_t DumpLevel(int64_t page, CString* out);

  void EncodeHeader(uint8_t* bytes) const;
  bool AdoptHeader(const uint8_t* bytes);
  void SetShape(int key_size, int data_size, int capacity, int depth);
  void MakeEntry(const void* key, const void* data, int64_t child, uint8_t* entry) const;

  BaseFile* file_ = nullptr;
  int64_t traced_bad_page_ = -1;  // the bad page of the last error-trace entry
  bool external_file_ = false;    // given at construction, never owned
  int check_mode_;
  bool check_after_change_ = false;
  bool open_ = false;
  CCriticalSection file_lock_;
  CString path_;

  int key_size_ = 0;
  int data_size_ = 0;
  int64_t first_free_ = -1;
  int64_t root_ = -1;
  int32_t page_count_ = 0;
  int capacity_ = 0;
  int depth_ = 0;
  int32_t record_count_ = 0;
  int closed_flag_ = 0;
  int error_flag_ = 0;
  int64_t last_bad_page_ = -1;

  int entry_size_ = 0;
  int64_t page_size_ = 0;

  uint8_t* pool_[kMaxPooledBuffers] = {};
  int pooled_ = 0;
};

// The info index's tree: 8-byte keys ordered as signed 64-bit little-endian integers.
class BTreeFile64 : public BTreeFile {
 public:
  using BTreeFile::BTreeFile;

  int CompareKeys(const void* a, const void* b, int key_size) const override;

  static void EncodeKey(int64_t value, uint8_t key[8]);
  static int64_t DecodeKey(const void* key);

 protected:
  bool AcceptsKeySize(int key_size) const override;
  void AppendKeyText(const uint8_t* key, CString* out) const override;
};
