// The fatal internal error: the one way a broken invariant or a contract violation is
// reported. Any thread may call it.
//
// InternalError(a, b, unit, line) returns at once when a or b holds. Otherwise it appends
// "internal error:<unit> <line>\n" to "corvexaerror.log" in the current directory, prints the
// same line on the console and ends the process (abort, so that a debugger or a core file
// sees the place). Every unit names itself in a `kUnit` constant and checks with
// FATAL_CHECK(condition).
#pragma once

[[gnu::cold]] void InternalErrorFire(const char* unit, int line);

inline void InternalError(bool a, bool b, const char* unit, int line) {
  if (a || b) return;
  InternalErrorFire(unit, line);
}

// Prints "internal error:%s %d occured\n" when both conditions fail; nothing else. Callers
// follow it with InternalError for the same place.
void InternalNotice(bool a, bool b, const char* unit, int line);

// Fires the fatal internal error of the calling unit when `condition` does not hold.
#define FATAL_CHECK(condition) InternalError(static_cast<bool>(condition), false, kUnit, __LINE__)
