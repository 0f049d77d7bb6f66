// Date-time texts from patterns.
#include "foundation/datetime.h"

#include <cstring>

namespace {

// The value a pattern letter stands for, or -1 for a character that is copied as it is.
int FieldOf(char letter, const platform::LocalTime& time) {
  switch (letter) {
    case 'Y':
      return time.year;
    case 'M':
      return time.month;
    case 'D':
      return time.day;
    case 'h':
      return time.hour;
    case 'm':
      return time.minute;
    case 's':
      return time.second;
    default:
      return -1;
  }
}

// Writes `value` right-aligned into `width` characters, filled with '0', keeping the last
// digits when it is longer.
void PutDigits(CString* out, int value, int width) {
  char digits[16];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out->Append(digits, width);
}

}  // namespace

CString DateTimeText(const char* pattern, const platform::LocalTime& time) {
  CString out;
  for (const char* p = pattern; *p != '\0';) {
    int value = FieldOf(*p, time);
    if (value < 0) {
      out += *p++;
      continue;
    }
    int width = 0;
    while (p[width] == *p && width < 15) ++width;
    PutDigits(&out, value, width);
    p += width;
  }
  return out;
}

CString NowText(const char* pattern) {
  return DateTimeText(pattern, platform::GetLocalTime());
}
