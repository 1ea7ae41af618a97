// Classification of Windows system error codes into I/O error kinds.
#include <cstdint>
#include <utility>

#include "platform/os_error.h"

namespace mervik::platform {
namespace {

using enum IoErrorKind;

// Every code with a kind of its own; any other is kUncategorized.
constexpr std::pair<int32_t, IoErrorKind> kKinds[] = {
    // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH,
    // ERROR_BAD_NET_NAME
    {2, kNotFound},
    {3, kNotFound},
    {15, kNotFound},
    {53, kNotFound},
    {67, kNotFound},
    {5, kPermissionDenied},
    {10013, kPermissionDenied},  // ERROR_ACCESS_DENIED, WSAEACCES
    {8, kOutOfMemory},
    {14, kOutOfMemory},  // ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY
    {80, kAlreadyExists},
    {183, kAlreadyExists},  // ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS
    {109, kBrokenPipe},
    {232, kBrokenPipe},  // ERROR_BROKEN_PIPE, ERROR_NO_DATA
    {267, kNotADirectory},  // ERROR_DIRECTORY
    {336, kIsADirectory},  // ERROR_DIRECTORY_NOT_SUPPORTED
    // The system's time-out codes.
    {121, kTimedOut},
    {258, kTimedOut},
    {594, kTimedOut},
    {995, kTimedOut},
    {1053, kTimedOut},
    {1121, kTimedOut},
    {1460, kTimedOut},
    {5910, kTimedOut},
    {7012, kTimedOut},
    {7040, kTimedOut},
    {8014, kTimedOut},
    {8226, kTimedOut},
    {9705, kTimedOut},
    {10060, kTimedOut},
    {13805, kTimedOut},
    {15402, kTimedOut},
    {15403, kTimedOut},
    {10035, kWouldBlock},  // WSAEWOULDBLOCK
    {10053, kConnectionAborted},  // WSAECONNABORTED
    {10054, kConnectionReset},  // WSAECONNRESET
    {10061, kConnectionRefused},  // WSAECONNREFUSED
};

}  // namespace

IoErrorKind classify_windows_error(int32_t code) noexcept {
  for (const auto& [listed, kind] : kKinds) {
    if (listed == code) return kind;
  }
  return kUncategorized;
}

}  // namespace mervik::platform
