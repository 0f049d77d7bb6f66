// YArray storage and sorting; YStringArray ownership and splitting.
#include "foundation/yarray.h"

#include <algorithm>
#include <cstring>

#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "yarray";

int CompareStrings(const void* a, const void* b) {
  return std::strcmp(static_cast<const CString*>(a)->GetString(),
                     static_cast<const CString*>(b)->GetString());
}

}  // namespace

YArray::~YArray() {
  Heap::Release(items_);
}

void* YArray::GetAt(int index) const {
  FATAL_CHECK(index >= 0 && index < count_);
  return items_[index];
}

void YArray::SetAt(int index, void* element) {
  FATAL_CHECK(index >= 0 && index < count_);
  items_[index] = element;
  sorted_ = false;
}

int YArray::Add(void* element) {
  InsertAt(count_, element);
  return count_ - 1;
}

void YArray::InsertAt(int index, void* element) {
  FATAL_CHECK(index >= 0 && index <= count_);
  if (count_ == capacity_) {
    capacity_ = capacity_ < 8 ? 8 : capacity_ * 2;
    items_ = static_cast<void**>(Heap::Reallocate(items_, sizeof(void*) * capacity_));
  }
  std::memmove(items_ + index + 1, items_ + index, sizeof(void*) * (count_ - index));
  items_[index] = element;
  ++count_;
  sorted_ = false;
}

void* YArray::RemoveAt(int index) {
  FATAL_CHECK(index >= 0 && index < count_);
  void* removed = items_[index];
  std::memmove(items_ + index, items_ + index + 1, sizeof(void*) * (count_ - index - 1));
  --count_;
  return removed;
}

void YArray::RemoveAll() {
  count_ = 0;
}

void YArray::Sort(bool force) {
  if (sorted_ && !force) return;
  FATAL_CHECK(compare_ != nullptr);
  CompareRoutine compare = compare_;
  std::stable_sort(items_, items_ + count_,
                   [compare](const void* a, const void* b) { return compare(a, b) < 0; });
  sorted_ = true;
}

YStringArray::YStringArray() {
  SetCompare(CompareStrings);
}

YStringArray::~YStringArray() {
  Clear();
}

const CString& YStringArray::GetAt(int index) const {
  return *static_cast<const CString*>(YArray::GetAt(index));
}

void YStringArray::SetAt(int index, const char* text) {
  *static_cast<CString*>(YArray::GetAt(index)) = text;
  MarkUnsorted();
}

int YStringArray::Add(const char* text) {
  return YArray::Add(new CString(text));
}

void YStringArray::RemoveAt(int index) {
  delete static_cast<CString*>(YArray::RemoveAt(index));
}

void YStringArray::Clear() {
  for (int i = 0; i < GetCount(); ++i) delete static_cast<CString*>(YArray::GetAt(i));
  RemoveAll();
}

void YStringArray::Split(const char* text, char separator) {
  const char* start = text != nullptr ? text : "";
  for (;;) {
    const char* end = std::strchr(start, separator);
    int length =
        end != nullptr ? static_cast<int>(end - start) : static_cast<int>(std::strlen(start));
    CString piece(start, length);
    piece.Trim();
    if (!(separator == ' ' && piece.IsEmpty())) Add(piece);
    if (end == nullptr) break;
    start = end + 1;
  }
}
