// ProfileFile: the service's configuration file of `key=value` lines. The whole file is read
// into an in-memory image once, at construction; reads of single keys are answered from the
// image, writes change the image, and the image goes back to the file at destruction when it
// was changed. The service only reads; the write operations serve tools of the same family.
//
// The format as the reader sees it:
//  - Lines end at LF. Each line is trimmed of ASCII white space (space, TAB, LF, VT, FF, CR;
//    bytes of 128 and above are text). Empty lines and lines starting with `#` or `;` are
//    skipped. Bytes are never converted between code pages.
//  - The key is the trimmed text before the first `=` and is matched without regard to ASCII
//    case; a line without `=` is a key with an empty value. No sections: the first entry
//    whose key matches counts, and an empty value counts as absent (the default is given).
//  - A line that ends in an unescaped `&` continues on the next line that is neither empty
//    nor a comment; that line's whole trimmed text adds to the value.
//  - In the value part of each line: a `$` first or last is dropped (it protects blanks from
//    trimming), a final `&` is dropped, `\n` is LF, `\t` is TAB, `\` before any other
//    character gives that character, and a `\` ending the line stays.
//
// SetString writes `name=value` CR LF, escaping what the reader would otherwise take away,
// and folds long values onto continuation lines: once a line has reached the fold width,
// `&` CR LF ends it and the next line starts with one blank more than the name is long, then
// `$`. Names are plain keys: no `=`, no line breaks, not starting with `#` or `;`.
//
// Threads: none of its own and no locking; one thread uses a profile (the service's start-up
// thread).
//
// Invariants:
//  1. 0 <= cursor_ <= size_ <= capacity_ < 2^31; capacity_ is a multiple of the
//     growth step of 10240 bytes.
//  2. line_ is the number of LF bytes in the image before cursor_.
//  3. The file is read only by the constructor and written only by the destructor, and only
//     when a write operation has run since.
#pragma once

#include "foundation/cstring.h"

class ProfileFile {
 public:
  // Loads the file at `path` ('/' becomes '\'). Never fails: a file that cannot be opened or
  // is empty gives an empty image, in which every read gives its default.
  ProfileFile(const char* path, int fold_width);
  // Writes the image back (file created or truncated) when it was modified; a file that
  // cannot be opened then is silently left as it was.
  ~ProfileFile();
  ProfileFile(const ProfileFile&) = delete;
  ProfileFile& operator=(const ProfileFile&) = delete;

  // The decoded value of the first entry named `name`, or `default_value` when there is
  // none or its value is empty. Always 1.
  int GetString(const char* name, CString& value, const char* default_value);
  // The value converted as atof converts decimal text (leading white space, sign, digits,
  // point, exponent; anything else is 0), or `default_value` when the value is absent.
  double GetFloat(const char* name, float default_value);
  // Replaces the lines of the first entry named `name`, or appends an entry. Always 1.
  int SetString(const char* name, const char* value);
  // SetString of the value formatted with "%.4f". Always 1.
  int SetFloat(const char* name, float value);

  const CString& path() const { return path_; }
  bool modified() const { return modified_; }

 private:
  struct Entry {
    CString key;    // trimmed
    CString value;  // decoded
    int start = 0;  // image offset of the entry's first line
    int line = 0;   // number of that line, from 0
  };

  void Load();
  void WriteBack() const;
  void Reserve(int size);
  // Replaces the image bytes [start, end) by `text`.
  void Splice(int start, int end, const CString& text);

  // Puts the cursor on line 0, past any control bytes (below 32, LF excepted) it starts with.
  void Rewind();
  // The bytes from the cursor up to the next LF, which is consumed; false at the end.
  bool ReadLine(CString* line);
  // The next entry from the cursor, its continuation lines included; false when the image
  // ends before one starts. An entry cut short by the end of the image counts as read.
  bool ReadEntry(Entry* entry);
  bool FindEntry(const char* name, Entry* entry);
  // The offset behind the last line that belongs to `entry` when it is replaced.
  int EntryEnd(const Entry& entry);

  CString path_;
  int fold_width_;
  char* image_ = nullptr;
  int size_ = 0;
  int capacity_ = 0;
  int cursor_ = 0;
  int line_ = 0;
  bool modified_ = false;
};
