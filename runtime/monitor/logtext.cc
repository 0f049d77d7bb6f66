// Outside values made safe to log, and the refusal rate limit (contract in logtext.h).
#include "runtime/monitor/logtext.h"

#include <string>
#include <utility>

namespace {

bool IsControl(unsigned char ch) {
  return ch < 0x20 || ch == 0x7f;
}

// `ch` as it is written in a log line: itself, or the escape of a control byte.
std::string Printable(unsigned char ch) {
  if (!IsControl(ch)) return std::string(1, static_cast<char>(ch));
  switch (ch) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    default:
      break;
  }
  constexpr char kHex[] = "0123456789abcdef";
  return {'\\', 'x', kHex[ch >> 4], kHex[ch & 0xf]};
}

}  // namespace

CString LogValue(const char* value) {
  const char* text = value != nullptr ? value : "";
  // Nearly every value is a plain path: it comes back as it is, without a copy per byte.
  const char* plain_end = text;
  while (*plain_end != '\0' && !IsControl(static_cast<unsigned char>(*plain_end))) ++plain_end;
  if (*plain_end == '\0' && plain_end - text <= kLogValueCap) return CString(text);
  std::string safe;
  for (const char* at = text; *at != '\0'; ++at) {
    std::string piece = Printable(static_cast<unsigned char>(*at));
    if (safe.size() + piece.size() > static_cast<size_t>(kLogValueCap)) {
      safe += "...";
      break;
    }
    safe += piece;
  }
  return CString(safe.c_str());
}

bool RefusalLimiter::Admit(uint32_t now_ms, int* suppressed) {
  *suppressed = 0;
  if (!started_ || now_ms - window_start_ >= kWindowMs) {
    started_ = true;
    window_start_ = now_ms;
    admitted_ = 0;
  }
  if (admitted_ >= kPerWindow) {
    ++suppressed_;
    return false;
  }
  ++admitted_;
  *suppressed = std::exchange(suppressed_, 0);
  return true;
}

int RefusalLimiter::TakeDue(uint32_t now_ms) {
  if (suppressed_ == 0 || now_ms - window_start_ < kWindowMs) return 0;
  return std::exchange(suppressed_, 0);
}
