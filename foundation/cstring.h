// CString: an owned 8-bit text with a length, always NUL-terminated after its last byte.
//
// Characters are bytes: nothing is converted between code pages, and a text may hold NUL
// bytes when it is assigned with an explicit length (binary payloads of value cells use
// this). Storage comes from the process heap through Heap. Not thread-safe: one thread at a
// time, or under its owner's lock.
#pragma once

#include <cstdarg>
#include <cstddef>

class CString {
 public:
  CString() = default;
  CString(const char* text);  // NOLINT(google-explicit-constructor): used as a value type
  CString(const char* bytes, int length);
  CString(const CString& other);
  CString(CString&& other) noexcept;
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(CString&& other) noexcept;
  CString& operator=(const char* text);

  // Exactly `length` bytes (NUL bytes included); a null `bytes` with length 0 empties.
  void Assign(const char* bytes, int length);
  void Append(const char* bytes, int length);
  CString& operator+=(const char* text);
  CString& operator+=(const CString& other);
  CString& operator+=(char ch);

  int GetLength() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }
  void Empty();
  const char* GetString() const { return data_ != nullptr ? data_ : ""; }
  operator const char*() const { return GetString(); }  // NOLINT: the text's natural form
  char GetAt(int index) const;

  CString Left(int count) const;
  CString Mid(int start, int count) const;
  CString Mid(int start) const;
  CString Right(int count) const;
  // Position of the first occurrence at or after `start`, or -1.
  int Find(const char* text, int start = 0) const;
  int Find(char ch, int start = 0) const;
  int ReverseFind(char ch) const;

  // Replaces every occurrence of `from` by `to`; the number of replacements.
  int Replace(const char* from, const char* to);
  // ASCII white space only (space, TAB, LF, VT, FF, CR); bytes of 128 and above stay.
  void TrimLeft();
  void TrimRight();
  void Trim();
  void MakeLower();  // ASCII letters only, like _strlwr
  void MakeUpper();

  int Compare(const char* text) const;
  // Case-insensitive (ASCII) comparison, like _stricmp.
  int CompareNoCase(const char* text) const;

  // printf-style formatting that also understands the "%I64d", "%I64u" and "%I64x" forms.
  void Format(const char* format, ...);
  void FormatV(const char* format, va_list args);
  void AppendFormat(const char* format, ...);

  // Raw access for callers that fill the text themselves: room for `length` bytes, then
  // ReleaseBuffer with the bytes actually written.
  char* GetBuffer(int length);
  void ReleaseBuffer(int length);

 private:
  // False, nothing appended, when the format cannot be applied.
  bool AppendFormatV(const char* format, va_list args);
  void Reserve(int capacity);

  char* data_ = nullptr;
  int length_ = 0;
  int capacity_ = 0;  // bytes allocated, the NUL's included
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, const char* b);
CString operator+(const char* a, const CString& b);
bool operator==(const CString& a, const char* b);
bool operator==(const CString& a, const CString& b);

// Case-insensitive comparison of two texts (ASCII), like _stricmp.
int StrICmp(const char* a, const char* b);
