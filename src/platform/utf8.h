// UTF-8: validation for the sinks, the console writer and the lossy decoder; encoding of a code
// point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/compiler.h"

namespace mervik::platform {

/// The length a lead byte announces (1 to 4), or 0 for a byte that cannot start a character.
constexpr int utf8_sequence_length(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

/// Checks the character starting at s[0] (s non-empty). Returns its length when it is complete
/// and valid; otherwise the negated length of the maximal invalid subsequence (at least 1), the
/// unit that a lossy decoder replaces by one U+FFFD.
inline ptrdiff_t utf8_check_character(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const int len = utf8_sequence_length(p[0]);
  if (len == 0) return -1;
  unsigned char lo = 0x80, hi = 0xBF;
  if (p[0] == 0xE0) lo = 0xA0;
  if (p[0] == 0xED) hi = 0x9F;
  if (p[0] == 0xF0) lo = 0x90;
  if (p[0] == 0xF4) hi = 0x8F;
  ptrdiff_t j = 1;
  for (; j < len && static_cast<size_t>(j) < s.size(); ++j) {
    const unsigned char b = p[j];
    if (b < (j == 1 ? lo : 0x80) || b > (j == 1 ? hi : 0xBF)) return -j;
  }
  return j == len ? len : -j;
}

/// The length of the longest prefix of s that is valid UTF-8.
inline size_t utf8_valid_prefix(std::string_view s) noexcept {
  size_t i = 0;
  while (i < s.size()) {
    while (i + 8 <= s.size()) {  // ASCII eight bytes at a time
      uint64_t chunk;
      std::memcpy(&chunk, s.data() + i, 8);
      if (chunk & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i == s.size()) break;
    const ptrdiff_t step = utf8_check_character(s.substr(i));
    if (step < 0) break;
    i += static_cast<size_t>(step);
  }
  return i;
}

inline bool is_valid_utf8(std::string_view s) noexcept { return utf8_valid_prefix(s) == s.size(); }

/// Most bytes one code point takes in UTF-8.
inline constexpr size_t kMaxUtf8Bytes = 4;

/// Writes the UTF-8 form of the code point `c` (at most U+10FFFF; a surrogate is encoded as it
/// is) at `out`, which has room for kMaxUtf8Bytes; returns the end of what was written.
MERVIK_ALWAYS_INLINE constexpr char* encode_utf8(char32_t c, char* out) noexcept {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
    return out;
  }
  if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  }
  *out++ = static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

}  // namespace mervik::platform
