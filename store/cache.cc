// The page cache over one OS file (contract in cache.h).
#include "store/cache.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "runtime/dumpstack.h"
#include "store/heapnew.h"

namespace {

constexpr char kUnit[] = "cache";

// Pages after the cursor that one eviction compares, besides the cursor's own.
constexpr int kEvictionWindow = 200;

}  // namespace

struct PageCacheFile::Page {
  int64_t number = -1;
  uint8_t* data = nullptr;  // page_size_ bytes
  int64_t valid = 0;        // bytes of file data from the page's start
  bool dirty = false;
  uint64_t last_use = 0;
};

PageCacheFile::PageCacheFile(int64_t size, int64_t page_size) : page_size_(page_size) {
  FATAL_CHECK(page_size > 0 && size >= page_size && size / page_size <= INT_MAX);
  max_pages_ = static_cast<int>(size / page_size);
  pages_ = static_cast<Page**>(Heap::Allocate(sizeof(Page*) * max_pages_));
}

PageCacheFile::~PageCacheFile() {
  Close();
  Heap::Release(pages_);
}

int PageCacheFile::Open(const char* path, unsigned mode) {
  if (IsOpen()) Close();
  BaseFile* file = HeapNew<BaseFile>();
  int64_t length = file->Open(path, mode | kTypeBinary) != 0 ? file->SeekToEnd() : -1;
  if (length < 0) {
    HeapDelete(file);
    return 0;
  }
  os_file_ = file;
  length_ = length;
  position_ = 0;
  os_failed_ = false;
  return 1;
}

int PageCacheFile::Close() {
  if (!IsOpen()) return 1;
  bool flushed = Flush() != 0;
  FreePages();
  bool closed = os_file_->Close() != 0;
  HeapDelete(os_file_);
  os_file_ = nullptr;
  position_ = 0;
  length_ = 0;
  return flushed && closed ? 1 : 0;
}

int64_t PageCacheFile::Read(void* buffer, int64_t count) {
  if (!IsOpen()) return -1;
  FATAL_CHECK(count >= 0 && (buffer != nullptr || count == 0));
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count && position_ < length_) {
    int64_t in_page = position_ % page_size_;
    const Page* page = Touch(position_ / page_size_, true);
    int64_t k = std::min(page->valid - in_page, count - done);
    if (k <= 0) break;  // a page that could not be read in full
    std::memcpy(out + done, page->data + in_page, static_cast<size_t>(k));
    done += k;
    position_ += k;
  }
  return done;
}

int64_t PageCacheFile::Write(const void* buffer, int64_t count) {
  if (!IsOpen()) return -1;
  FATAL_CHECK(count >= 0 && (buffer != nullptr || count == 0));
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    int64_t number = position_ / page_size_;
    int64_t in_page = position_ % page_size_;
    Page* page = Touch(number, number * page_size_ < length_);
    int64_t k = std::min(page_size_ - in_page, count - done);
    std::memcpy(page->data + in_page, in + done, static_cast<size_t>(k));
    page->dirty = true;
    page->valid = std::max(page->valid, in_page + k);
    done += k;
    position_ += k;
    if (position_ > length_ && !Grow(*page, length_)) {
      // Only what reached the OS file counts: the length stays the OS file's.
      done -= position_ - length_;
      position_ = length_;
      page->valid = length_ - number * page_size_;
      break;
    }
  }
  return done;
}

int64_t PageCacheFile::Seek(int64_t offset, SeekFrom from) {
  if (!IsOpen()) return -1;
  int64_t base = from == kBegin ? 0 : from == kCurrent ? position_ : length_;
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? 0 : length_;
  position_ = std::clamp<int64_t>(target, 0, length_);
  // Nothing above seeks past the end of a sound file: a truncated index file does.
  if (target > length_) Inconsistent("seek past the end", target);
  return position_;
}

void PageCacheFile::Inconsistent(const char* what, int64_t offset) {
  CString text;
  text.Format("page cache:%s %lld of %lld in %s", what, static_cast<long long>(offset),
              static_cast<long long>(length_), os_file_->GetFilePath().GetString());
  ErrorTraceWithStack(text);
}

int64_t PageCacheFile::GetLength() {
  return IsOpen() ? length_ : -1;
}

int PageCacheFile::Flush() {
  if (!IsOpen()) return 0;
  for (int i = 0; i < count_; ++i) WriteBack(pages_[i]);
  bool ok = !os_failed_;
  os_failed_ = false;
  return ok ? 1 : 0;
}

const CString& PageCacheFile::GetFilePath() const {
  return IsOpen() ? os_file_->GetFilePath() : no_path_;
}

int PageCacheFile::Find(int64_t number) const {
  int low = 0;
  int high = count_ - 1;
  while (low <= high) {
    int middle = (low + high) / 2;
    int64_t at = pages_[middle]->number;
    if (at == number) return middle;
    if (number < at) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return -low - 1;
}

PageCacheFile::Page* PageCacheFile::Touch(int64_t number, bool load) {
  int index = Find(number);
  if (index >= 0) {
    pages_[index]->last_use = tick_++;
    return pages_[index];
  }
  Page* page = TakeDescriptor();
  page->number = number;
  page->dirty = false;
  page->valid = 0;
  if (load) Load(page);
  page->last_use = tick_++;
  // The eviction may have shifted the array: look the insertion point up again.
  int at = -Find(number) - 1;
  std::memmove(pages_ + at + 1, pages_ + at, sizeof(Page*) * (count_ - at));
  pages_[at] = page;
  ++count_;
  return page;
}

PageCacheFile::Page* PageCacheFile::TakeDescriptor() {
  if (count_ < max_pages_) {
    Page* page = HeapNew<Page>();
    page->data = static_cast<uint8_t*>(Heap::Allocate(static_cast<size_t>(page_size_)));
    return page;
  }
  int victim = ChooseVictim();
  Page* page = pages_[victim];
  std::memmove(pages_ + victim, pages_ + victim + 1, sizeof(Page*) * (count_ - victim - 1));
  --count_;
  WriteBack(page);
  page->valid = 0;
  return page;
}

int PageCacheFile::ChooseVictim() {
  if (cursor_ >= count_) cursor_ = 0;
  int best = cursor_;
  int window = std::min(count_ - 1, kEvictionWindow);
  for (int step = 1; step <= window; ++step) {
    int at = (cursor_ + step) % count_;
    if (pages_[at]->last_use < pages_[best]->last_use) best = at;
  }
  cursor_ = best;
  return best;
}

void PageCacheFile::Load(Page* page) {
  int64_t start = page->number * page_size_;
  int64_t expected = std::min(page_size_, length_ - start);
  int64_t got = -1;
  if (os_file_->Seek(start, kBegin) == start) got = os_file_->Read(page->data, expected);
  page->valid = std::max<int64_t>(got, 0);
  if (page->valid != expected) {
    os_failed_ = true;
    Inconsistent("short page read", start);
  }
  std::memset(page->data + page->valid, 0, static_cast<size_t>(page_size_ - page->valid));
}

void PageCacheFile::WriteBack(Page* page) {
  if (!page->dirty) return;
  int64_t start = page->number * page_size_;
  bool written = os_file_->Seek(start, kBegin) == start &&
                 os_file_->Write(page->data, page->valid) == page->valid;
  if (!written) os_failed_ = true;
  page->dirty = false;
}

bool PageCacheFile::Grow(const Page& page, int64_t old_length) {
  int64_t from = old_length - page.number * page_size_;
  int64_t count = position_ - old_length;
  FATAL_CHECK(from >= 0 && count > 0 && from + count <= page_size_);
  int64_t sent = -1;
  if (os_file_->Seek(old_length, kBegin) == old_length) {
    sent = os_file_->Write(page.data + from, count);
  }
  if (sent == count) {
    length_ = position_;
    return true;
  }
  os_failed_ = true;
  // A partial write still made the OS file longer; the cache follows it.
  int64_t os_length = os_file_->GetLength();
  length_ = std::clamp<int64_t>(os_length, old_length, position_);
  return false;
}

void PageCacheFile::FreePages() {
  for (int i = 0; i < count_; ++i) {
    Heap::Release(pages_[i]->data);
    HeapDelete(pages_[i]);
  }
  count_ = 0;
  cursor_ = 0;
}
