// Classification of Windows system error codes into I/O error kinds.
#include "platform/os_error.h"

namespace mervik::platform {

IoErrorKind classify_windows_error(int32_t code) noexcept {
  using enum IoErrorKind;
  switch (code) {
    case 2:      // ERROR_FILE_NOT_FOUND
    case 3:      // ERROR_PATH_NOT_FOUND
    case 15:     // ERROR_INVALID_DRIVE
    case 53:     // ERROR_BAD_NETPATH
    case 67:     // ERROR_BAD_NET_NAME
      return kNotFound;
    case 5:      // ERROR_ACCESS_DENIED
    case 10013:  // WSAEACCES
      return kPermissionDenied;
    case 8:      // ERROR_NOT_ENOUGH_MEMORY
    case 14:     // ERROR_OUTOFMEMORY
      return kOutOfMemory;
    case 80:     // ERROR_FILE_EXISTS
    case 183:    // ERROR_ALREADY_EXISTS
      return kAlreadyExists;
    case 109:    // ERROR_BROKEN_PIPE
    case 232:    // ERROR_NO_DATA
      return kBrokenPipe;
    case 267:    // ERROR_DIRECTORY
      return kNotADirectory;
    case 336:    // ERROR_DIRECTORY_NOT_SUPPORTED
      return kIsADirectory;
    // The system's time-out codes.
    case 121: case 258: case 594: case 995: case 1053: case 1121: case 1460: case 5910:
    case 7012: case 7040: case 8014: case 8226: case 9705: case 10060: case 13805:
    case 15402: case 15403:
      return kTimedOut;
    case 10035: return kWouldBlock;         // WSAEWOULDBLOCK
    case 10053: return kConnectionAborted;  // WSAECONNABORTED
    case 10054: return kConnectionReset;    // WSAECONNRESET
    case 10061: return kConnectionRefused;  // WSAECONNREFUSED
    default: return kUncategorized;
  }
}

}  // namespace mervik::platform
