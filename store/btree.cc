// The B+ tree file (contract and layouts in btree.h): lifecycle and header, page access,
// search, positions, and the 64-bit key variant. Changes of the tree are in
// btree_update.cc, the check and the dump in btree_check.cc.
#include "store/btree.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "runtime/dumpstack.h"
#include "store/btree_internal.h"
#include "store/heapnew.h"

namespace {

constexpr char kUnit[] = "btree";

// The header checksum: Adler-32 whose running value starts at 0 rather than zlib's 1.
uint32_t HeaderChecksum(const uint8_t* bytes) {
  return static_cast<uint32_t>(adler32(0L, bytes, BTreeFile::kHeaderSize - 4));
}

}  // namespace

using namespace btree_layout;

BTreeFile::BTreeFile(int check_mode) : check_mode_(check_mode) {}

BTreeFile::BTreeFile(BaseFile* file, int check_mode)
    : file_(file), external_file_(true), check_mode_(check_mode) {
  FATAL_CHECK(file != nullptr);
}

BTreeFile::~BTreeFile() {
  Close();
  DropBuffers();
}

bool BTreeFile::Create(const char* path, int key_size, int data_size, int capacity, int depth) {
  if (key_size > kMaxKeySize) {
    std::printf("BTreeFile::create : key size is too large\n");
    return false;
  }
  if (data_size > kMaxDataSize) {
    std::printf("BTreeFile::create : data size is too large\n");
    return false;
  }
  FATAL_CHECK(key_size >= 1 && data_size >= 0 && AcceptsKeySize(key_size));
  FATAL_CHECK(capacity >= 2 && capacity <= kMaxCapacity && depth >= 1 && depth <= kMaxDepth);
  Close();
  SetShape(key_size, data_size, capacity, depth);
  first_free_ = -1;
  root_ = -1;
  page_count_ = 0;
  record_count_ = 0;
  closed_flag_ = 0;
  error_flag_ = 0;
  last_bad_page_ = -1;
  if (!external_file_) {
    file_ = HeapNew<BaseFile>();
    if (file_->Open(path, kTypeBinary | kModeCreate | kModeReadWrite) == 0) {
      ReleaseFile();
      return false;
    }
  }
  path_ = path;
  open_ = true;
  if (SaveHeader()) return true;
  ReleaseFile();
  return false;
}

bool BTreeFile::Open(const char* path) {
  FATAL_CHECK(!external_file_);
  Close();
  file_ = HeapNew<BaseFile>();
  if (file_->Open(path, kTypeBinary | kModeReadWrite) != 0 && LoadHeader()) {
    path_ = path;
    return true;
  }
  ReleaseFile();
  return false;
}

bool BTreeFile::LoadHeader() {
  FATAL_CHECK(file_ != nullptr);
  uint8_t bytes[kHeaderSize];
  if (!ReadAt(0, bytes, kHeaderSize) || !AdoptHeader(bytes)) return false;
  if (external_file_) path_ = file_->GetFilePath();
  open_ = true;
  return true;
}

bool BTreeFile::SaveHeader() {
  FATAL_CHECK(open_);
  uint8_t bytes[kHeaderSize];
  EncodeHeader(bytes);
  return WriteAt(0, bytes, kHeaderSize) && file_->Flush() != 0;
}

bool BTreeFile::Flush() {
  return SaveHeader();
}

bool BTreeFile::Close() {
  if (!open_) return true;
  closed_flag_ = 1;
  bool saved = SaveHeader();
  ReleaseFile();
  return saved;
}

// Leaves the tree closed; an own file is closed and deleted, a given one stays as it is.
void BTreeFile::ReleaseFile() {
  if (!external_file_ && file_ != nullptr) {
    file_->Close();
    HeapDelete(file_);
    file_ = nullptr;
  }
  DropBuffers();
  open_ = false;
}

void BTreeFile::EncodeHeader(uint8_t* bytes) const {
  std::memset(bytes, 0, kHeaderSize);
  PutI32(bytes, kFileMagic);
  PutI32(bytes + 4, key_size_);
  PutI32(bytes + 8, data_size_);
  PutI64(bytes + 12, first_free_);
  PutI64(bytes + 20, root_);
  PutI32(bytes + 28, page_count_);
  PutI32(bytes + 32, capacity_);
  PutI32(bytes + 36, depth_);
  PutI32(bytes + 40, record_count_);
  PutI32(bytes + 44, closed_flag_);
  PutI32(bytes + 48, error_flag_);
  PutU32(bytes + 60, HeaderChecksum(bytes));
}

// Nothing is taken over unless every field is sound: a header from a damaged file must not
// make any later read leave the file's pages.
bool BTreeFile::AdoptHeader(const uint8_t* bytes) {
  if (GetU32(bytes + 60) != HeaderChecksum(bytes) || GetI32(bytes) != kFileMagic) return false;
  int key_size = GetI32(bytes + 4);
  int data_size = GetI32(bytes + 8);
  int capacity = GetI32(bytes + 32);
  int depth = GetI32(bytes + 36);
  int32_t pages = GetI32(bytes + 28);
  int64_t first_free = GetI64(bytes + 12);
  int64_t root = GetI64(bytes + 20);
  int32_t records = GetI32(bytes + 40);
  bool shape_ok = key_size >= 1 && key_size <= kMaxKeySize && AcceptsKeySize(key_size) &&
                  data_size >= 0 && data_size <= kMaxDataSize && capacity >= 2 &&
                  capacity <= kMaxCapacity && depth >= 1 && depth <= kMaxDepth;
  bool pages_ok = pages >= 0 && first_free >= -1 && first_free < pages && root >= -1 &&
                  root < pages && records >= 0;
  if (!shape_ok || !pages_ok) return false;
  int64_t page_size = int64_t{capacity} * (key_size + data_size + kEntryTrailer) + kPageHeaderSize;
  if (file_->GetLength() < kHeaderSize + pages * page_size) return false;  // truncated
  SetShape(key_size, data_size, capacity, depth);
  page_count_ = pages;
  first_free_ = first_free;
  root_ = root;
  record_count_ = records;
  closed_flag_ = 0;
  error_flag_ = GetI32(bytes + 48) != 0 ? 1 : 0;
  last_bad_page_ = -1;
  return true;
}

void BTreeFile::SetShape(int key_size, int data_size, int capacity, int depth) {
  DropBuffers();  // sized for the old pages
  key_size_ = key_size;
  data_size_ = data_size;
  capacity_ = capacity;
  depth_ = depth;
  entry_size_ = key_size + data_size + kEntryTrailer;
  page_size_ = int64_t{capacity} * entry_size_ + kPageHeaderSize;
}

uint8_t* BTreeFile::TakeBuffer() {
  if (pooled_ > 0) return pool_[--pooled_];
  return static_cast<uint8_t*>(Heap::Allocate(static_cast<size_t>(page_size_)));
}

void BTreeFile::GiveBuffer(uint8_t* buffer) {
  if (pooled_ < kMaxPooledBuffers) {
    pool_[pooled_++] = buffer;
  } else {
    Heap::Release(buffer);
  }
}

void BTreeFile::DropBuffers() {
  while (pooled_ > 0) Heap::Release(pool_[--pooled_]);
}

bool BTreeFile::ReadAt(int64_t offset, void* buffer, int64_t count) {
  ScopedLock hold(file_lock_, kUnit, __LINE__);
  return file_->Seek(offset, BaseFile::kBegin) == offset && file_->Read(buffer, count) == count;
}

bool BTreeFile::WriteAt(int64_t offset, const void* buffer, int64_t count) {
  ScopedLock hold(file_lock_, kUnit, __LINE__);
  return file_->Seek(offset, BaseFile::kBegin) == offset && file_->Write(buffer, count) == count;
}

// Appends zero bytes up to `length`; a file already that long is left alone.
bool BTreeFile::ExtendTo(int64_t length) {
  Buffer zeros(this);
  std::memset(zeros.data(), 0, static_cast<size_t>(page_size_));
  ScopedLock hold(file_lock_, kUnit, __LINE__);
  int64_t end = file_->Seek(0, BaseFile::kEnd);
  if (end < 0) return false;
  while (end < length) {
    int64_t chunk = length - end < page_size_ ? length - end : page_size_;
    if (file_->Write(zeros.data(), chunk) != chunk) return false;
    end += chunk;
  }
  return true;
}

int64_t BTreeFile::PageOffset(int64_t page) const {
  return kHeaderSize + page * page_size_;
}

int64_t BTreeFile::SlotOffset(int64_t page, int slot) const {
  return PageOffset(page) + kPageHeaderSize + int64_t{slot} * entry_size_;
}

int64_t BTreeFile::ChildOf(const uint8_t* entry) const {
  return GetI64(entry + key_size_ + data_size_);
}

bool BTreeFile::Bad(int64_t page, const char* what) {
  last_bad_page_ = page;
  if (check_mode_ == kCheckRecord) {
    error_flag_ = 1;
  } else {
    std::printf("btree error:%s %d\n", what, static_cast<int>(page));
  }
  // The file object carries the trace: the tree's own report goes through it, once for each
  // bad page met in a row, since every look-up that passes a damaged page meets it again.
  if (file_ != nullptr && page != traced_bad_page_) {
    traced_bad_page_ = page;
    CString trace;
    trace.Format("btree error:%s %d", what, static_cast<int>(page));
    file_->ErrorTraceWithStack(trace);
  }
  return false;
}

bool BTreeFile::ValidPage(int64_t page) const {
  return page >= 0 && page < page_count_;
}

const char* BTreeFile::HeaderProblem(int64_t page, const PageHeader& header, int level) const {
  if (header.magic != kPageMagic) return "page magic";
  bool level_ok =
      level == kAnyLevel ? header.level >= 0 && header.level < depth_ : header.level == level;
  if (!level_ok) return "page level";
  if (header.count < 1 || header.count > capacity_) return "page count";
  auto link_ok = [&](int64_t link) { return link == -1 || (ValidPage(link) && link != page); };
  if (!link_ok(header.next) || !link_ok(header.prev) || !link_ok(header.parent)) {
    return "page link";
  }
  if (header.next >= 0 && header.next == header.prev) return "page link";
  if ((header.level == 0) != (header.parent < 0)) return "page parent";
  return nullptr;
}

bool BTreeFile::ReadTreeHeader(int64_t page, int level, PageHeader* header) {
  if (!ValidPage(page)) return Bad(page, "page number");
  uint8_t bytes[kPageHeaderSize];
  if (!ReadAt(PageOffset(page), bytes, kPageHeaderSize)) return Bad(page, "short read");
  header->Decode(bytes);
  const char* problem = HeaderProblem(page, *header, level);
  return problem == nullptr || Bad(page, problem);
}

bool BTreeFile::ReadFreeHeader(int64_t page, PageHeader* header) {
  if (!ValidPage(page)) return Bad(page, "page number");
  uint8_t bytes[kPageHeaderSize];
  if (!ReadAt(PageOffset(page), bytes, kPageHeaderSize)) return Bad(page, "short read");
  header->Decode(bytes);
  bool free_ok = header->magic == kPageMagic && header->level == -1 && header->count == 0;
  if (!free_ok) return Bad(page, "free page");
  return header->next == -1 || (ValidPage(header->next) && header->next != page) ||
         Bad(page, "free link");
}

bool BTreeFile::PeekLeaf(BTreePosition position, bool past_end, PageHeader* header) {
  if (!ValidPage(position.page) || position.slot < 0) return false;
  uint8_t bytes[kPageHeaderSize];
  if (!ReadAt(PageOffset(position.page), bytes, kPageHeaderSize)) return false;
  header->Decode(bytes);
  if (HeaderProblem(position.page, *header, depth_ - 1) != nullptr) return false;
  return position.slot < header->count + (past_end ? 1 : 0);
}

bool BTreeFile::WriteHeader(int64_t page, const PageHeader& header) {
  uint8_t bytes[kPageHeaderSize];
  header.Encode(bytes);
  return WriteAt(PageOffset(page), bytes, kPageHeaderSize) || Bad(page, "write failed");
}

bool BTreeFile::ReadTreeEntry(int64_t page, const PageHeader& header, int slot, uint8_t* entry) {
  FATAL_CHECK(slot >= 0 && slot < header.count);
  if (!ReadAt(SlotOffset(page, slot), entry, entry_size_)) return Bad(page, "short read");
  return CheckEntry(page, header.level, entry);
}

bool BTreeFile::CheckEntry(int64_t page, int level, const uint8_t* entry) {
  if (GetU32(entry + key_size_ + data_size_ + 8) != kEntryMagic) return Bad(page, "entry magic");
  int64_t child = ChildOf(entry);
  if (level == depth_ - 1) return child == -1 || Bad(page, "leaf child");
  return (ValidPage(child) && child != page) || Bad(page, "inner child");
}

bool BTreeFile::LoadNode(int64_t page, int level, Node* node) {
  if (!ReadTreeHeader(page, level, &node->header)) return false;
  node->number = page;
  int64_t bytes = int64_t{node->count()} * entry_size_;
  if (!ReadAt(PageOffset(page) + kPageHeaderSize, node->Entry(0), bytes)) {
    return Bad(page, "short read");
  }
  for (int slot = 0; slot < node->count(); ++slot) {
    if (!CheckEntry(page, node->header.level, node->Entry(slot))) return false;
  }
  return true;
}

// Writes the header and the entries in use; slots beyond the count are never read.
bool BTreeFile::StoreNode(const Node& node) {
  FATAL_CHECK(node.count() >= 1 && node.count() <= capacity_);
  node.header.Encode(node.bytes());
  int64_t bytes = kPageHeaderSize + int64_t{node.count()} * entry_size_;
  return WriteAt(PageOffset(node.number), node.bytes(), bytes) || Bad(node.number, "write failed");
}

bool BTreeFile::SetLink(int64_t page, Link link, int64_t value) {
  PageHeader header;
  if (!ReadTreeHeader(page, kAnyLevel, &header)) return false;
  if (link == Link::kNext) header.next = value;
  if (link == Link::kPrev) header.prev = value;
  if (link == Link::kParent) header.parent = value;
  return WriteHeader(page, header);
}

int64_t BTreeFile::AllocatePage() {
  int64_t page = first_free_;
  if (page >= 0) {
    PageHeader free_header;
    if (!ReadFreeHeader(page, &free_header)) return -1;
    first_free_ = free_header.next;
  } else {
    if (page_count_ == INT32_MAX) return -1;
    page = page_count_;
    if (!ExtendTo(PageOffset(page + 1))) return -1;
    ++page_count_;
  }
  return WriteHeader(page, PageHeader()) ? page : -1;
}

bool BTreeFile::FreePage(int64_t page) {
  PageHeader header;
  header.next = first_free_;
  if (!WriteHeader(page, header)) return false;
  first_free_ = page;
  return true;
}

// Takes the pages and gives them back; the free list ends up as it was.
bool BTreeFile::CanAllocate(int pages) {
  FATAL_CHECK(pages <= kMaxDepth);
  int64_t taken[kMaxDepth];
  int got = 0;
  while (got < pages && (taken[got] = AllocatePage()) >= 0) ++got;
  bool ok = got == pages;
  while (got > 0) ok = FreePage(taken[--got]) && ok;
  return ok;
}

void BTreeFile::MakeEntry(const void* key, const void* data, int64_t child, uint8_t* entry) const {
  if (key != entry) std::memcpy(entry, key, static_cast<size_t>(key_size_));
  if (data != nullptr) {
    std::memcpy(entry + key_size_, data, static_cast<size_t>(data_size_));
  } else {
    std::memset(entry + key_size_, 0, static_cast<size_t>(data_size_));
  }
  PutI64(entry + key_size_ + data_size_, child);
  PutU32(entry + key_size_ + data_size_ + 8, kEntryMagic);
}

BTreeFile::SearchResult BTreeFile::Search(const void* key, int mode) {
  SearchResult result;
  if (root_ < 0) return result;
  Buffer scratch(this);
  uint8_t* entry = scratch.data();
  result.ok = false;
  int64_t page = root_;
  for (int level = 0; level < depth_; ++level) {
    PageHeader header;
    int slot = 0;
    bool hit = false;
    if (!ReadTreeHeader(page, level, &header) ||
        !SearchPage(key, page, header, entry, &slot, &hit)) {
      return result;
    }
    if (hit && mode == kFindFirst && !WalkLeftOverEqual(key, page, header, &slot, entry)) {
      return result;
    }
    bool last = mode == kFindLast || mode == kFindLastOrPlace;
    if (hit && last && !WalkRightOverEqual(key, &page, &header, &slot, entry)) return result;
    if (level == depth_ - 1) return {{page, slot}, hit, true};
    // Above every key of the page: its last child leads to the place after the last key.
    int child_slot = slot < header.count ? slot : header.count - 1;
    if (!ReadTreeEntry(page, header, child_slot, entry)) return result;
    page = ChildOf(entry);
  }
  return result;
}

// Binary search: an equal key's slot, or the slot of the first greater key (maybe count).
bool BTreeFile::SearchPage(const void* key, int64_t page, const PageHeader& header, uint8_t* entry,
                           int* slot, bool* hit) {
  int low = 0;
  int high = header.count - 1;
  while (low <= high) {
    int middle = (low + high) / 2;
    if (!ReadTreeEntry(page, header, middle, entry)) return false;
    int order = CompareKeys(key, entry, key_size_);
    if (order == 0) {
      *slot = middle;
      *hit = true;
      return true;
    }
    if (order < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  *slot = low;
  *hit = false;
  return true;
}

bool BTreeFile::WalkLeftOverEqual(const void* key, int64_t page, const PageHeader& header,
                                  int* slot, uint8_t* entry) {
  while (*slot > 0) {
    if (!ReadTreeEntry(page, header, *slot - 1, entry)) return false;
    if (CompareKeys(key, entry, key_size_) != 0) return true;
    --*slot;
  }
  return true;
}

// Equal keys may run on into the following pages of the level.
bool BTreeFile::WalkRightOverEqual(const void* key, int64_t* page, PageHeader* header, int* slot,
                                   uint8_t* entry) {
  for (int64_t pages = 0; pages <= page_count_;) {
    if (*slot + 1 < header->count) {
      if (!ReadTreeEntry(*page, *header, *slot + 1, entry)) return false;
      if (CompareKeys(key, entry, key_size_) != 0) return true;
      ++*slot;
      continue;
    }
    if (header->next < 0) return true;
    PageHeader next;
    if (!ReadTreeHeader(header->next, header->level, &next)) return false;
    if (!ReadTreeEntry(header->next, next, 0, entry)) return false;
    if (CompareKeys(key, entry, key_size_) != 0) return true;
    *page = header->next;
    *header = next;
    *slot = 0;
    ++pages;
  }
  return Bad(*page, "level cycle");
}

BTreePosition BTreeFile::Find(const void* key, int mode) {
  FATAL_CHECK(open_ && key != nullptr);
  SearchResult result;
  switch (mode) {
    case kFindAny:
    case kFindFirst:
    case kFindLast:
      result = Search(key, mode);
      return result.ok && result.found ? result.position : BTreePosition();
    case kFindBefore: {
      result = Search(key, kFindFirst);
      if (!result.ok || result.position.IsNone()) return {};
      BTreePosition before = Prev(result.position);
      return before.IsNone() ? result.position : before;
    }
    case kFindLastOrPlace:
      result = Search(key, kFindLast);
      return result.ok ? result.position : BTreePosition();
    default:
      return {};
  }
}

BTreePosition BTreeFile::Edge(bool last) {
  FATAL_CHECK(open_);
  Buffer scratch(this);
  int64_t page = root_;
  for (int level = 0; page >= 0 && level < depth_; ++level) {
    PageHeader header;
    if (!ReadTreeHeader(page, level, &header)) return {};
    int slot = last ? header.count - 1 : 0;
    if (level == depth_ - 1) return {page, slot};
    if (!ReadTreeEntry(page, header, slot, scratch.data())) return {};
    page = ChildOf(scratch.data());
  }
  return {};
}

BTreePosition BTreeFile::First() {
  return Edge(false);
}

BTreePosition BTreeFile::Last() {
  return Edge(true);
}

BTreePosition BTreeFile::Next(BTreePosition position) {
  FATAL_CHECK(open_);
  PageHeader header;
  if (!PeekLeaf(position, true, &header)) return {};
  if (position.slot + 1 < header.count) return {position.page, position.slot + 1};
  PageHeader next;
  if (header.next < 0 || !ReadTreeHeader(header.next, depth_ - 1, &next)) return {};
  return {header.next, 0};
}

BTreePosition BTreeFile::Prev(BTreePosition position) {
  FATAL_CHECK(open_);
  PageHeader header;
  if (!PeekLeaf(position, true, &header)) return {};
  if (position.slot > 0) return {position.page, position.slot - 1};
  PageHeader prev;
  if (header.prev < 0 || !ReadTreeHeader(header.prev, depth_ - 1, &prev)) return {};
  return {header.prev, prev.count - 1};
}

bool BTreeFile::ReadEntry(BTreePosition position, void* key, void* data, int64_t* child) {
  FATAL_CHECK(open_);
  PageHeader header;
  if (!PeekLeaf(position, false, &header)) return false;
  Buffer entry(this);
  if (!ReadTreeEntry(position.page, header, position.slot, entry.data())) return false;
  if (key != nullptr) std::memcpy(key, entry.data(), static_cast<size_t>(key_size_));
  if (data != nullptr) {
    std::memcpy(data, entry.data() + key_size_, static_cast<size_t>(data_size_));
  }
  if (child != nullptr) *child = ChildOf(entry.data());
  return true;
}

bool BTreeFile::WriteEntry(BTreePosition position, const void* key, const void* data) {
  FATAL_CHECK(open_);
  PageHeader header;
  if (!PeekLeaf(position, false, &header)) return false;
  Buffer entry(this);
  if (!ReadTreeEntry(position.page, header, position.slot, entry.data())) return false;
  if (key != nullptr && CompareKeys(key, entry.data(), key_size_) != 0) return false;
  if (key != nullptr) std::memcpy(entry.data(), key, static_cast<size_t>(key_size_));
  if (data != nullptr) {
    std::memcpy(entry.data() + key_size_, data, static_cast<size_t>(data_size_));
  }
  return WriteAt(SlotOffset(position.page, position.slot), entry.data(), entry_size_) ||
         Bad(position.page, "write failed");
}

int BTreeFile::CompareKeys(const void* a, const void* b, int key_size) const {
  return std::strncmp(static_cast<const char*>(a), static_cast<const char*>(b),
                      static_cast<size_t>(key_size));
}

bool BTreeFile::AcceptsKeySize(int /*key_size*/) const {
  return true;
}

void BTreeFile::AppendKeyText(const uint8_t* key, CString* out) const {
  for (int i = 0; i < key_size_ && key[i] != 0; ++i) {
    *out += key[i] >= 0x20 && key[i] < 0x7f ? static_cast<char>(key[i]) : '.';
  }
}

bool BTreeFile::EncodeStringKey(const char* text, void* key) const {
  FATAL_CHECK(text != nullptr && key != nullptr && key_size_ > 0);
  int length = 0;
  while (length < key_size_ && text[length] != '\0') ++length;
  if (length == key_size_) return false;
  std::memset(key, 0, static_cast<size_t>(key_size_));
  std::memcpy(key, text, static_cast<size_t>(length));
  return true;
}

void BTreeFile::AfterChange() {
  if (check_after_change_) Check();
}

int BTreeFile64::CompareKeys(const void* a, const void* b, int key_size) const {
  FATAL_CHECK(key_size == 8);
  int64_t x = DecodeKey(a);
  int64_t y = DecodeKey(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

void BTreeFile64::EncodeKey(int64_t value, uint8_t key[8]) {
  PutI64(key, value);
}

int64_t BTreeFile64::DecodeKey(const void* key) {
  return GetI64(static_cast<const uint8_t*>(key));
}

bool BTreeFile64::AcceptsKeySize(int key_size) const {
  return key_size == 8;
}

void BTreeFile64::AppendKeyText(const uint8_t* key, CString* out) const {
  out->AppendFormat("%lld", static_cast<long long>(DecodeKey(key)));
}
