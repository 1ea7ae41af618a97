"""Writes src/format/power_table.h: for each decimal exponent k that the shortest float text
needs, 10^-k scaled by a power of two into [2^127, 2^128) and rounded up, as two 64-bit words.

It also checks, over every binary exponent of a double, the integer formulas of
src/format/float_repr.cpp that choose the table's row and the scaling shift.

    python3 tools/power_table.py        # rewrite the header
    python3 tools/power_table.py --check  # exit 1 when the header is not what it would write
"""

import math
import pathlib
import sys
from fractions import Fraction

HEADER = pathlib.Path(__file__).resolve().parent.parent / "src" / "format" / "power_table.h"

# Binary exponents q of doubles written as c * 2^q with an integral c (subnormals: q = -1074).
Q_MIN, Q_MAX = -1074, 971


def floor_log(x, base):
    """floor(log(x)) in `base` of a positive Fraction, exactly."""
    k = int((x.numerator.bit_length() - x.denominator.bit_length()) / math.log2(base))
    while Fraction(base) ** k > x:
        k -= 1
    while Fraction(base) ** (k + 1) <= x:
        k += 1
    return k


# The formulas of float_repr.cpp (>> on a negative int rounds down there as here).
def k_regular(q):
    return (q * 315653) >> 20


def k_irregular(q):
    return (q * 315653 - 131237) >> 20


def floor_log2_pow10(k):
    return (k * 1741647) >> 19


def check_formulas():
    ks = set()
    for q in range(Q_MIN, Q_MAX + 1):
        cases = [(k_regular(q), Fraction(2) ** q)]
        if q > Q_MIN:  # the lowest exponent has subnormal neighbours below: always regular
            cases.append((k_irregular(q), Fraction(3, 4) * Fraction(2) ** q))
        for k, width in cases:
            assert k == floor_log(width, 10), (q, k)
            assert floor_log2_pow10(-k) == floor_log(Fraction(10) ** -k, 2), k
            assert 0 <= q + floor_log2_pow10(-k) <= 3, q
            ks.add(k)
    return min(ks), max(ks)


def entry(k):
    power = Fraction(10) ** -k
    scaled = power * Fraction(2) ** (127 - floor_log(power, 2))
    g = -(-scaled.numerator // scaled.denominator)
    assert 2**127 <= g < 2**128
    return g


def render():
    k_min, k_max = check_formulas()
    rows = []
    for k in range(k_min, k_max + 1):
        g = entry(k)
        rows.append(f"    {{0x{g >> 64:016x}u, 0x{g & (2**64 - 1):016x}u}},  // {k}")
    return f"""\
// Written by tools/power_table.py; do not edit.
//
// Row k - kPowerTableMinK holds 10^-k * 2^(127 - floor(log2(10^-k))), rounded up: a number in
// [2^127, 2^128), high word first.
#pragma once

#include <cstdint>

namespace mervik {{

struct PowerTableRow {{
  uint64_t high;
  uint64_t low;
}};

inline constexpr int kPowerTableMinK = {k_min};
inline constexpr int kPowerTableMaxK = {k_max};

inline constexpr PowerTableRow kPowerTable[] = {{
{chr(10).join(rows)}
}};

}}  // namespace mervik
"""


def main(args):
    text = render()
    if args == ["--check"]:
        if HEADER.read_text() != text:
            sys.exit(f"{HEADER} is not what tools/power_table.py writes")
        return
    HEADER.write_text(text)


if __name__ == "__main__":
    main(sys.argv[1:])
