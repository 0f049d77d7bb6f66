// The profile file: loading the image, the line and entry reader, value decoding, and the
// entry writer with folding (format and contract in profile.h).
#include "app/profile.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "foundation/base.h"
#include "foundation/plusfile.h"
#include "runtime/dumpstack.h"
#include "runtime/memobj.h"

namespace {

constexpr char kUnit[] = "profile";

// The image grows in whole steps; its offsets are ints, so it stops short of 2^31.
constexpr int kImageStep = 10240;
constexpr int kMaxImage = INT_MAX / kImageStep * kImageStep;

bool IsAsciiSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// White space that the writer puts out as itself and that the reader's trimming would take
// from the ends of a line; LF is never among it because the writer escapes it.
bool IsBlank(char ch) {
  return ch != '\n' && IsAsciiSpace(ch);
}

int LengthOf(const char* text) {
  size_t length = std::strlen(text);
  FATAL_CHECK(length < static_cast<size_t>(kMaxImage));
  return static_cast<int>(length);
}

bool IsComment(const CString& line) {
  return line.GetLength() > 0 && (line.GetAt(0) == '#' || line.GetAt(0) == ';');
}

// A trimmed line continues when its last character is a `&` that no `\` escapes. The walk
// starts at the line's first character, so an escaping `\` in the key counts too.
bool Continues(const CString& line) {
  const char* text = line.GetString();
  int length = line.GetLength();
  for (int i = 0; i < length; ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '&' && i == length - 1) {
      return true;
    }
  }
  return false;
}

char Unescaped(char ch) {
  if (ch == 'n') return '\n';
  if (ch == 't') return '\t';
  return ch;
}

// Decodes the value part of one line (the text after `=`, or a whole continuation line).
void AppendDecoded(const char* part, int length, CString* value) {
  for (int i = 0; i < length; ++i) {
    char ch = part[i];
    bool last = i == length - 1;
    if (ch == '\\' && !last) {
      *value += Unescaped(part[++i]);
    } else if (!((ch == '$' && (i == 0 || last)) || (ch == '&' && last))) {
      *value += ch;
    }
  }
}

bool SameKey(const CString& key, const char* name) {
  return key.GetLength() == LengthOf(name) && StrICmp(key.GetString(), name) == 0;
}

// The text of one entry as SetString writes it. The column counts every byte put out since
// the `=` (or since the `$` that opens a fold line), marks and escapes included; a fold goes
// in before a value character once the column has reached the fold width.
class EntryWriter {
 public:
  EntryWriter(const char* name, int fold_width)
      : indent_(LengthOf(name) + 1), fold_width_(fold_width), column_(indent_), text_(name) {
    text_ += '=';
  }

  CString Write(const char* value) {
    int length = LengthOf(value);
    if (length > 0 && IsBlank(value[0])) Put("$", 1);
    for (int i = 0; i < length; ++i) Character(value[i], i == 0 || i == length - 1);
    if (length > 0 && IsBlank(value[length - 1])) Put("$", 1);
    text_ += "\r\n";
    return std::move(text_);
  }

 private:
  // `at_edge`: the character is the value's first or last, where a plain `$` would be taken
  // for a mark.
  void Character(char ch, bool at_edge) {
    if (column_ >= fold_width_) Fold();
    char escaped[2] = {'\\', ch};
    if (ch == '\n') {
      escaped[1] = 'n';
    } else if (ch != '&' && ch != '\\' && !(ch == '$' && at_edge)) {
      Put(&ch, 1);
      return;
    }
    Put(escaped, 2);
  }

  void Fold() {
    text_ += "&\r\n";
    for (int i = 0; i < indent_; ++i) text_ += ' ';
    text_ += '$';
    column_ = 0;
  }

  void Put(const char* bytes, int count) {
    text_.Append(bytes, count);
    column_ += count;
  }

  const int indent_;
  const int fold_width_;
  int column_;
  CString text_;
};

// atof restricted to decimal text, as the value is documented: leading white space, sign,
// digits, point and exponent. Hexadecimal, "inf" and "nan" are not numbers and give 0.
double DecimalValue(const CString& text) {
  const char* p = text.GetString();
  while (IsAsciiSpace(*p)) ++p;
  int length = 0;
  while (p[length] != '\0' && std::strchr("0123456789.eE+-", p[length]) != nullptr) ++length;
  CString number(p, length);
  return std::strtod(number.GetString(), nullptr);
}

}  // namespace

ProfileFile::ProfileFile(const char* path, int fold_width) : fold_width_(fold_width) {
  FATAL_CHECK(path != nullptr);
  path_ = PlusFile::WithBackslashes(path);
  Load();
}

ProfileFile::~ProfileFile() {
  if (modified_) WriteBack();
  Heap::Release(image_);
}

void ProfileFile::Load() {
  BaseFile file;
  // Read access is all loading needs: a profile the service account may only read still
  // configures it.
  if (file.Open(path_, kModeRead | kShareDenyNone | kTypeBinary) != 0) {
    int64_t length = file.GetLength();
    if (length > 0 && length <= kMaxImage) {
      Reserve(static_cast<int>(length));
      int64_t read = file.Read(image_, length);
      size_ = read > 0 ? static_cast<int>(read) : 0;
    }
    file.Close();
  }
  modified_ = false;
}

void ProfileFile::WriteBack() const {
  BaseFile file;
  if (file.Open(path_, kModeCreate | kModeWrite | kTypeBinary) == 0) return;
  file.Write(image_, size_);
  file.Close();
}

void ProfileFile::Reserve(int size) {
  FATAL_CHECK(size >= 0 && size <= kMaxImage);
  if (size <= capacity_) return;
  int capacity = (size + kImageStep - 1) / kImageStep * kImageStep;
  image_ = static_cast<char*>(Heap::Reallocate(image_, static_cast<size_t>(capacity)));
  capacity_ = capacity;
}

void ProfileFile::Splice(int start, int end, const CString& text) {
  FATAL_CHECK(0 <= start && start <= end && end <= size_);
  int64_t size = int64_t{size_} - (end - start) + text.GetLength();
  FATAL_CHECK(size <= kMaxImage);
  Reserve(static_cast<int>(size));
  std::memmove(image_ + start + text.GetLength(), image_ + end, static_cast<size_t>(size_ - end));
  std::memcpy(image_ + start, text.GetString(), static_cast<size_t>(text.GetLength()));
  size_ = static_cast<int>(size);
}

void ProfileFile::Rewind() {
  int position = 0;
  while (position < size_ && static_cast<unsigned char>(image_[position]) < 32 &&
         image_[position] != '\n') {
    ++position;
  }
  cursor_ = position;
  line_ = 0;
}

bool ProfileFile::ReadLine(CString* line) {
  if (cursor_ >= size_) return false;
  const char* start = image_ + cursor_;
  const void* lf = std::memchr(start, '\n', static_cast<size_t>(size_ - cursor_));
  int length =
      lf != nullptr ? static_cast<int>(static_cast<const char*>(lf) - start) : size_ - cursor_;
  line->Assign(start, length);
  cursor_ += length;
  if (lf != nullptr) {
    ++cursor_;
    ++line_;
  }
  return true;
}

bool ProfileFile::ReadEntry(Entry* entry) {
  bool started = false;
  CString line;
  for (;;) {
    int line_start = cursor_;
    int line_number = line_;
    if (!ReadLine(&line)) return started;
    line.Trim();
    if (line.IsEmpty() || IsComment(line)) continue;
    int part = 0;
    if (!started) {
      started = true;
      entry->start = line_start;
      entry->line = line_number;
      int equals = line.Find('=');
      part = equals < 0 ? line.GetLength() : equals + 1;
      entry->key = line.Left(equals < 0 ? line.GetLength() : equals);
      entry->key.Trim();
      entry->value.Empty();
    }
    AppendDecoded(line.GetString() + part, line.GetLength() - part, &entry->value);
    if (!Continues(line)) return true;
  }
}

bool ProfileFile::FindEntry(const char* name, Entry* entry) {
  Rewind();
  while (ReadEntry(entry)) {
    if (SameKey(entry->key, name)) return true;
  }
  return false;
}

// The replaced range can be shorter than what the reader takes into the entry: it ends behind
// the first line that does not continue (an empty line is one) or behind the first comment.
// Continuation lines that a person put after such a line stay behind the new entry, where
// they read as lines of their own.
int ProfileFile::EntryEnd(const Entry& entry) {
  cursor_ = entry.start;
  line_ = entry.line;
  CString line;
  while (ReadLine(&line)) {
    line.Trim();
    if (IsComment(line) || !Continues(line)) break;
  }
  return cursor_;
}

int ProfileFile::GetString(const char* name, CString& value, const char* default_value) {
  FATAL_CHECK(name != nullptr);
  Entry entry;
  if (FindEntry(name, &entry) && !entry.value.IsEmpty()) {
    value = entry.value;
  } else {
    value = default_value;
  }
  return 1;
}

double ProfileFile::GetFloat(const char* name, float default_value) {
  CString text;
  GetString(name, text, "");
  return text.IsEmpty() ? default_value : DecimalValue(text);
}

int ProfileFile::SetString(const char* name, const char* value) {
  FATAL_CHECK(name != nullptr && value != nullptr);
  modified_ = true;
  CString text = EntryWriter(name, fold_width_).Write(value);
  Entry entry;
  if (FindEntry(name, &entry)) {
    Splice(entry.start, EntryEnd(entry), text);
  } else {
    // A last line without its LF would otherwise run into the new entry.
    if (size_ > 0 && image_[size_ - 1] != '\n') text = "\r\n" + text;
    Splice(size_, size_, text);
  }
  Rewind();
  return 1;
}

int ProfileFile::SetFloat(const char* name, float value) {
  CString text;
  text.Format("%.4f", static_cast<double>(value));
  return SetString(name, text);
}
