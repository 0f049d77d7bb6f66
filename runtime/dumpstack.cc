// The fatal internal error and the internal-error notice.
#include "runtime/dumpstack.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/memobj.h"

namespace {

constexpr char kErrorLog[] = "corvexaerror.log";

}  // namespace

void InternalErrorFire(const char* unit, int line) {
  char text[320];
  std::snprintf(text, sizeof text, "internal error:%s %d\n", unit, line);
  AppendToLog(kErrorLog, text, true);
  std::fputs(text, stdout);
  std::fflush(stdout);
  std::abort();
}

void InternalNotice(bool a, bool b, const char* unit, int line) {
  if (a || b) return;
  std::printf("internal error:%s %d occured\n", unit, line);
}
