// The system's Chinese texts in the platform's own encoding: UTF-8 in the POSIX build, GBK bytes
// in the Windows build (what a Chinese Windows console and the readers of its logs expect).
// Each text is written once, in both forms side by side, where it is used:
//   constexpr char kDone[] = NATIVE_TEXT("完成", "\xcd\xea\xb3\xc9");
#pragma once

#ifdef _WIN32
#define NATIVE_TEXT(utf8, gbk) gbk
#else
#define NATIVE_TEXT(utf8, gbk) utf8
#endif
