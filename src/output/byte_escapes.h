// The text of escaped bytes: every byte as a backslash, 'x' and two lowercase hex digits.
#pragma once

#include <array>

#include "platform/hex.h"

namespace mervik {

/// The four characters of every byte's escape, so that each byte is one 4-byte copy.
inline constexpr auto kByteEscapes = [] {
  std::array<std::array<char, 4>, 256> escapes{};
  for (int b = 0; b < 256; ++b) {
    escapes[b] = {'\\', 'x', platform::kHexDigits[b >> 4], platform::kHexDigits[b & 0xF]};
  }
  return escapes;
}();

}  // namespace mervik
