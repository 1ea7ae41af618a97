// Compiler-specific hints and checked arithmetic, spelled once for GCC, Clang and MSVC.
#pragma once

#include <cstdint>
#include <limits>

// MERVIK_NOINLINE keeps a function out of line (cold error paths, rarely taken growth);
// MERVIK_ALWAYS_INLINE replaces `inline` on small helpers of the hot loops; MERVIK_COLD marks a
// function as rarely called where the compiler has such a hint. They go before the declaration,
// after any standard attributes: `[[noreturn]] MERVIK_COLD MERVIK_NOINLINE static void f();`.
#if defined(_MSC_VER)
#define MERVIK_NOINLINE __declspec(noinline)
#define MERVIK_ALWAYS_INLINE __forceinline
#define MERVIK_COLD
#else
#define MERVIK_NOINLINE [[gnu::noinline]]
#define MERVIK_ALWAYS_INLINE [[gnu::always_inline]] inline
#define MERVIK_COLD [[gnu::cold]]
#endif

namespace mervik::platform {

/// a + b into `sum`; true when the exact result does not fit (and `sum` wrapped).
constexpr bool add_overflows(uint64_t a, uint64_t b, uint64_t& sum) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_add_overflow(a, b, &sum);
#else
  sum = a + b;
  return sum < a;
#endif
}

/// a * b into `product`; true when the exact result does not fit (and `product` wrapped).
constexpr bool mul_overflows(uint64_t a, uint64_t b, uint64_t& product) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_mul_overflow(a, b, &product);
#else
  product = a * b;
  return a != 0 && b > std::numeric_limits<uint64_t>::max() / a;
#endif
}

}  // namespace mervik::platform
