// Date-time texts: a date-time written into a pattern such as "YYYY-MM-DD hh:mm:ss".
//
// Each run of Y, M, D, h, m, s in the pattern is replaced by the year, month, day, hour,
// minute or second, right-aligned in the run and filled with 0 on the left; a number longer
// than its run keeps its last digits. Every other character is copied.
#pragma once

#include "foundation/cstring.h"
#include "platform/clock.h"

CString DateTimeText(const char* pattern, const platform::LocalTime& time);
// The current local time in the pattern.
CString NowText(const char* pattern);
