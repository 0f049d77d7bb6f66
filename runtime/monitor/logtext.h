// What the log takes from outside (unit "logtext"): values that clients choose, made safe to
// put into a log line, and the rate at which refusal lines may be written.
//
// A log line is one line of the console, the day file and the monitor stream. A client that
// could put a CR LF into a logged value could write a line of its own ("client:6.6.6.6,666
// connected"), and one whose path is 20 MiB long would add 20 MiB to the day file with every
// call. LogValue closes both doors for one value: it is applied to each outside value before
// it is formatted into a line, never to the whole line (the system's own texts, such as error
// messages ending in CR LF, are the system's to write).
//
// Threads: LogValue from any thread. A RefusalLimiter is not locked: its owner locks it.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"

// At most this many bytes of one value reach a log line; a longer value is cut and ends in
// "...".
inline constexpr int kLogValueCap = 1000;

// `value` as it may appear in a log line:
//  1. every control byte (below 0x20, and 0x7f) is written as an escape: "\r", "\n", "\t",
//     else "\x" and two lower-case hex digits; every other byte, 0x80 and above included
//     (GBK and UTF-8 texts), is left as it is, and so is '\' (Windows paths are full of it);
//  2. when the result is longer than kLogValueCap bytes, its first kLogValueCap bytes (never
//     half an escape) are followed by "...".
// So a value without control bytes and within the cap comes back unchanged; null is "".
CString LogValue(const char* value);

// The rate limit of refusal lines: at most kPerWindow lines in a window of kWindowMs, the
// window starting with the first line after the previous window ended. Lines beyond that are
// suppressed and counted; the count is handed back once, to be reported in one line, either
// with the next line let through or as soon as the caller asks after the window ended.
// Times are milliseconds of a clock that may wrap (32-bit ticks); the caller passes them, so
// a test drives the limiter with the times it chooses.
class RefusalLimiter {
 public:
  static constexpr int kPerWindow = 5;
  static constexpr uint32_t kWindowMs = 1000;

  // Whether a refusal line at `now_ms` may be written. When it may, `*suppressed` gets the
  // number of lines suppressed since the last report (0: nothing to report), which the caller
  // reports before the line.
  bool Admit(uint32_t now_ms, int* suppressed);
  // The lines suppressed in a window that has ended by `now_ms` and not yet reported; 0 when
  // there are none or their window is still open. Handed out once.
  int TakeDue(uint32_t now_ms);
  // Lines suppressed and not yet reported.
  bool Pending() const { return suppressed_ != 0; }

 private:
  bool started_ = false;
  uint32_t window_start_ = 0;
  int admitted_ = 0;    // lines let through in the current window
  int suppressed_ = 0;  // lines suppressed and not yet reported
};
