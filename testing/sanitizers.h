// Which sanitizer a test program was built with, for the few tests that cannot run under one.
#pragma once

// clang announces ThreadSanitizer through __has_feature, g++ through __SANITIZE_THREAD__.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PELLARY_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(PELLARY_THREAD_SANITIZER)
#define PELLARY_THREAD_SANITIZER 1
#endif
#ifndef PELLARY_THREAD_SANITIZER
#define PELLARY_THREAD_SANITIZER 0
#endif

// ThreadSanitizer's lock-order detector stops a thread that holds more than 64 locks at once.
constexpr bool kLockDetectorLimited = PELLARY_THREAD_SANITIZER != 0;
