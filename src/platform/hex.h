// Lowercase hexadecimal digits, for every escape the module writes.
#pragma once

namespace mervik::platform {

inline constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace mervik::platform
