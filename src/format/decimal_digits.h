// Decimal digits of unsigned integers, written eight at a time from registers: the text of int
// leaves and of the digits and exponents of float leaves.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace mervik {

inline constexpr auto kPowersOf10 = [] {
  std::array<uint64_t, 20> powers{};
  uint64_t p = 1;
  for (auto& power : powers) {
    power = p;
    p *= 10;
  }
  return powers;
}();

/// The number of decimal digits of v (1 for 0), without a loop.
inline int decimal_digits(uint64_t v) noexcept {
  const uint64_t w = v | 1;  // same count, and no special case for 0
  const int guess = (64 - std::countl_zero(w)) * 1233 >> 12;  // bits * log10(2)
  return guess + (w >= kPowersOf10[guess]);
}

/// The eight decimal digits of v < 10^8 (leading zeros included) as ASCII in one word, the
/// first digit in the lowest byte: the value is split into halves, quarters and single digits
/// in parallel lanes, each division by a multiplication and a shift that is exact in its range.
inline uint64_t eight_digits_le(uint32_t v) noexcept {
  uint64_t y = v / 10000 | uint64_t{v % 10000} << 32;  // two lanes below 10^4
  uint64_t z = (y * 10486 >> 20) & 0x0000007F0000007Fu;  // each lane / 100
  y = z | (y - z * 100) << 16;  // four lanes below 100
  z = (y * 103 >> 10) & 0x000F000F000F000Fu;  // each lane / 10
  y = z | (y - z * 10) << 8;  // eight digits
  return y + 0x3030303030303030u;
}

/// The four decimal digits of v < 10^4 (leading zeros included) as ASCII in the low four bytes,
/// the first digit in the lowest byte: as eight_digits_le, from two lanes below 100.
inline uint32_t four_digits_le(uint32_t v) noexcept {
  const uint32_t hundreds = v * 5243 >> 19;  // v / 100
  uint32_t y = hundreds | (v - hundreds * 100) << 16;
  const uint32_t z = (y * 103 >> 10) & 0x000F000Fu;  // each lane / 10
  y = z | (y - z * 10) << 8;
  return y + 0x30303030u;
}

/// Stores a word made by four_digits_le (possibly shifted) so that its lowest byte comes first.
inline void store_le32(char* o, uint32_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(o, &word, 4);
}

/// Stores a word made by eight_digits_le (possibly shifted) so that its lowest byte comes first.
inline void store_le(char* o, uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(o, &word, 8);
}

/// Writes the decimal digits of `v` at `o`, which has room for 20 bytes; returns the end. The
/// value is cut into pieces of eight digits made in registers; the leading piece is shifted past
/// its leading zeros, and each piece is stored whole (bytes past the end are not committed).
inline char* put_decimal(char* o, uint64_t v) noexcept {
  constexpr uint64_t kTen8 = 100000000;
  const int n = decimal_digits(v);
  if (v < kTen8) {
    store_le(o, eight_digits_le(static_cast<uint32_t>(v)) >> 8 * (8 - n));
  } else if (v < kTen8 * kTen8) {
    store_le(o, eight_digits_le(static_cast<uint32_t>(v / kTen8)) >> 8 * (16 - n));
    store_le(o + n - 8, eight_digits_le(static_cast<uint32_t>(v % kTen8)));
  } else {
    store_le(o, eight_digits_le(static_cast<uint32_t>(v / (kTen8 * kTen8))) >> 8 * (24 - n));
    store_le(o + n - 16, eight_digits_le(static_cast<uint32_t>(v / kTen8 % kTen8)));
    store_le(o + n - 8, eight_digits_le(static_cast<uint32_t>(v % kTen8)));
  }
  return o + n;
}

}  // namespace mervik
