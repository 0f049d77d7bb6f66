// PageCacheFile (unit "cache"): a file object that keeps a bounded number of fixed-size
// pages of one OS file in memory. The files cache puts one under each B+ tree index file
// (131072 bytes of 8192-byte pages, so 16 pages), and the tree's seeks, reads, writes and
// length queries are then served from memory.
//
// Pages: an array of page descriptors sorted by page number, at most max_pages() of them,
// each owning a page_size() buffer. A page holds `valid` bytes of file data from its start
// and is `dirty` when those bytes differ from the OS file. A lookup binary-searches the
// array; a miss takes a new descriptor while the array is not full, else evicts the least
// recently used of at most 201 pages looked at from a moving cursor (written back first
// when dirty) and reuses its descriptor and buffer.
//
// Invariants while open:
//  1. 0 <= position <= length, and length equals the OS file's length: a write that passes
//     the end sends the bytes beyond the old end to the OS file at once (so the file grows
//     immediately), while bytes inside the old end stay in the dirty page until it is
//     evicted, flushed or closed.
//  2. A page's valid size is min(page size, length - page start), except after a failed OS
//     read, where it is the count actually read and the rest of its buffer is zero.
//  3. No two descriptors have one page number; the array stays sorted.
// A write therefore never starts beyond the end: Seek clamps to the length.
//
// State: constructed (closed) --Open--> open --Close / destructor--> closed; Open of an
// open cache closes it first. On a closed cache Read, Write, Seek and GetLength give -1.
//
// Failures of the OS file are not errors of the call that happens to cause them (an
// eviction's write-back, a page load): they are remembered, and the next Flush or Close
// answers 0. Reads and writes still transfer what they can. A seek past the end and a short
// page read also write an error-trace entry with the stack (when tracing is on).
//
// Threads: no lock; one thread at a time (the tree above serialises its file accesses).
#pragma once

#include <cstdint>

#include "foundation/base.h"
#include "foundation/cstring.h"

class PageCacheFile : public BaseFile {
 public:
  // max_pages = size / page_size; both must be positive and give at least one page.
  PageCacheFile(int64_t size, int64_t page_size);
  ~PageCacheFile() override;

  // Opens `path` with mode | kTypeBinary through a new OS file object, which the cache owns;
  // the position is 0 and the length the file's. 1, or 0 leaving the cache closed.
  int Open(const char* path, unsigned mode) override;
  // Writes back every dirty page, frees the pages, closes and deletes the OS file. 1, or 0
  // when a write-back or an earlier OS failure went wrong. A closed cache gives 1.
  int Close() override;
  // Bytes transferred from/to the position, which advances; fewer than asked only at the end
  // of the file (read) or when the OS file could not be grown (write).
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // kBegin, kCurrent, kEnd as usual; the result is clamped to 0 ... length.
  int64_t Seek(int64_t offset, SeekFrom from) override;
  int64_t GetLength() override;
  // Writes back every dirty page (the OS file's own flush is not called). 1, or 0 when a
  // write-back failed now or an OS failure happened since the last Flush.
  int Flush() override;
  const CString& GetFilePath() const override;

  // Hides BaseFile::IsOpen, which only knows the base's own handle: call it on the cache.
  bool IsOpen() const { return os_file_ != nullptr; }
  int64_t GetPosition() const { return position_; }
  int64_t page_size() const { return page_size_; }
  int max_pages() const { return max_pages_; }
  int cached_pages() const { return count_; }

 private:
  struct Page;

  // Index of the page in the sorted array, or -(insertion index) - 1.
  int Find(int64_t number) const;
  // The page holding `number`, loaded from the OS file on a miss when `load` is set (else
  // empty). Marks the use.
  Page* Touch(int64_t number, bool load);
  Page* TakeDescriptor();
  int ChooseVictim();
  void Load(Page* page);
  // One error-trace entry with the stack for an inconsistency of the file below.
  void Inconsistent(const char* what, int64_t offset);
  void WriteBack(Page* page);
  // Sends [old_length, position) of the page to the OS file; false when it did not grow.
  bool Grow(const Page& page, int64_t old_length);
  void FreePages();

  int64_t page_size_;
  int max_pages_;
  BaseFile* os_file_ = nullptr;  // owned
  int64_t position_ = 0;
  int64_t length_ = 0;
  Page** pages_;  // max_pages_ slots, the first count_ in use, sorted by page number
  int count_ = 0;
  int cursor_ = 0;
  uint64_t tick_ = 0;
  bool os_failed_ = false;  // an OS failure not yet reported by Flush or Close
  CString no_path_;
};
