// CString storage and operations.
#include "foundation/cstring.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/dumpstack.h"
#include "runtime/memobj.h"

namespace {

constexpr char kUnit[] = "cstring";

bool IsAsciiSpace(unsigned char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

char AsciiLower(char ch) {
  return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
}
char AsciiUpper(char ch) {
  return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 32) : ch;
}

int ClampedLength(const char* text) {
  return text == nullptr ? 0 : static_cast<int>(std::strlen(text));
}

// The "%I64d" family is the 64-bit length modifier of the platform this system was written
// for; the C library knows it as "ll". Only a modifier inside a conversion is translated.
std::string TranslateFormat(const char* format) {
  std::string out;
  for (const char* p = format; *p != '\0';) {
    out += *p;
    if (*p++ != '%') continue;
    while (*p != '\0' && std::strchr("-+ #0123456789.*", *p) != nullptr) out += *p++;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      out += "ll";
      p += 3;
    }
    if (*p != '\0') out += *p++;  // the conversion letter, or the second '%' of "%%"
  }
  return out;
}

}  // namespace

CString::CString(const char* text) {
  Assign(text, ClampedLength(text));
}

CString::CString(const char* bytes, int length) {
  Assign(bytes, length);
}

CString::CString(const CString& other) {
  Assign(other.data_, other.length_);
}

CString::CString(CString&& other) noexcept
    : data_(other.data_), length_(other.length_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.length_ = other.capacity_ = 0;
}

CString::~CString() {
  Heap::Release(data_);
}

CString& CString::operator=(const CString& other) {
  if (this != &other) Assign(other.data_, other.length_);
  return *this;
}

CString& CString::operator=(CString&& other) noexcept {
  if (this != &other) {
    Heap::Release(data_);
    data_ = other.data_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.length_ = other.capacity_ = 0;
  }
  return *this;
}

CString& CString::operator=(const char* text) {
  Assign(text, ClampedLength(text));
  return *this;
}

void CString::Reserve(int capacity) {
  if (capacity <= capacity_) return;
  int grown = capacity_ + capacity_ / 2;
  int target = capacity > grown ? capacity : grown;
  data_ = static_cast<char*>(Heap::Reallocate(data_, static_cast<size_t>(target)));
  capacity_ = target;
}

void CString::Assign(const char* bytes, int length) {
  FATAL_CHECK(length >= 0);
  if (bytes != nullptr && data_ != nullptr && bytes >= data_ && bytes < data_ + capacity_) {
    // Assigning a piece of this text to itself: copy first, the buffer may move.
    CString copy(bytes, length);
    *this = std::move(copy);
    return;
  }
  Empty();
  Append(bytes, length);
}

void CString::Append(const char* bytes, int length) {
  FATAL_CHECK(length >= 0);
  if (length == 0) return;
  if (bytes != nullptr && data_ != nullptr && bytes >= data_ && bytes < data_ + capacity_) {
    CString copy(bytes, length);
    Append(copy.data_, copy.length_);
    return;
  }
  Reserve(length_ + length + 1);
  if (length > 0) std::memcpy(data_ + length_, bytes, static_cast<size_t>(length));
  length_ += length;
  data_[length_] = '\0';
}

CString& CString::operator+=(const char* text) {
  Append(text, ClampedLength(text));
  return *this;
}

CString& CString::operator+=(const CString& other) {
  Append(other.data_, other.length_);
  return *this;
}

CString& CString::operator+=(char ch) {
  Append(&ch, 1);
  return *this;
}

void CString::Empty() {
  length_ = 0;
  if (data_ != nullptr) data_[0] = '\0';
}

char CString::GetAt(int index) const {
  FATAL_CHECK(index >= 0 && index < length_);
  return data_[index];
}

CString CString::Mid(int start, int count) const {
  if (start < 0) start = 0;
  if (start > length_) start = length_;
  if (count < 0) count = 0;
  if (count > length_ - start) count = length_ - start;
  return CString(GetString() + start, count);
}

CString CString::Mid(int start) const {
  return Mid(start, length_);
}

CString CString::Left(int count) const {
  return Mid(0, count);
}

CString CString::Right(int count) const {
  if (count > length_) count = length_;
  if (count < 0) count = 0;
  return Mid(length_ - count, count);
}

int CString::Find(const char* text, int start) const {
  int needle = ClampedLength(text);
  if (start < 0) start = 0;
  for (int i = start; i + needle <= length_; ++i) {
    if (std::memcmp(data_ + i, text, static_cast<size_t>(needle)) == 0) return i;
  }
  return -1;
}

int CString::Find(char ch, int start) const {
  return Find(CString(&ch, 1), start);
}

int CString::ReverseFind(char ch) const {
  for (int i = length_ - 1; i >= 0; --i) {
    if (data_[i] == ch) return i;
  }
  return -1;
}

int CString::Replace(const char* from, const char* to) {
  int from_length = ClampedLength(from);
  if (from_length == 0 || length_ == 0) return 0;
  CString result;
  int count = 0;
  int done = 0;
  for (int at = Find(from, 0); at >= 0; at = Find(from, done)) {
    result.Append(data_ + done, at - done);
    result += to;
    done = at + from_length;
    ++count;
  }
  if (count == 0) return 0;
  result.Append(data_ + done, length_ - done);
  *this = std::move(result);
  return count;
}

void CString::TrimLeft() {
  int skip = 0;
  while (skip < length_ && IsAsciiSpace(static_cast<unsigned char>(data_[skip]))) ++skip;
  if (skip == 0) return;
  std::memmove(data_, data_ + skip, static_cast<size_t>(length_ - skip + 1));
  length_ -= skip;
}

void CString::TrimRight() {
  while (length_ > 0 && IsAsciiSpace(static_cast<unsigned char>(data_[length_ - 1]))) --length_;
  if (data_ != nullptr) data_[length_] = '\0';
}

void CString::Trim() {
  TrimRight();
  TrimLeft();
}

void CString::MakeLower() {
  for (int i = 0; i < length_; ++i) data_[i] = AsciiLower(data_[i]);
}

void CString::MakeUpper() {
  for (int i = 0; i < length_; ++i) data_[i] = AsciiUpper(data_[i]);
}

int CString::Compare(const char* text) const {
  return std::strcmp(GetString(), text != nullptr ? text : "");
}

int CString::CompareNoCase(const char* text) const {
  return StrICmp(GetString(), text);
}

void CString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatV(format, args);
  va_end(args);
}

void CString::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendFormatV(format, args);
  va_end(args);
}

void CString::FormatV(const char* format, va_list args) {
  // The arguments may point into this string: its bytes stay as they are until the new text
  // is complete, only the length says they are gone.
  length_ = 0;
  // An empty text appends nothing, which would leave the old bytes unterminated.
  if (!AppendFormatV(format, args) || length_ == 0) Empty();
}

// A short text is formatted once, on the stack; a longer one is measured there and formatted
// again into a string of its own, which the arguments cannot point into.
bool CString::AppendFormatV(const char* format, va_list args) {
  const char* spelled = format != nullptr ? format : "";
  std::string translated;
  if (std::strstr(spelled, "I64") != nullptr) {
    translated = TranslateFormat(spelled);
    spelled = translated.c_str();
  }
  char small[256];
  va_list again;
  va_copy(again, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int needed = std::vsnprintf(small, sizeof small, spelled, args);
  if (needed >= 0 && needed < static_cast<int>(sizeof small)) {
    Append(small, needed);
  } else if (needed >= 0) {
    CString piece;
    piece.Reserve(needed + 1);
    std::vsnprintf(piece.data_, static_cast<size_t>(needed) + 1, spelled, again);
    piece.length_ = needed;
    Append(piece.data_, needed);
  }
#pragma GCC diagnostic pop
  va_end(again);
  return needed >= 0;
}

char* CString::GetBuffer(int length) {
  FATAL_CHECK(length >= 0);
  Reserve(length + 1);
  return data_;
}

void CString::ReleaseBuffer(int length) {
  FATAL_CHECK(length >= 0 && length < capacity_);
  length_ = length;
  data_[length_] = '\0';
}

CString operator+(const CString& a, const CString& b) {
  CString result(a);
  result += b;
  return result;
}

CString operator+(const CString& a, const char* b) {
  CString result(a);
  result += b;
  return result;
}

CString operator+(const char* a, const CString& b) {
  CString result(a);
  result += b;
  return result;
}

bool operator==(const CString& a, const char* b) {
  return a.Compare(b) == 0;
}

bool operator==(const CString& a, const CString& b) {
  return a.GetLength() == b.GetLength() &&
         std::memcmp(a.GetString(), b.GetString(), static_cast<size_t>(a.GetLength())) == 0;
}

int StrICmp(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a != nullptr ? a : "");
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b != nullptr ? b : "");
  for (;; ++x, ++y) {
    int cx = static_cast<unsigned char>(AsciiLower(static_cast<char>(*x)));
    int cy = static_cast<unsigned char>(AsciiLower(static_cast<char>(*y)));
    if (cx != cy || cx == 0) return cx - cy;
  }
}
