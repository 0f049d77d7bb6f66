// The message texts of the Win32 error numbers this system meets, the service manager's among
// them: one table for every backend, so that console messages and logs read alike wherever the
// system runs.
#include <cstddef>
#include <cstdio>

#include "platform/error.h"
#include "platform/service.h"

namespace platform {
namespace {

struct ErrorText {
  uint32_t code;
  const char* text;
};

// The texts Windows gives for these numbers, ending as the system's messages end, in CR LF.
constexpr ErrorText kTexts[] = {
    {kErrorSuccess, "The operation completed successfully.\r\n"},
    {kErrorInvalidFunction, "Incorrect function.\r\n"},
    {kErrorFileNotFound, "The system cannot find the file specified.\r\n"},
    {kErrorPathNotFound, "The system cannot find the path specified.\r\n"},
    {kErrorTooManyOpenFiles, "The system cannot open the file.\r\n"},
    {kErrorAccessDenied, "Access is denied.\r\n"},
    {kErrorInvalidHandle, "The handle is invalid.\r\n"},
    {kErrorNotEnoughMemory, "Not enough storage is available to process this command.\r\n"},
    {kErrorNotSameDevice, "The system cannot move the file to a different disk drive.\r\n"},
    {kErrorGenFailure, "A device attached to the system is not functioning.\r\n"},
    {kErrorSharingViolation,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {kErrorHandleEof, "Reached the end of the file.\r\n"},
    {kErrorNotSupported, "The request is not supported.\r\n"},
    {kErrorFileExists, "The file exists.\r\n"},
    {kErrorInvalidParameter, "The parameter is incorrect.\r\n"},
    {kErrorDiskFull, "There is not enough space on the disk.\r\n"},
    {kErrorDirNotEmpty, "The directory is not empty.\r\n"},
    {kErrorBusy, "The requested resource is in use.\r\n"},
    {kErrorAlreadyExists, "Cannot create a file when that file already exists.\r\n"},
    {kErrorFilenameTooLong, "The filename or extension is too long.\r\n"},
    {kErrorDirectory, "The directory name is invalid.\r\n"},
    {kErrorNotOwner, "Attempt to release mutex not owned by caller.\r\n"},
    {kErrorTooManyPosts, "Too many posts were made to a semaphore.\r\n"},
    {kErrorCantResolveFilename, "The name of the file cannot be resolved by the system.\r\n"},
};

constexpr ErrorText kServiceTexts[] = {
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {kErrorInvalidServiceControl, "The requested control is not valid for this service.\r\n"},
    {kErrorServiceAlreadyRunning, "An instance of the service is already running.\r\n"},
    {kErrorServiceDoesNotExist,
     "The specified service does not exist as an installed service.\r\n"},
    {kErrorServiceCannotAcceptCtrl, "The service cannot accept control messages at this time.\r\n"},
    {kErrorServiceNotActive, "The service has not been started.\r\n"},
    {kErrorFailedServiceControllerConnect,
     "The service process could not connect to the service controller.\r\n"},
    {kErrorServiceExists, "The specified service already exists.\r\n"},
    {kErrorRpcServerUnavailable, "The RPC server is unavailable.\r\n"},
};

// The text of `code` in `table`, or null.
template <size_t N>
const char* Lookup(const ErrorText (&table)[N], uint32_t code) {
  for (const ErrorText& entry : table) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace

const char* SystemErrorText(uint32_t code) {
  if (const char* text = Lookup(kTexts, code)) return text;
  thread_local char unknown[64];
  std::snprintf(unknown, sizeof unknown, "Unknown error %u.\r\n", code);
  return unknown;
}

const char* ServiceErrorText(uint32_t code) {
  const char* text = Lookup(kServiceTexts, code);
  return text != nullptr ? text : SystemErrorText(code);
}

}  // namespace platform
