// errno classification and strerror text on POSIX systems.
#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace mervik::platform {

IoErrorKind classify_os_error(int32_t code) noexcept {
  using enum IoErrorKind;
  switch (code) {
    case ENOENT: return kNotFound;
    case EACCES:
    case EPERM: return kPermissionDenied;
    case ECONNREFUSED: return kConnectionRefused;
    case ECONNRESET: return kConnectionReset;
    case EHOSTUNREACH: return kHostUnreachable;
    case ENETUNREACH: return kNetworkUnreachable;
    case ECONNABORTED: return kConnectionAborted;
    case ENOTCONN: return kNotConnected;
    case EADDRINUSE: return kAddrInUse;
    case EADDRNOTAVAIL: return kAddrNotAvailable;
    case ENETDOWN: return kNetworkDown;
    case EPIPE: return kBrokenPipe;
    case EEXIST: return kAlreadyExists;
    case EAGAIN: return kWouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return kWouldBlock;
#endif
    case ENOTDIR: return kNotADirectory;
    case EISDIR: return kIsADirectory;
    case ENOTEMPTY: return kDirectoryNotEmpty;
    case EROFS: return kReadOnlyFilesystem;
    case ELOOP: return kFilesystemLoop;
    case ESTALE: return kStaleNetworkFileHandle;
    case EINVAL: return kInvalidInput;
    case ETIMEDOUT: return kTimedOut;
    case ENOSPC: return kStorageFull;
    case ESPIPE: return kNotSeekable;
    case EDQUOT: return kQuotaExceeded;
    case EFBIG: return kFileTooLarge;
    case EBUSY: return kResourceBusy;
    case ETXTBSY: return kExecutableFileBusy;
    case EDEADLK: return kDeadlock;
    case EXDEV: return kCrossesDevices;
    case EMLINK: return kTooManyLinks;
    case ENAMETOOLONG: return kInvalidFilename;
    case E2BIG: return kArgumentListTooLong;
    case EINTR: return kInterrupted;
    case ENOSYS: return kUnsupported;
    case EOPNOTSUPP: return kUnsupported;
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP: return kUnsupported;
#endif
    case ENOMEM: return kOutOfMemory;
    case EINPROGRESS: return kInProgress;
    default: return kUncategorized;
  }
}

std::string os_error_message(int32_t code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer; the XSI variant
  // fills the buffer and returns 0. Handle both.
  auto result = strerror_r(code, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(result), char*>) {
    return std::string(result);
  } else {
    if (result != 0) return "Unknown error " + std::to_string(code);
    return std::string(buffer);
  }
}

}  // namespace mervik::platform
