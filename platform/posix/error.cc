// Last-error storage and the errno mapping of the POSIX backend. The message texts are
// shared by every backend (platform/shared/error_text.cc).
#include <cerrno>

#include "platform/error.h"
#include "platform/posix/posix_error.h"
#include "platform/socket.h"

namespace platform {
namespace {

thread_local uint32_t t_last_error = kErrorSuccess;

}  // namespace

uint32_t LastError() {
  return t_last_error;
}

void SetLastError(uint32_t code) {
  t_last_error = code;
}

uint32_t Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EXDEV:
      return kErrorNotSameDevice;
    case ETXTBSY:
    case EBUSY:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorAlreadyExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:  // a write past the largest file the volume takes
      return kErrorDiskFull;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case ENOTSUP:
      return kErrorNotSupported;
    default:
      return kErrorGenFailure;  // EIO and anything unexpected: a failing device
  }
}

void SetLastErrorFromErrno(int err) {
  SetLastError(Win32ErrorFromErrno(err));
}

// Socket calls report Winsock numbers, also for the errno values that file calls report with
// their Win32 numbers (EINVAL is 10022 here, 87 there), so sockets have their own table. Where
// several errno values share a number, the first listed is the one that number stands for when
// a user is told about it.
namespace {

struct SocketErrno {
  int err;
  uint32_t code;
};

constexpr SocketErrno kSocketErrnos[] = {
    {0, kErrorSuccess},
    {EINTR, kWsaEintr},
    {ENOTSOCK, kWsaEnotsock},
    {EBADF, kWsaEnotsock},
    {EACCES, kWsaEacces},
    {EPERM, kWsaEacces},
    {EFAULT, kWsaEfault},
    {EINVAL, kWsaEinval},
    {EMFILE, kWsaEmfile},
    {ENFILE, kWsaEmfile},
    {EAGAIN, kWsaEwouldblock},  // EWOULDBLOCK
    {EINPROGRESS, kWsaEwouldblock},
    {EALREADY, kWsaEalready},
    {EDESTADDRREQ, kWsaEdestaddrreq},
    {EMSGSIZE, kWsaEmsgsize},
    {EPROTOTYPE, kWsaEprototype},
    {ENOPROTOOPT, kWsaEnoprotoopt},
    {EPROTONOSUPPORT, kWsaEprotonosupport},
    {ESOCKTNOSUPPORT, kWsaEsocktnosupport},
    {EOPNOTSUPP, kWsaEopnotsupp},  // ENOTSUP
    {EAFNOSUPPORT, kWsaEafnosupport},
    {EADDRINUSE, kWsaEaddrinuse},
    {EADDRNOTAVAIL, kWsaEaddrnotavail},
    {ENETDOWN, kWsaEnetdown},
    {ENETUNREACH, kWsaEnetunreach},
    {ENETRESET, kWsaEnetreset},
    {ECONNABORTED, kWsaEconnaborted},
    {ECONNRESET, kWsaEconnreset},
    {EPIPE, kWsaEconnreset},  // a send after the peer reset the connection
    {ENOBUFS, kWsaEnobufs},
    {ENOMEM, kWsaEnobufs},
    {EISCONN, kWsaEisconn},
    {ENOTCONN, kWsaEnotconn},
    {ESHUTDOWN, kWsaEshutdown},
    {ETIMEDOUT, kWsaEtimedout},
    {ECONNREFUSED, kWsaEconnrefused},
    {EHOSTDOWN, kWsaEhostdown},
    {EHOSTUNREACH, kWsaEhostunreach},
};

}  // namespace

uint32_t WinsockErrorFromErrno(int err) {
  for (const SocketErrno& entry : kSocketErrnos) {
    if (entry.err == err) return entry.code;
  }
  return kWsaEnetdown;  // EIO and anything unexpected: the network layer failed
}

int ErrnoFromWinsock(uint32_t code) {
  for (const SocketErrno& entry : kSocketErrnos) {
    if (entry.code == code) return entry.err;
  }
  return -1;
}

}  // namespace platform
