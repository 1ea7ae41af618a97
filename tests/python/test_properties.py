"""Property tests: the rendering of random nested values against a small reference model of the
layout, and the three other ways to get the same text (Pretty.format, pretty_print,
Pretty.print).

The example budget is fixed and the examples are derived from the test alone (derandomize, no
example database), so every run checks the same EXAMPLES values per test.
"""

import collections
import dataclasses
import os
import tempfile
import weakref

from hypothesis import HealthCheck, given, settings
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


# The reference model ----------------------------------------------------------------------------


def shown(text):
    """How a text object appears: str() of it, lone surrogates as U+FFFD per byte."""
    return str(text).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def model(obj, indent, current=0):
    inner = " " * (current + indent)
    close = " " * current
    child = current + indent
    try:
        fields = obj.__dataclass_fields__
    except BaseException:  # noqa: B036 - any failed lookup means "no dataclass"
        fields = None
    else:
        name = shown(obj.__class__.__name__)
        if not fields:
            return name + "()"
        body = "".join(
            f"{inner}{shown(key)}={model(getattr(obj, str(key)), indent, child)},\n"
            for key in fields
        )
        return f"{name}(\n{body}{close})"
    if isinstance(obj, (list, tuple)):
        brackets = "[]" if isinstance(obj, list) else "()"
        if not obj:
            return brackets
        body = "".join(f"{inner}{model(item, indent, child)},\n" for item in obj)
        return f"{brackets[0]}\n{body}{close}{brackets[1]}"
    if isinstance(obj, dict):
        if not obj:
            return "{}"
        body = "".join(
            f"{inner}{model(k, indent, child)}: {model(v, indent, child)},\n"
            for k, v in obj.items()
        )
        return f"{{\n{body}{close}}}"
    return shown(repr(obj))


# Values -------------------------------------------------------------------------------------------


class Text:
    """A leaf whose repr() is any text at all, lone surrogates and line breaks included."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class Shown(str):
    """repr() result whose str() differs from itself."""

    def __str__(self):
        return "shown:" + self[::-1]


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


Pair = collections.namedtuple("Pair", "left right")


@dataclasses.dataclass
class Node:
    value: object
    rest: object = None


@dataclasses.dataclass(frozen=True)
class Empty:
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
    texts.map(Text),
    texts.map(lambda t: Text(Shown(t))),
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
        st.builds(Node, children, children),
    )


values = st.recursive(leaves, containers, max_leaves=25)
indents = st.integers(min_value=0, max_value=8)


# Properties ---------------------------------------------------------------------------------------


@BUDGET
@given(values, indents)
def test_format_matches_the_model(value, indent):
    text = mervik.pretty_format(value, indent)
    assert text == model(value, indent)
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


@BUDGET
@given(values, indents)
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
