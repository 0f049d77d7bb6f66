// Day numbers: date-times as doubles, in which tables compare and keep them and the SRPC
// server stamps its client list; and the current local date-time.
//
// Contract: pure conversions, any input safe (out-of-range numbers give the empty date-time);
// the current time comes from the platform clock.
#pragma once

#include "values/wirecodec.h"

// Day numbers (OLE automation dates): days since 1899-12-30 00:00, the time of day as the
// fraction, added for days before that date as well (-1.25 is 1899-12-29 06:00).
// Milliseconds are not counted; the empty date-time is 0.
double DateTimeToDayNumber(const DateTimeRecord& value);
// Rounded to the millisecond. NaN and numbers outside the years 100 to 9999 give the empty
// date-time; 0 gives 1899-12-30 00:00:00.
DateTimeRecord DayNumberToDateTime(double day_number);
// The current local date-time, as a record and as a day number.
DateTimeRecord NowDateTime();
double NowDayNumber();
