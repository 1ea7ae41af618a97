"""Property tests: the rendering of random nested values against the model of the layout in plain
Python (bench/pure_layout.py, the benchmark's peer), and the three other ways to get the same text
(Pretty.format, pretty_print, Pretty.print).

The example budget is fixed and the examples are derived from the test alone (derandomize, no
example database), so every run checks the same EXAMPLES values per test.
"""

import os
import sys
import tempfile
import weakref

import pure_layout
from hostile import Empty, Pair, Point, Repr, StrOverride
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import mervik

EXAMPLES = 300
BUDGET = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# Values -------------------------------------------------------------------------------------------


class SubStr(str):
    pass


class SubInt(int):
    pass


class SubFloat(float):
    pass


class SubList(list):
    pass


class SubDict(dict):
    pass


class SubTuple(tuple):
    pass


texts = st.lists(
    st.one_of(
        st.characters(codec=None, exclude_categories=()),
        st.sampled_from(["\ud800", "\udfff", "\udc80", "\n", "'", '"', "\\", "\x7f", "é", "😀"]),
    ),
    max_size=8,
).map("".join)

hashable_leaves = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.complex_numbers(),
    texts,
    st.binary(max_size=8),
    texts.map(SubStr),
    st.integers().map(SubInt),
    st.floats().map(SubFloat),
    st.frozensets(st.integers(), max_size=4),
    st.builds(Empty),
)
leaves = st.one_of(
    hashable_leaves,
    st.sets(st.one_of(st.integers(), texts), max_size=4),
    texts.map(Repr),
    texts.map(lambda t: Repr(StrOverride(t, "shown:" + t[::-1]))),
)
keys = st.recursive(
    hashable_leaves,
    lambda inner: st.tuples(inner, inner) | st.builds(Pair, inner, inner),
    max_leaves=4,
)


def containers(children):
    small = {"max_size": 4}
    return st.one_of(
        st.lists(children, **small),
        st.lists(children, **small).map(tuple),
        st.dictionaries(keys, children, **small),
        st.lists(children, **small).map(SubList),
        st.lists(children, **small).map(SubTuple),
        st.dictionaries(keys, children, **small).map(SubDict),
        st.builds(Pair, children, children),
        st.builds(Point, children, children),
    )


values = st.recursive(leaves, containers, max_leaves=25)
indents = st.integers(min_value=0, max_value=8)


# Properties ---------------------------------------------------------------------------------------


@BUDGET
@given(values, indents)
def test_format_matches_the_model(value, indent):
    text = mervik.pretty_format(value, indent)
    assert text == pure_layout.pretty_format(value, indent)
    assert mervik.Pretty(indent).format(value) == text


def printed(print_call):
    """The bytes that `print_call()` sends to fd 1."""
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as devnull:
            os.dup2(devnull.fileno(), 1)
            mervik.print_escaped_bytes(b"")  # sends out what an earlier failed print left
        with tempfile.TemporaryFile() as target:
            os.dup2(target.fileno(), 1)
            print_call()
            target.seek(0)
            return target.read()
    finally:
        os.dup2(saved, 1)
        os.close(saved)


# Every code point below U+3000 and every 97th above, among both quotes.
EVERY_KIND_OF_TEXT = {
    "strings": ["'" + chr(c) + '"' for c in [*range(0x3000), *range(0x3000, sys.maxunicode, 97)]],
    "numbers": [0, -1, 2**63, 1e16, -0.0, 5e-324],
    "flags": (True, False, None),
}


@BUDGET
@given(values, indents)
@example(EVERY_KIND_OF_TEXT, 2)
def test_print_writes_the_formatted_text_and_a_line_break(value, indent):
    expected = (mervik.pretty_format(value, indent) + "\n").encode()
    assert printed(lambda: mervik.pretty_print(value, indent)) == expected
    assert printed(lambda: mervik.Pretty(indent).print(value)) == expected


# Hostile destructors --------------------------------------------------------------------------
# Leaves, keys and weak-reference callbacks that change the container being walked when they are
# shown or released. The walk must hold what it still uses: any outcome but a crash is allowed,
# as long as it is a rendering or the walk's own report of the change.

MUTATIONS = ("none", "pop", "insert", "clear", "refill")


def mutate(target, how):
    if how == "pop" and target:
        del target[next(iter(target)) if isinstance(target, dict) else 0]
    elif how == "insert":
        if isinstance(target, dict):
            target[f"n{len(target)}"] = 0
        else:
            target.append(0)
    elif how == "clear":
        target.clear()
    elif how == "refill":
        if isinstance(target, dict):
            target.update(dict.fromkeys(list(target), 0))
        else:
            target[:] = [0] * len(target)


class Hostile:
    def __init__(self, target, on_repr, on_del):
        self.target, self.on_repr, self.on_del = target, on_repr, on_del

    def __repr__(self):
        mutate(self.target, self.on_repr)
        return "h"

    def __del__(self):
        mutate(self.target, self.on_del)


class HostileKey(str):
    def __del__(self):
        mutate(self.target, self.on_del)


def hostile_value(kind, plan, weak_refs):
    """The container of `kind` whose entries follow `plan`, referenced by nothing else."""
    target = [] if kind == "list" else {}
    for i, (on_repr, on_del, weak) in enumerate(plan):
        item = Hostile(target, on_repr, "none" if weak else on_del)
        if weak:
            weak_refs.append(weakref.ref(item, lambda _, how=on_del: mutate(target, how)))
        if kind == "list":
            target.append(item)
        else:
            key = HostileKey(f"k{i}")
            key.target, key.on_del = target, on_del
            target[key] = item
    if kind != "fields":
        return target
    # A field table: each field's value is a fresh Hostile, released once it is shown.
    cls = type("Fields", (), {
        "__dataclass_fields__": target,
        "__getattr__": lambda self, name: Hostile(target, plan[0][0], plan[0][1]),
    })
    return cls()


plans = st.lists(
    st.tuples(st.sampled_from(MUTATIONS), st.sampled_from(MUTATIONS), st.booleans()),
    min_size=1, max_size=6,
)


@BUDGET
@given(st.sampled_from(["dict", "list", "fields"]), plans)
def test_hostile_destructors_never_crash_the_walk(kind, plan):
    calls = (
        lambda value: mervik.pretty_format(value, 1),
        lambda value: printed(lambda: mervik.pretty_print(value, 1)),
    )
    for call in calls:
        weak_refs = []
        try:
            assert isinstance(call(hostile_value(kind, plan, weak_refs)), (str, bytes))
        except BaseException as error:  # noqa: BLE001 - only the walk's own reports may end it
            assert type(error).__name__ == "PanicException", error
