// Classification and message text of the operating system's error codes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/io_error.h"

namespace mervik::platform {

/// The kind of this platform's error code (errno on POSIX, a system error code on Windows).
IoErrorKind classify_os_error(int32_t code) noexcept;

/// The system's message text for an error code, without trailing white space.
std::string os_error_message(int32_t code);

/// The Windows system error code table; compiled everywhere so that it can be tested anywhere.
IoErrorKind classify_windows_error(int32_t code) noexcept;

}  // namespace mervik::platform
