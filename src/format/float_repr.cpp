// repr() of a float, written from the bits of the double.
//
// float.__repr__ writes the shortest decimal digits that read back as the same double, the
// nearest to its exact value when several are that short (ties to an even last digit), laid out
// in plain notation from 1e-4 up to 1e16 and in scientific notation beyond.
//
// The digits. A finite nonzero double is v = c * 2^q with an integral c (c < 2^53). The values
// that read back as v are those of its rounding interval, which reaches halfway to each
// neighbour: [v - 2^(q-1), v + 2^(q-1)], or [v - 2^(q-2), v + 2^(q-1)] when c = 2^52 above the
// lowest exponent (the neighbour below is closer); the ends belong to it when c is even, since
// reading rounds ties to even. Let 10^k be the largest power of ten not above the interval's
// width. Then the interval holds at least one multiple of 10^k and at most one of 10^(k+1):
// - if it holds a multiple of 10^(k+1), that one is the answer (less its trailing zeros): any
//   shorter text is a multiple of a larger power of ten, so the same number;
// - otherwise the answer is a multiple of 10^k: of the two around v, the one in the interval,
//   or the nearer to v when both are (the even one on a tie); all such multiples have as many
//   digits, since one that reached a further digit would be a multiple of 10^(k+1).
// So everything depends on Y = y * 10^-k for y the interval's ends and v: its integral part, and
// how it compares with halves of integers. With x = y / 2^(q-2) (an integer below 2^56),
// 2Y = x * 2^(q-1) * 10^-k. A table holds G, 10^-k scaled into [2^127, 2^128) and rounded up,
// and x shifted left by h (0 to 3) makes the top 64 bits of the 192-bit product x * G equal
// floor(2Y), give or take the rounding of G. That rounding adds less than x * 2^h / 2^128 to
// 2Y, below 2^-69: so when the middle word of the product is not zero, 2Y is not an integer and
// the top word is its floor; when it is zero, 2Y is an integer (then the top word is exact) or
// lies within 2^-69 of one, which an exact test of the integer case tells apart, and which is
// left to std::to_chars.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "format/decimal_digits.h"
#include "format/leaf_text.h"
#include "format/power_table.h"
#include "platform/compiler.h"

#if !defined(__SIZEOF_INT128__) && defined(_MSC_VER) && defined(_M_X64)
#include <intrin.h>
#endif

namespace mervik {
namespace {

// floor(log10(2^q)) and floor(log10(3/4 * 2^q)) for every binary exponent of a double, and
// floor(log2(10^k)) for every k they give; tools/power_table.py checks the three formulas.
constexpr int floor_log10_pow2(int q) noexcept { return (q * 315653) >> 20; }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return (q * 315653 - 131237) >> 20;
}
constexpr int floor_log2_pow10(int k) noexcept { return (k * 1741647) >> 19; }

struct Words {
  uint64_t high;
  uint64_t low;
};

/// The 128-bit product a * b.
MERVIK_ALWAYS_INLINE Words multiply(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return {static_cast<uint64_t>(product >> 64), static_cast<uint64_t>(product)};
#elif defined(_MSC_VER) && defined(_M_X64)
  Words product;
  product.low = _umul128(a, b, &product.high);
  return product;
#else
  const uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
  const uint64_t low = a0 * b0, cross1 = a1 * b0, cross0 = a0 * b1;
  const uint64_t middle = (low >> 32) + (cross1 & 0xFFFFFFFF) + (cross0 & 0xFFFFFFFF);
  return {a1 * b1 + (cross1 >> 32) + (cross0 >> 32) + (middle >> 32),
          (middle << 32) | (low & 0xFFFFFFFF)};
#endif
}

/// Whether 2Y = x * 2^(q-1) * 10^-k is an integer, exactly.
MERVIK_NOINLINE bool twice_scaled_is_integer(uint64_t x, int q, int k) noexcept {
  if (std::countr_zero(x) + q - 1 - k < 0) return false;  // a power of two left below
  for (int i = 0; i < k; ++i, x /= 5) {
    if (x % 5 != 0) return false;  // a power of five left below
  }
  return true;
}

/// What the digits depend on, for one x: 2Y rounded to odd at a quarter, that is, twice floor(2Y)
/// plus one when 2Y is not an integer. Then for an integer t, Y <= t exactly when this is at most
/// 4t, Y < t when it is below 4t, and Y compares with t + 1/2 as this with 4t + 2. It is 0 when
/// 2Y lies within 2^-69 of an integer it is not (Y is at least 1/2 for every x used, so 0 is
/// free).
MERVIK_ALWAYS_INLINE uint64_t quarters(uint64_t x, int h, const PowerTableRow& g, int q, int k) {
  const Words low = multiply(x << h, g.low), high = multiply(x << h, g.high);
  const uint64_t middle = low.high + high.low;
  const uint64_t top = high.high + (middle < low.high);
  if (middle != 0) [[likely]]
    return 2 * top + 1;
  return twice_scaled_is_integer(x, q, k) ? 2 * top : 0;
}

/// The shortest digits of c * 2^q, as `digits` * 10^`exponent`; false when left to to_chars.
MERVIK_ALWAYS_INLINE bool shortest_decimal(uint64_t c, int q, bool lopsided, uint64_t& digits,
                                           int& exponent) {
  const int k = lopsided ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k);
  const PowerTableRow& g = kPowerTable[k - kPowerTableMinK];
  const uint64_t open = c & 1;  // the interval's ends read back as v's neighbours
  const uint64_t middle = quarters(4 * c, h, g, q, k);
  const uint64_t lower = quarters(4 * c - 2 + lopsided, h, g, q, k);
  const uint64_t upper = quarters(4 * c + 2, h, g, q, k);
  if ((middle == 0) | (lower == 0) | (upper == 0)) [[unlikely]]
    return false;
  const uint64_t s = middle >> 2;  // floor(Y) of v
  // A multiple of 10^(k+1): the one below v or the one above.
  const uint64_t tens = s / 10;
  if (lower + open <= 40 * tens) {
    digits = tens;
    exponent = k + 1;
    return true;
  }
  if (40 * tens + 40 + open <= upper) {
    digits = tens + 1;
    exponent = k + 1;
    return true;
  }
  exponent = k;
  const bool below_in = lower + open <= 4 * s;
  const bool above_in = 4 * s + 4 + open <= upper;
  if (below_in != above_in) {
    digits = below_in ? s : s + 1;
    return true;
  }
  const uint64_t half = 4 * s + 2;
  digits = s + (middle > half || (middle == half && (s & 1) != 0));
  return true;
}

/// The digits of a double that shortest_decimal left undecided, from std::to_chars: the same
/// shortest digits, nearest and ties to even, as d[.ddd]e<sign><exponent>.
MERVIK_COLD MERVIK_NOINLINE void digits_from_to_chars(double size, uint64_t& digits,
                                                      int& exponent) {
  char sci[32];
  const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, size, std::chars_format::scientific);
  (void)ec;  // 32 characters always suffice
  digits = 0;
  int after_point = 0;
  const char* p = sci;
  for (bool seen_point = false; *p != 'e'; ++p) {
    if (*p == '.') {
      seen_point = true;
    } else {
      digits = digits * 10 + static_cast<uint64_t>(*p - '0');
      after_point += seen_point;
    }
  }
  int shown = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, shown);
  exponent = shown - after_point;
}

}  // namespace

void append_float_repr(double value, StringBuffer& out) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const bool negative = (bits >> 63) != 0;
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased == 0x7FF) {
    out.append(fraction != 0 ? "nan" : negative ? "-inf" : "inf");
    return;
  }
  char* const begin = out.reserve(48);
  char* o = begin;
  *o = '-';
  o += negative;
  if (biased == 0 && fraction == 0) {
    std::memcpy(o, "0.0", 3);
    out.commit(static_cast<size_t>(o + 3 - begin));
    return;
  }
  uint64_t digits;
  int exponent;
  const bool decided = biased == 0
                           ? shortest_decimal(fraction, -1074, false, digits, exponent)
                           : shortest_decimal(fraction | uint64_t{1} << 52, biased - 1075,
                                              fraction == 0 && biased > 1, digits, exponent);
  if (!decided) [[unlikely]]
    digits_from_to_chars(std::fabs(value), digits, exponent);
  // The digits, 17 at most, right-aligned in 17 places with zeros after them.
  char text[48];
  std::memset(text + 16, '0', 32);
  constexpr uint64_t kTen8 = 100000000;
  const uint64_t last8 = eight_digits_le(static_cast<uint32_t>(digits % kTen8));
  const uint64_t middle8 = eight_digits_le(static_cast<uint32_t>(digits / kTen8 % kTen8));
  text[0] = static_cast<char>('0' + digits / (kTen8 * kTen8));
  store_le(text + 1, middle8);
  store_le(text + 9, last8);
  const int length = decimal_digits(digits);
  const char* const first = text + 17 - length;
  // Less the trailing zeros (the last digit in the highest byte of each word).
  constexpr uint64_t kZeros = 0x3030303030303030u;
  int n = length;
  if (last8 != kZeros) {
    n -= std::countl_zero(last8 ^ kZeros) / 8;
  } else if (middle8 != kZeros) {
    n -= 8 + std::countl_zero(middle8 ^ kZeros) / 8;
  } else {
    n -= 16;
  }
  // The decimal point after `point` digits.
  const int point = length + exponent;
  if (0 < point && point < n) {  // digits on both sides of the point
    std::memcpy(o, first, 16);
    o[point] = '.';
    std::memcpy(o + point + 1, first + point, 16);
    o += n + 1;
  } else if (n <= point && point <= 16) {  // an integral value: zeros, then ".0"
    std::memcpy(o, first, 16);
    std::memcpy(o + point, ".0", 2);
    o += point + 2;
  } else if (-4 < point && point <= 0) {  // "0.", zeros, the digits
    std::memcpy(o, "0.000", 5);
    std::memcpy(o + 2 - point, first, 24);
    o += 2 - point + n;
  } else {  // one digit, the others after a point, and an exponent of two digits or more
    *o = *first;
    o[1] = '.';
    std::memcpy(o + 2, first + 1, 16);
    o += n == 1 ? 1 : n + 1;
    const int shown = point - 1;
    unsigned magnitude = static_cast<unsigned>(shown < 0 ? -shown : shown);
    o[0] = 'e';
    o[1] = shown < 0 ? '-' : '+';
    o += 2;
    if (magnitude >= 100) {
      *o++ = static_cast<char>('0' + magnitude / 100);
      magnitude %= 100;
    }
    o[0] = static_cast<char>('0' + magnitude / 10);
    o[1] = static_cast<char>('0' + magnitude % 10);
    o += 2;
  }
  out.commit(static_cast<size_t>(o - begin));
}

}  // namespace mervik
