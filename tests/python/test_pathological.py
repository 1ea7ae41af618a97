"""Hostile input and hostile standard output end in a clean Python exception and leave the module
usable: million-deep nesting and values that contain themselves on every call, containers whose
last reference goes away mid-walk, re-entry, odd class names, indentation too large for memory, and a full
non-blocking pipe on fd 1."""

import dataclasses
import gc
import sys

import pytest
from hostile import Box, Repr, StrGives, claims_class, dropped_while_walked, named

import mervik
from mervik import Pretty


def lines(*rows):
    return "\n".join(rows)


@pytest.fixture
def out(capfd):
    """fd 1 as the tests' own: what earlier failed prints left in the writer is sent out first
    and discarded. Returns a function that reads what was printed since."""
    mervik.print_escaped_bytes(b"")
    capfd.readouterr()
    return lambda: capfd.readouterr().out


# Depth and cycles -----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def million_deep():
    """10**6 levels cycling through list, dict value, tuple and dataclass field."""
    shapes = [lambda v: [v], lambda v: {"k": v}, lambda v: (v,), Box]
    gc.disable()  # a million fresh containers would trigger collections of the whole chain
    try:
        value = 0
        for level in range(10**6):
            value = shapes[level % 4](value)
    finally:
        gc.enable()
    return value


CALLS = {
    "pretty_format": lambda value: mervik.pretty_format(value, 0),
    "Pretty.format": lambda value: Pretty(0).format(value),
    "pretty_print": lambda value: mervik.pretty_print(value, 0),
    "Pretty.print": lambda value: Pretty(0).print(value),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_million_deep_nesting_raises_recursion_error(million_deep, out, call):
    references = sys.getrefcount(million_deep)
    with pytest.raises(RecursionError):
        call(million_deep)
    assert sys.exception() is None
    assert sys.getrefcount(million_deep) == references
    assert mervik.pretty_format([1], 1) == "[\n 1,\n]"


class SubList(list):
    pass


class FormatsItsHolder:
    """A leaf whose repr() pretty-formats the list holding it: a call of its own, whose path
    starts afresh."""

    inside = False

    def __repr__(self):
        if self.inside:
            return "again"
        self.inside = True
        try:
            return mervik.pretty_format(HOLDER, 0).replace("\n", " ")
        finally:
            self.inside = False


HOLDER = [FormatsItsHolder()]


def closed(container, close):
    close(container)
    return container


def deep_cycle(depth, back=0):
    """`depth` nested lists, the innermost holding the one at level `back`: past the levels
    scanned first."""
    levels = [[]]
    for _ in range(depth - 1):
        levels[-1].append([])
        levels.append(levels[-1][0])
    levels[-1].append(levels[back])
    return levels[0]


def chain(depth):
    """`depth` nested lists around [1], and the text of one as an item."""
    value = [1]
    for _ in range(depth - 1):
        value = [value]
    return value, "[|" * depth + "1,|" + "],|" * depth


SELF_REFERENCES = {
    "list": (lambda: closed([1], lambda c: c.append(c)), "[|1,|[...],|]"),
    "list subclass": (lambda: closed(SubList([1]), lambda c: c.append(c)), "[|1,|[...],|]"),
    "dict": (lambda: closed({}, lambda c: c.update(k=c)), "{|'k': {...},|}"),
    "tuple": (lambda: closed(([],), lambda c: c[0].append(c)), "(|[|(...),|],|)"),
    "dataclass": (lambda: closed(Box(None), lambda c: setattr(c, "item", [c])),
                  "Box(|item=[|...,|],|)"),
    "shared, not cyclic": (lambda: [[1]] * 2, "[|[|1,|],|[|1,|],|]"),
    "deep list": (lambda: deep_cycle(12), "[|" * 12 + "[...],|" + "],|" * 11 + "]"),
    "deeper list, to a middle level": (lambda: deep_cycle(400, 200),
                                       "[|" * 400 + "[...],|" + "],|" * 399 + "]"),
    "deep, shared, not cyclic": (lambda: [chain(300)[0]] * 2 + [chain(9)[0]] * 2,
                                 "[|" + chain(300)[1] * 2 + chain(9)[1] * 2 + "]"),
    "nested call": (lambda: HOLDER, "[|[ again, ],|]"),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("make, expected", SELF_REFERENCES.values(), ids=SELF_REFERENCES.keys())
def test_values_that_contain_themselves_are_marked_as_repr_marks_them(out, call, make, expected):
    result = call(make())
    assert (out() if result is None else result + "\n") == expected.replace("|", "\n") + "\n"


class ReentersForever:
    def __init__(self, call):
        self.call = call

    def __repr__(self):
        self.call([self])
        return "never"


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_endless_reentry_from_repr(out, call):
    with pytest.raises(RecursionError):
        call(ReentersForever(call))
    assert mervik.pretty_format([1], 1) == "[\n 1,\n]"


# Mutation and re-entry from __repr__ ----------------------------------------------------------


DROPPED_WHILE_WALKED = {
    "list": lines("[", "    [", "        h,", "        2,", "        3,", "    ],", "]"),
    "dict": lines("[", "    {", "        'a': h,", "        'b': 2,", "    },", "]"),
    "tuple": lines("[", "    (", "        h,", "        't',", "    ),", "]"),
    "dataclass": lines("[", "    Box(", "        item=h,", "    ),", "]"),
}


@pytest.mark.parametrize("shape, expected", DROPPED_WHILE_WALKED.items(), ids=DROPPED_WHILE_WALKED)
def test_walk_survives_losing_the_last_outside_reference(pf, shape, expected):
    assert pf(dropped_while_walked(shape)) == expected


def test_walk_survives_losing_its_field_table(pf):
    @dataclasses.dataclass
    class Two:
        a: object
        b: int

    two = Two(None, 2)
    two.a = Repr("h", before=lambda: delattr(type(two), "__dataclass_fields__"))
    assert pf(two) == lines("Two(", "    a=h,", "    b=2,", ")")


def test_field_deleted_by_an_earlier_field(pf):
    box = Box(None)
    box.__dataclass_fields__ = {"item": None, "later": None}
    box.later = 1
    box.item = Repr("h", before=lambda: delattr(box, "later"))
    with pytest.raises(AttributeError, match="later"):
        pf(box)


SHARED = Pretty(1)
OTHER = Pretty(3)

# (what __repr__ does, the call that renders [hook], exact output: printed text, or the result)
REENTRY = {
    "print-inside-print": (
        lambda: mervik.pretty_print([1]),
        mervik.pretty_print,
        "[\n    [\n    1,\n]\nh,\n]\n",
    ),
    "same-instance-print-inside-format": (
        lambda: SHARED.print("in"),
        SHARED.format,
        ("'in'\n", "[\n h,\n]"),
    ),
    "same-instance-format-inside-print": (
        lambda: SHARED.format([SHARED.indent]),
        SHARED.print,
        "[\n h,\n]\n",
    ),
    "other-instance-setter-inside-print": (
        lambda: setattr(OTHER, "indent", 5),
        SHARED.print,
        "[\n h,\n]\n",
    ),
    "escapes-inside-print": (
        lambda: mervik.print_escaped_bytes(b"\x00"),
        SHARED.print,
        "[\n \\x00\nh,\n]\n",
    ),
}


@pytest.mark.parametrize("action, call, expected", REENTRY.values(), ids=REENTRY.keys())
def test_reentry_from_repr(out, action, call, expected):
    result = call([Repr("h", before=action)])
    printed = out()
    if isinstance(expected, tuple):
        assert (printed, result) == expected
    else:
        assert (printed, result) == (expected, None)


@pytest.mark.parametrize(
    "exc", [SystemExit, MemoryError, "panic"], ids=["SystemExit", "MemoryError", "panic"]
)
def test_any_exception_from_the_dataclass_lookup_is_discarded(
    pf, kit, panic_type, unraisable, exc
):
    if exc == "panic":
        exc = panic_type
    value = [kit.FieldsLookupRaises([1], exc), kit.FieldsLookupRaises([], exc)]
    assert pf(value, 1) == lines("[", " [", "  1,", " ],", " [],", "]")
    assert sys.exception() is None
    assert unraisable == []


# Class names --------------------------------------------------------------------------------


class RaisingGetattr:
    def __getattr__(self, attribute):
        raise KeyboardInterrupt(attribute)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda k: named(42), "42()"),
        (lambda k: named(None), "None()"),
        (lambda k: named(b"N"), "b'N'()"),
        (lambda k: named("\udc80x"), "\ufffd" * 3 + "x()"),
        (lambda k: named(k.StrOverride("real", "shown")), "shown()"),
        (lambda k: named(StrGives(k.StrRaises("n"))), "<unprintable StrRaises object>()"),
    ],
    ids=["int", "none", "bytes", "lone-surrogate", "str-subclass-with-own-str", "unprintable"],
)
def test_class_name_is_str_of_whatever_name_is(pf, kit, unraisable, make, expected):
    assert pf(make(kit)) == expected
    assert len(unraisable) == expected.startswith("<unprintable")


@pytest.mark.parametrize(
    "make, exc",
    [
        (lambda k: claims_class(None), AttributeError),
        (lambda k: claims_class(5), AttributeError),
        (lambda k: claims_class(RaisingGetattr()), KeyboardInterrupt),
        (lambda k: named(k.StrRaises("n")), ValueError),
    ],
    ids=["class-none", "class-int", "name-lookup-interrupted", "name-str-raises"],
)
def test_class_name_failures_propagate(pf, kit, make, exc):
    with pytest.raises(exc):
        pf([make(kit)])
    assert pf([1], 0) == "[\n1,\n]"


# Indentation beyond what can exist ------------------------------------------------------------

PRINT_CALLS = {
    "pretty_print": lambda value, indent: mervik.pretty_print(value, indent),
    "Pretty.print": lambda value, indent: Pretty(indent).print(value),
}


@pytest.mark.parametrize("indent", [2**63, 2**64 - 1], ids=["2**63", "2**64-1"])
@pytest.mark.parametrize("call", PRINT_CALLS.values(), ids=PRINT_CALLS.keys())
def test_capacity_overflow_when_printing(capfd, out, panic_type, call, indent):
    with pytest.raises(panic_type) as info:
        call({"k": [1]}, indent)
    assert info.value.args == ("capacity overflow",)
    assert capfd.readouterr() == ("{\n", "mervik: internal failure: capacity overflow\n")


@pytest.mark.parametrize(
    "call",
    ["mervik.pretty_format(value, 2**40)", "mervik.pretty_print(value, 2**40)",
     "mervik.Pretty(2**40).print(value)"],
    ids=["pretty_format", *PRINT_CALLS],
)
def test_indent_beyond_memory(run_python, call):
    run = run_python(
        f"""
        import os, resource, sys
        import mervik
        # A sanitizer runtime reserves its shadow memory up front: no address-space limit then.
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        value = [{{"k": (1,)}}]
        references = sys.getrefcount(value)
        for _ in range(2):
            try:
                {call}
            except MemoryError:
                print("MemoryError", file=sys.stderr)
        assert sys.getrefcount(value) == references
        mervik.pretty_print(value, 1)
        """
    )
    # A failed print leaves its first line for the next one.
    left = b"" if "format" in call else b"[\n" * 2
    expected = left + b"[\n {\n  'k': (\n   1,\n  ),\n },\n]\n"
    if (run.returncode, run.stdout, run.stderr) != (0, expected, b"MemoryError\n" * 2):
        run.fail("an indentation run too large for memory did not raise MemoryError")


# Standard output that cannot take more --------------------------------------------------------


def test_full_non_blocking_pipe_raises_blocking_io_error(run_python):
    run = run_python(
        """
        import fcntl, os, sys
        import mervik
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, fcntl.F_SETFL, os.O_NONBLOCK)
        os.dup2(write_end, 1)
        value = [["x" * 100] * 100] * 100
        try:
            mervik.pretty_print(value)
        except BlockingIOError as e:
            print(type(e).__name__, e.args, e.errno, file=sys.stderr)
        fcntl.fcntl(1, fcntl.F_SETFL, 0)
        arrived = os.read(read_end, 1 << 20)
        assert mervik.pretty_format(value).encode().startswith(arrived), arrived[-80:]
        capacity = fcntl.fcntl(read_end, 1032)  # F_GETPIPE_SZ; pages are not filled to the brim
        assert capacity // 2 < len(arrived) <= capacity, len(arrived)
        mervik.pretty_print("after")
        rest = os.read(read_end, 1 << 20)
        assert rest.endswith(b"'after'\\n"), rest[-80:]
        """
    )
    expected = b"BlockingIOError ('Resource temporarily unavailable (os error 11)',) None\n"
    if run.returncode != 0 or run.stderr != expected:
        run.fail("a full non-blocking standard output did not raise BlockingIOError")
