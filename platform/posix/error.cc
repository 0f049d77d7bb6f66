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
// their Win32 numbers (EINVAL is 10022 here, 87 there), so sockets have their own table.
uint32_t WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case EINTR:
      return kWsaEintr;
    case EBADF:
    case ENOTSOCK:
      return kWsaEnotsock;
    case EACCES:
    case EPERM:
      return kWsaEacces;
    case EFAULT:
      return kWsaEfault;
    case EINVAL:
      return kWsaEinval;
    case EMFILE:
    case ENFILE:
      return kWsaEmfile;
    case EAGAIN:  // EWOULDBLOCK
    case EINPROGRESS:
      return kWsaEwouldblock;
    case EALREADY:
      return kWsaEalready;
    case EDESTADDRREQ:
      return kWsaEdestaddrreq;
    case EMSGSIZE:
      return kWsaEmsgsize;
    case EPROTOTYPE:
      return kWsaEprototype;
    case ENOPROTOOPT:
      return kWsaEnoprotoopt;
    case EPROTONOSUPPORT:
      return kWsaEprotonosupport;
    case ESOCKTNOSUPPORT:
      return kWsaEsocktnosupport;
    case EOPNOTSUPP:  // ENOTSUP
      return kWsaEopnotsupp;
    case EAFNOSUPPORT:
      return kWsaEafnosupport;
    case EADDRINUSE:
      return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
      return kWsaEaddrnotavail;
    case ENETDOWN:
      return kWsaEnetdown;
    case ENETUNREACH:
      return kWsaEnetunreach;
    case ENETRESET:
      return kWsaEnetreset;
    case ECONNABORTED:
      return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE:  // a send after the peer reset the connection
      return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM:
      return kWsaEnobufs;
    case EISCONN:
      return kWsaEisconn;
    case ENOTCONN:
      return kWsaEnotconn;
    case ESHUTDOWN:
      return kWsaEshutdown;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case EHOSTDOWN:
      return kWsaEhostdown;
    case EHOSTUNREACH:
      return kWsaEhostunreach;
    default:
      return kWsaEnetdown;  // EIO and anything unexpected: the network layer failed
  }
}

}  // namespace platform
