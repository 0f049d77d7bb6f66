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

// The texts Windows gives for these numbers.
constexpr ErrorText kTexts[] = {
    {kErrorSuccess, "The operation completed successfully."},
    {kErrorInvalidFunction, "Incorrect function."},
    {kErrorFileNotFound, "The system cannot find the file specified."},
    {kErrorPathNotFound, "The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, "The system cannot open the file."},
    {kErrorAccessDenied, "Access is denied."},
    {kErrorInvalidHandle, "The handle is invalid."},
    {kErrorNotEnoughMemory, "Not enough storage is available to process this command."},
    {kErrorNotSameDevice, "The system cannot move the file to a different disk drive."},
    {kErrorGenFailure, "A device attached to the system is not functioning."},
    {kErrorSharingViolation,
     "The process cannot access the file because it is being used by another process."},
    {kErrorHandleEof, "Reached the end of the file."},
    {kErrorNotSupported, "The request is not supported."},
    {kErrorFileExists, "The file exists."},
    {kErrorInvalidParameter, "The parameter is incorrect."},
    {kErrorDiskFull, "There is not enough space on the disk."},
    {kErrorDirNotEmpty, "The directory is not empty."},
    {kErrorBusy, "The requested resource is in use."},
    {kErrorAlreadyExists, "Cannot create a file when that file already exists."},
    {kErrorFilenameTooLong, "The filename or extension is too long."},
    {kErrorDirectory, "The directory name is invalid."},
    {kErrorNotOwner, "Attempt to release mutex not owned by caller."},
    {kErrorTooManyPosts, "Too many posts were made to a semaphore."},
    {kErrorCantResolveFilename, "The name of the file cannot be resolved by the system."},
};

constexpr ErrorText kServiceTexts[] = {
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorInvalidServiceControl, "The requested control is not valid for this service."},
    {kErrorServiceAlreadyRunning, "An instance of the service is already running."},
    {kErrorServiceDoesNotExist, "The specified service does not exist as an installed service."},
    {kErrorServiceCannotAcceptCtrl, "The service cannot accept control messages at this time."},
    {kErrorServiceNotActive, "The service has not been started."},
    {kErrorFailedServiceControllerConnect,
     "The service process could not connect to the service controller."},
    {kErrorServiceExists, "The specified service already exists."},
    {kErrorRpcServerUnavailable, "The RPC server is unavailable."},
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
  std::snprintf(unknown, sizeof unknown, "Unknown error %u.", code);
  return unknown;
}

const char* ServiceErrorText(uint32_t code) {
  const char* text = Lookup(kServiceTexts, code);
  return text != nullptr ? text : SystemErrorText(code);
}

}  // namespace platform
