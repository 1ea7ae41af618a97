"""The text of exact int, float, str, bool and None leaves is written without calling repr();
these tests compare it with repr() itself over whole ranges of values, and check that every
other object still goes through repr()."""

import math
import random
import struct
import sys

import pytest

import mervik
import power_table

CHUNK = 0x10000


def expected_block(values, indent=0):
    if not values:
        return "[]"
    pad = " " * indent
    return "[\n" + "".join(f"{pad}{v!r},\n" for v in values) + "]"


def assert_same_as_repr(values):
    got = mervik.pretty_format(values, indent=0)
    if got != expected_block(values):
        for v in values:  # name the first value that differs
            assert mervik.pretty_format(v) == repr(v), f"value {v!r}"
        pytest.fail("the block differs although every value matches alone")


# Strings --------------------------------------------------------------------------------------

# Each variant puts the code point in a different setting: alone; after a single quote (which
# makes repr() choose double quotes); between both quotes and a backslash (single quotes with
# escapes); after a character that widens the storage to two and four bytes per code point.
STRING_VARIANTS = {
    "alone": lambda c: c,
    "after a single quote": lambda c: "'" + c,
    "between both quotes": lambda c: "'\"" + c + "\\",
    "in two-byte storage": lambda c: "\u0100" + c,
    "in four-byte storage": lambda c: "\U0001f600" + c + "'",
}


@pytest.mark.parametrize("variant", STRING_VARIANTS)
def test_every_code_point_is_written_as_repr_writes_it(variant):
    make = STRING_VARIANTS[variant]
    for start in range(0, sys.maxunicode + 1, CHUNK):
        end = min(start + CHUNK, sys.maxunicode + 1)
        assert_same_as_repr([make(chr(c)) for c in range(start, end)])


def test_long_strings_cross_the_chunks_of_the_writer():
    rng = random.Random(7)
    pieces = ["a", "é", "\n", "'", '"', "\\", "\x00", "\u200b", "中", "😀", "\udc80", "\x7f"]
    pieces.append("\xa0")
    values = ["".join(rng.choice(pieces) for _ in range(n)) for n in (511, 512, 513, 4097, 100_000)]
    values.append("x" * 1_000_000)
    # Single quotes only, so the text is written again with double quotes, chunk by chunk.
    values += ["plain ascii " * 5000 + "'", "中'" * 600, "😀'é" * 300]
    assert_same_as_repr(values)


# Around the characters that end a plain run: the first and last printable ASCII, controls, DEL,
# the quotes and backslash, and characters just outside ASCII (one escaped, one printable).
BOUNDARY_CHARACTERS = [" ", "~", "\x1f", "\x00", "\x7f", "'", '"', "\\", "\x80", "\xa0", "é", "ÿ"]


def test_short_strings_with_any_character_at_any_position():
    values = [
        "a" * position + c + "b" * (length - position - 1)
        for length in range(1, 35)
        for position in range(length)
        for c in BOUNDARY_CHARACTERS
    ]
    assert_same_as_repr(values + ["", "abc"])


def test_a_written_string_keeps_no_utf8_copy():
    s = "é" * 100 + "😀"
    size = sys.getsizeof(s)
    mervik.pretty_format([s, {s: s}])
    assert sys.getsizeof(s) == size


# Floats ---------------------------------------------------------------------------------------

EDGE_FLOATS = [
    0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 1.0, -1.0, 0.1, 0.5, 1 / 3, 2 / 3,
    1e16, 1e15, 9999999999999998.0, 1e17, 123456789012345678.0, 1e22, 1e23, 1.5e300,
    1e-4, 1e-5, 0.0001234, 0.00001234, 1e-7, 5e-324, -5e-324, 1e-323, 2.2250738585072014e-308,
    2.225073858507201e-308, sys.float_info.max, -sys.float_info.max, sys.float_info.min,
    sys.float_info.epsilon, 2.0**52, 2.0**53, 2.0**53 + 2, 2.0**63, 2.0**64, 2.0**-1074,
    9007199254740993.0, 0.30000000000000004, 100.0, 1e100, 123.456, 3.141592653589793,
    # Where plain notation begins and ends, and where floats stop having fractions.
    math.nextafter(1e-4, 0), math.nextafter(1e-4, 1), math.nextafter(1e16, 0),
    math.nextafter(1e16, math.inf), 2.0**53 - 1, 2.0**53 - 0.5, 9007199254740994.0, 0.5e-4,
]


def random_floats(n, seed):
    rng = random.Random(seed)
    bits = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(n)]
    rounded = [round(rng.uniform(-1e7, 1e7), rng.randrange(0, 12)) for _ in range(n)]
    scaled = [rng.random() * 10.0 ** rng.randrange(-320, 300) for _ in range(n)]
    scaled += [rng.random() * 10.0 ** rng.randrange(-5, 18) for _ in range(n)]
    decimals = [
        float(f"{rng.randrange(10**d)}e{rng.randrange(-340, 310)}")
        for d in range(1, 18)
        for _ in range(n // 100)
    ]
    # Mantissas with every count of trailing zero bits: some lie halfway between two texts.
    halves = [
        math.ldexp((rng.getrandbits(53) | 1 << 52) >> z << z, e)
        for e in range(-80, 10)
        for z in range(53)
    ]
    subnormals = [math.ldexp(rng.getrandbits(rng.randrange(1, 53)), -1074) for _ in range(n // 10)]
    # Powers of two, where the interval of values reading back as x is lopsided.
    powers = [math.ldexp(1.0, e) for e in range(-1074, 1024)]
    return (
        bits + rounded + scaled + decimals + halves + subnormals + powers
        + [math.nextafter(p, 0) for p in powers]
    )


def test_edge_floats_are_written_as_repr_writes_them():
    assert_same_as_repr(EDGE_FLOATS + [-x for x in EDGE_FLOATS])


@pytest.mark.parametrize("seed", [1, 2])
def test_random_floats_are_written_as_repr_writes_them(seed):
    assert_same_as_repr(random_floats(50_000, seed))


def test_the_table_of_powers_of_ten_is_exact():
    # Also checks the formulas that choose its rows, over every exponent of a double.
    power_table.main(["--check"])


# Ints, bools and None ------------------------------------------------------------------------

EDGE_INTS = [
    0, 1, 9, 10, 99, 100, 2**30 - 1, 2**30, 2**31, 2**32, 10**9, 10**18, 10**19 - 1, 10**19,
    2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, 10**100,
]


# Every power of ten and of two up to well past 64 bits, and their neighbours.
POWER_EDGES = sorted(
    {b**k + d for b, top in ((10, 41), (2, 131)) for k in range(top) for d in (-1, 0, 1)} - {-1}
)


def test_ints_bools_and_none_are_written_as_repr_writes_them():
    rng = random.Random(3)
    values = EDGE_INTS + [-v for v in EDGE_INTS] + [-(2**63), -(2**63) - 1]
    values += POWER_EDGES + [-v for v in POWER_EDGES]
    values += range(-10_050, 10_050)  # every int of one to four digits, and a few past them
    values += [rng.getrandbits(rng.randrange(1, 200)) * rng.choice((1, -1)) for _ in range(100_000)]
    values += [True, False, None]
    assert_same_as_repr(values)


def test_ints_beyond_the_digit_limit_fail_as_repr_fails():
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)
    try:
        big = 10**700
        with pytest.raises(ValueError) as from_repr:
            repr(big)
        with pytest.raises(ValueError) as from_format:
            mervik.pretty_format([1, big])
        assert str(from_format.value) == str(from_repr.value)
        assert mervik.pretty_format(10**639) == repr(10**639)
    finally:
        sys.set_int_max_str_digits(old)


# Everything else goes through repr() ---------------------------------------------------------


def test_subclasses_and_other_leaves_call_their_repr_in_order():
    calls = []

    class Int(int):
        def __repr__(self):
            calls.append("int")
            return "Int!"

    class Str(str):
        def __repr__(self):
            calls.append("str")
            return "Str!"

    class Float(float):
        def __repr__(self):
            calls.append("float")
            return "Float!"

    class Plain(int):  # repr() inherited, still called through the type
        pass

    value = [1, Int(2), "a", Str("b"), 1.5, Float(2.5), {Str("k"): Int(3)}, Plain(7), True, None]
    assert mervik.pretty_format(value, indent=1) == (
        "[\n 1,\n Int!,\n 'a',\n Str!,\n 1.5,\n Float!,\n {\n  Str!: Int!,\n },\n"
        " 7,\n True,\n None,\n]"
    )
    assert calls == ["int", "str", "float", "str", "int"]


# The result str ---------------------------------------------------------------------------------


class Shows:
    """A leaf whose repr() is the given text."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


# A last item that decides the result's width: its widest character at the edges of each
# width, a character the repr escapes, and non-ASCII text that comes from repr() itself (last in
# texts of every length the ASCII check reads differently).
TAILS = {
    "ascii": None,
    "latin-1": "é",
    "latin-1-last": "ÿ",
    "two-byte-first": "\u0100",
    "two-byte": "€",
    "astral": "😀",
    "escaped": "\xa0",
    "from-repr": {"é"},
    "astral-from-repr": frozenset(["😀"]),
    **{f"repr-of-{n}-bytes": Shows("a" * (n - 2) + "é") for n in (2, 3, 4, 7, 8, 9, 16, 17)},
}


@pytest.mark.parametrize("tail", TAILS.values(), ids=TAILS.keys())
def test_results_of_every_size_are_whole_strs(tail):
    # Sizes around the steps in which the text's storage grows; a non-ASCII tail turns the
    # finished text into a str of a wider kind.
    sizes = [0, 1, 20, 21, 22, 40, 41, 42, 43, 85, 86, 87, 170, 171, 172, 173, 341, 342, 343]
    for n in sizes + [700, 5000]:
        value = list(range(n)) + ([] if tail is None else [tail])
        got = mervik.pretty_format(value, indent=0)
        expected = expected_block(value)
        assert got == expected
        assert got.isascii() == expected.isascii()
        assert hash(got) == hash(expected)
        assert mervik.Pretty(indent=0).format(value) == expected


class FormatsInside:
    """__repr__ returns a format call's result: it renders while the outer call renders."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return mervik.pretty_format(self.value, indent=0)


@pytest.mark.parametrize("inner_size", [10, 300_000], ids=["small", "large"])
def test_a_format_call_inside_another_keeps_both_texts_whole(inner_size):
    inner = ["é" * 3, *range(inner_size)]
    value = ["x" * 5000, FormatsInside(inner), *range(1000), FormatsInside([FormatsInside(inner)])]
    expected = expected_block(value)
    assert mervik.pretty_format(value, indent=0) == expected
    assert mervik.pretty_format(value, indent=0) == expected  # the kept storage, reused


def test_texts_beyond_the_kept_storage_and_threads_at_once():
    import threading

    huge = ["y" * 100] * 100_000  # about 10 MiB of text
    small = [1, "é", 2.5]
    results = {}

    def work(key, values):
        results[key] = [mervik.pretty_format(v, indent=0) for v in values]

    threads = [
        threading.Thread(target=work, args=(i, [small, huge, small] if i % 2 else [huge, small]))
        for i in range(4)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for i in range(4):
        values = [small, huge, small] if i % 2 else [huge, small]
        assert results[i] == [expected_block(v) for v in values]
