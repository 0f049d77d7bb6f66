// YArray: a growable array of pointers with an optional compare routine and a sorted flag.
// YStringArray: a YArray of owned CStrings, with split and sort.
//
// YArray does not own what its pointers point to; YStringArray owns its strings and frees
// them on removal, Clear and destruction. Indexes are 0-based; an index out of range is a
// contract violation (fatal internal error). Not thread-safe.
#pragma once

#include "foundation/cstring.h"
#include "runtime/memobj.h"

class YArray : public BaseObject {
 public:
  // Compares two elements (the pointers themselves) like strcmp.
  using CompareRoutine = int (*)(const void* a, const void* b);

  YArray() = default;
  ~YArray() override;
  YArray(const YArray&) = delete;
  YArray& operator=(const YArray&) = delete;

  int GetCount() const { return count_; }
  void* GetAt(int index) const;
  void SetAt(int index, void* element);
  // The new element's index.
  int Add(void* element);
  void InsertAt(int index, void* element);
  // The removed pointer.
  void* RemoveAt(int index);
  void RemoveAll();

  void SetCompare(CompareRoutine compare) { compare_ = compare; }
  bool IsSorted() const { return sorted_; }
  // Ascending with the compare routine; skipped when already sorted unless forced.
  void Sort(bool force = false);

 protected:
  void MarkUnsorted() { sorted_ = false; }

 private:
  CompareRoutine compare_ = nullptr;
  void** items_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
  bool sorted_ = false;
};

class YStringArray : public YArray {
 public:
  YStringArray();
  ~YStringArray() override;

  const CString& GetAt(int index) const;
  void SetAt(int index, const char* text);
  int Add(const char* text);
  void RemoveAt(int index);
  void Clear();
  // Adds the pieces of `text` between `separator`s, each trimmed, in order; with a blank
  // separator empty pieces are left out.
  void Split(const char* text, char separator);
};
