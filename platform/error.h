// Win32 error numbers as the rest of the system sees them.
//
// Every platform call that can fail leaves its reason in a per-thread "last error", the way
// GetLastError works, and callers read it with LastError(). Each backend maps its own error
// codes onto these numbers in exactly one function, so the console messages and log texts
// that depend on a number are the same on every platform.
#pragma once

#include <cstdint>

namespace platform {

enum : uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorNotSameDevice = 17,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorDirNotEmpty = 145,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorFilenameTooLong = 206,
  kErrorDirectory = 267,
  kErrorNotOwner = 288,
  kErrorTooManyPosts = 298,
  kErrorNotSupported = 50,
  kErrorCantResolveFilename = 1921,
};

// The calling thread's last error, as GetLastError gives it.
uint32_t LastError();
void SetLastError(uint32_t code);

// The system's message text for an error number (at most 256 characters), as FormatMessage
// gives it for Win32 numbers: a sentence ending in CR LF, which callers that build one line
// of it cut. Unknown numbers give a generic text naming the number.
const char* SystemErrorText(uint32_t code);

}  // namespace platform
