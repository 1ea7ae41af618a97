// UTF-8 validation helpers shared by the sinks, the console writer and the lossy decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

}  // namespace mervik::platform
