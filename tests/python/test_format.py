"""pretty_format: the text of every shape, classification, the dataclass walk, leaf text,
containers that change while rendered, internal failures, depth and indentation limits, and
reference hygiene on the failure paths."""

import collections
import gc
import sys
import weakref

import pytest
from hostile import (Boom, Empty, KeyStrRaises, Pair, Point, SecondLookupRaises, claims_class,
                     growing_dict, raising, refuse, shaped, swapping_dict)

import mervik


def lines(*rows):
    return "\n".join(rows)


# Worked examples ------------------------------------------------------------------------------

EXAMPLES = [
    ("empty-dict", {}, 4, "{}"),
    ("empty-list", [], 4, "[]"),
    ("empty-tuple", (), 4, "()"),
    ("none", None, 4, "None"),
    ("str", "abc", 4, "'abc'"),
    ("set", {1, 2}, 4, "{1, 2}"),
    ("list", [1, 2, 3], 4, lines("[", "    1,", "    2,", "    3,", "]")),
    ("one-tuple", (1,), 4, lines("(", "    1,", ")")),
    ("dict", {"a": 1, "b": "x"}, 4, lines("{", "    'a': 1,", "    'b': 'x',", "}")),
    (
        "dict-of-list",
        {"k": [1, 2]},
        4,
        lines("{", "    'k': [", "        1,", "        2,", "    ],", "}"),
    ),
    (
        "dataclass",
        Point(x=1, tags=["a", {"b": None}]),
        4,
        lines(
            "Point(",
            "    x=1,",
            "    tags=[",
            "        'a',",
            "        {",
            "            'b': None,",
            "        },",
            "    ],",
            ")",
        ),
    ),
    ("empty-dataclass", Empty(), 4, "Empty()"),
    ("list-of-empty-dataclass", [Empty()], 4, lines("[", "    Empty(),", "]")),
    (
        "tuple-key",
        {(1, 2): "t"},
        4,
        lines("{", "    (", "        1,", "        2,", "    ): 't',", "}"),
    ),
    ("indent-2", {"k": [1, {}]}, 2, lines("{", "  'k': [", "    1,", "    {},", "  ],", "}")),
    ("indent-0", [[1]], 0, lines("[", "[", "1,", "],", "]")),
    (
        "indent-0-mixed",
        {"k": Point(1, [()])},
        0,
        lines("{", "'k': Point(", "x=1,", "tags=[", "(),", "],", "),", "}"),
    ),
    (
        "nested-empties",
        {"a": [], "b": (), "c": {}, "d": [()]},
        2,
        lines("{", "  'a': [],", "  'b': (),", "  'c': {},", "  'd': [", "    (),", "  ],", "}"),
    ),
    (
        "readme",
        {"k": [1, (2,)]},
        2,
        lines("{", "  'k': [", "    1,", "    (", "      2,", "    ),", "  ],", "}"),
    ),
]


@pytest.mark.parametrize(
    "value, indent, expected", [e[1:] for e in EXAMPLES], ids=[e[0] for e in EXAMPLES]
)
def test_worked_examples(pf, value, indent, expected):
    out = pf(value, indent)
    assert type(out) is str
    assert out == expected


def test_default_indent_is_four(pf):
    assert pf({"k": [1]}) == pf({"k": [1]}, indent=4) == pf(obj={"k": [1]}, indent=4)


@pytest.mark.parametrize(
    "leaf",
    [
        1.5,
        True,
        -7,
        10**30,
        1j,
        b"x\x00'",
        "it's",
        "a\nb\\",
        "é✓😀",
        frozenset({3}),
        int,
        range(3),
        ...,
        object,
    ],
    ids=repr,
)
def test_leaves_are_their_repr(pf, leaf):
    assert pf(leaf) == repr(leaf)
    assert pf([leaf]) == lines("[", "    " + repr(leaf) + ",", "]")


def test_leaf_text_is_written_verbatim(pf, kit):
    # A multi-line repr is not re-indented.
    assert pf([kit.Repr("a\nb")]) == lines("[", "    a", "b,", "]")


LEAF_FAILURE_PLACES = {
    "top-level": lambda bad: bad,
    "list-item": lambda bad: [1, bad, 3],
    "tuple-item": lambda bad: (bad,),
    "dict-key": lambda bad: {"a": 1, bad: 2},
    "dict-value": lambda bad: {"a": [bad]},
    "dataclass-field": lambda bad: Point(1, [bad]),
}


@pytest.mark.parametrize("place", LEAF_FAILURE_PLACES.values(), ids=LEAF_FAILURE_PLACES.keys())
def test_failing_repr_propagates_unchanged(pf, kit, place):
    exc = Boom("no repr")
    with pytest.raises(Boom) as info:
        pf(place(kit.ReprRaises(exc)))
    assert info.value is exc


def test_repr_returning_non_text_fails(pf, kit):
    with pytest.raises(TypeError) as info:
        pf([kit.Repr(42)])
    with pytest.raises(TypeError) as own:
        repr(kit.Repr(42))
    assert type(info.value) is TypeError
    assert info.value.args == own.value.args


# Subclasses and library containers ------------------------------------------------------------


class HostileList(list):
    __iter__ = __getitem__ = __repr__ = __reversed__ = refuse

    def __len__(self):
        return 99


class HostileDict(dict):
    __iter__ = __getitem__ = __repr__ = keys = values = items = get = refuse

    def __len__(self):
        return 0


class HostileTuple(tuple):
    __iter__ = __getitem__ = __repr__ = refuse

    def __len__(self):
        return 0


def moved_ordered_dict():
    od = collections.OrderedDict(a=1, b=2)
    od.move_to_end("a")  # changes the ordered view only, not the dict's own storage
    return od


SUBCLASSES = [
    ("list-subclass", lambda: HostileList([1, 2]), lines("[", "    1,", "    2,", "]")),
    ("empty-list-subclass", lambda: HostileList(), "[]"),
    ("dict-subclass", lambda: HostileDict(a=1), lines("{", "    'a': 1,", "}")),
    ("tuple-subclass", lambda: HostileTuple((1,)), lines("(", "    1,", ")")),
    ("named-tuple", lambda: Pair(1, "r"), lines("(", "    1,", "    'r',", ")")),
    ("ordered-dict", moved_ordered_dict, lines("{", "    'a': 1,", "    'b': 2,", "}")),
    (
        "default-dict",
        lambda: collections.defaultdict(refuse, x=[]),
        lines("{", "    'x': [],", "}"),
    ),
]


@pytest.mark.parametrize(
    "make, expected", [s[1:] for s in SUBCLASSES], ids=[s[0] for s in SUBCLASSES]
)
def test_subclasses_render_from_storage(pf, make, expected):
    assert pf(make()) == expected


# Classification -------------------------------------------------------------------------------


class DataList(list):
    __dataclass_fields__ = {}


class AttributeErrorSubclass(AttributeError):
    pass


class LeafLookupRaises:
    @property
    def __dataclass_fields__(self):
        raise ValueError("refused")

    def __repr__(self):
        return "leaf"


class FieldsByGetattr:
    v = 3

    def __getattr__(self, name):
        if name == "__dataclass_fields__":
            return {"v": None}
        raise AttributeError(name)


def test_dataclass_test_comes_before_list(pf):
    assert pf(DataList([1, 2])) == "DataList()"


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda k: k.FieldsLookupRaises([1], ValueError), lines("[", "    1,", "]")),
        (lambda k: k.FieldsLookupRaises([1], KeyboardInterrupt), lines("[", "    1,", "]")),
        (lambda k: k.FieldsLookupRaises([1], AttributeErrorSubclass), lines("[", "    1,", "]")),
        (lambda k: LeafLookupRaises(), "leaf"),
    ],
    ids=["ValueError", "KeyboardInterrupt", "AttributeError-subclass", "leaf-ValueError"],
)
def test_failing_dataclass_lookup_is_discarded(pf, kit, make, expected):
    try:
        out = pf(make(kit))
    except BaseException as e:  # noqa: BLE001 - a KeyboardInterrupt must not end the session
        pytest.fail(f"the lookup's exception escaped: {e!r}")
    assert out == expected
    assert sys.exception() is None


def test_dataclass_lookup_sees_getattr(pf):
    assert pf(FieldsByGetattr()) == lines("FieldsByGetattr(", "    v=3,", ")")


def switching(hook_at):
    """An instance of a fresh class that shows field `a` until code run at `hook_at` of its
    lookups switches the class to field `b`; also the list of the names looked up on it."""
    seen = []

    def switch():
        cls.__dataclass_fields__ = {"b": None}

    class Meta(type):
        if hook_at == "class-name":
            __name__ = property(lambda cls: switch() or "S")

    class Name(str):
        def __str__(self):
            switch()
            return "S"

    class S(metaclass=Meta):
        __dataclass_fields__ = {"a": None}
        a, b = 1, 2
        if hook_at == "class":
            __class__ = property(lambda self: switch() or S)
        if hook_at == "getattribute":

            def __getattribute__(self, name):
                seen.append(name)
                if name == "__class__":
                    switch()
                return object.__getattribute__(self, name)

    cls = S
    if hook_at == "name-str":
        S.__name__ = Name("S")
    return S(), seen


@pytest.fixture(params=["format", "print"])
def shown(request, capfd):
    """The text of a value as pretty_format returns it or as pretty_print writes it."""
    if request.param == "format":
        return mervik.pretty_format

    def printed(obj):
        capfd.readouterr()
        mervik.pretty_print(obj)
        return capfd.readouterr().out.removesuffix("\n")

    return printed


@pytest.mark.parametrize("hook_at", ["class", "getattribute", "class-name", "name-str"])
def test_code_run_by_the_lookups_before_the_field_table_is_seen(shown, hook_at):
    # The table may have been found by the dataclass test already, but code run since may
    # change it: it is looked up again.
    obj, seen = switching(hook_at)
    assert shown(obj) == lines("S(", "    b=2,", ")")
    if hook_at == "getattribute":
        assert seen == ["__dataclass_fields__", "__class__", "__dataclass_fields__", "b"]


@pytest.mark.parametrize("change, gets", [("replaced", 0), ("property", 2), ("table-gains-get", 2)])
def test_a_class_changed_between_two_instances_is_seen(shown, change, gets):
    # What was learned of a class at its first instance may no longer hold at the next; a
    # field table that turned into a descriptor is asked at the dataclass test and again.
    calls = []

    class Table(dict):
        pass

    class S:
        __dataclass_fields__ = Table(a=None)
        a, b = 1, 2

    class Change:
        def __repr__(self):
            if change == "replaced":
                S.__dataclass_fields__ = {"b": None}
            elif change == "property":
                S.__dataclass_fields__ = property(lambda s: calls.append(1) or {"b": None})
            else:
                Table.__get__ = lambda table, obj, cls: calls.append(1) or {"b": None}
            return "change"

    expected = lines("[", "    S(", "        a=1,", "    ),", "    change,", "    S(", "        b=2,")
    assert shown([S(), Change(), S()]) == expected + "\n    ),\n]"
    assert len(calls) == gets


# The dataclass field walk ---------------------------------------------------------------------


class FieldTable(dict):
    __iter__ = keys = items = values = __getitem__ = refuse


FIELD_WALKS = {
    "pseudo-fields": (
        lambda k: k.WithPseudoFields(a=1),
        [
            "WithPseudoFields(",
            "    a=1,",
            "    hidden=2,",
            "    shared=7,",
            "    init_only=5,",
            ")",
        ],
    ),
    "slots-table-order": (
        lambda k: k.Slotted(b=2, a="x"),
        ["Slotted(", "    b=2,", "    a='x',", ")"],
    ),
    "inherited": (lambda k: k.Derived(), ["Derived(", "    first=1,", "    second=2,", ")"]),
    "own-repr-ignored": (lambda k: k.CustomRepr(3), ["CustomRepr(", "    v=3,", ")"]),
    "plain-name": (lambda k: k.Inner(), ["Inner(", "    v=0,", ")"]),
    "class-is-believed": (lambda k: claims_class(Point, v=1), ["Point(", "    v=1,", ")"]),
    "instance-table-empty": (lambda k: k.InstanceFields({}), ["InstanceFields()"]),
    "table-from-storage": (
        lambda k: k.InstanceFields(FieldTable(b=0, a=0), a=1, b=2),
        ["InstanceFields(", "    b=2,", "    a=1,", ")"],
    ),
    "key-str-names-attribute": (
        lambda k: k.InstanceFields({1: None}, **{"1": "one"}),
        ["InstanceFields(", "    1='one',", ")"],
    ),
    "class-name-not-text": (lambda k: claims_class(shaped("C", __name__=5)), ["5()"]),
    "names-outside-ascii-and-empty": (
        lambda k: k.InstanceFields({"é": None, "": None}, **{"é": 1, "": 2}),
        ["InstanceFields(", "    é=1,", "    =2,", ")"],
    ),
    "class-name-outside-ascii": (
        lambda k: shaped("Ünï", __dataclass_fields__={"v": None}, v=0),
        ["Ünï(", "    v=0,", ")"],
    ),
    "class-object-itself": (lambda k: k.Derived, ["type(", "    first=1,", "    second=2,", ")"]),
}


@pytest.mark.parametrize("make, expected", FIELD_WALKS.values(), ids=FIELD_WALKS.keys())
def test_field_walk(pf, kit, make, expected):
    assert pf(make(kit)) == lines(*expected)


def test_nested_dataclass_indentation(pf):
    assert pf({"p": [Point(1, [])]}, indent=2) == lines(
        "{", "  'p': [", "    Point(", "      x=1,", "      tags=[],", "    ),", "  ],", "}"
    )


class Outer:
    class Inner:
        pass


CAST = "object cannot be cast as 'dict'"
DATACLASS_FAILURES = {
    "class-lookup": (lambda k: claims_class(raising(Boom, "class")), Boom, "class"),
    "name-lookup": (
        lambda k: claims_class(shaped("C", __name__=raising(Boom, "name"))), Boom, "name"
    ),
    "name-str": (
        lambda k: claims_class(shaped("C", __name__=shaped("N", __str__=raising(Boom, "str")))),
        Boom,
        "str",
    ),
    "second-fields-lookup": (lambda k: SecondLookupRaises(), Boom, "second lookup"),
    "field-key-str": (lambda k: k.InstanceFields({KeyStrRaises(): None}), Boom, "key str"),
    "missing-field": (
        lambda k: k.InstanceFields({"a": None, "gone": None}, a=1),
        AttributeError,
        "'gone'",
    ),
    # A class object has no value for a field without default.
    "class-object-field": (lambda k: Point, AttributeError, "'x'"),
    "initvar-without-default": (lambda k: k.InitVarNoDefault(1, 2), AttributeError, "'setup'"),
    "fields-list": (lambda k: k.InstanceFields([1]), TypeError, "'list' " + CAST),
    "fields-none": (lambda k: k.InstanceFields(None), TypeError, "'NoneType' " + CAST),
    "fields-qualified-name": (
        lambda k: k.InstanceFields(Outer.Inner()),
        TypeError,
        "'Outer.Inner' " + CAST,
    ),
}


@pytest.mark.parametrize(
    "make, exc, message", DATACLASS_FAILURES.values(), ids=DATACLASS_FAILURES.keys()
)
def test_dataclass_failures_propagate(pf, kit, make, exc, message):
    with pytest.raises(exc) as info:
        pf([make(kit)])
    assert type(info.value) is exc
    if exc is AttributeError:
        assert message in str(info.value)
    else:
        assert str(info.value) == message


# Leaf text ------------------------------------------------------------------------------------


def test_leaf_text_is_str_of_the_repr_result(pf, kit):
    shown = kit.StrOverride("'real'", "shown")
    assert pf(kit.Repr(shown)) == "shown"
    assert pf({kit.Repr(shown): [kit.Repr(shown)]}) == lines(
        "{", "    shown: [", "        shown,", "    ],", "}"
    )


@pytest.mark.parametrize(
    "text, expected",
    [
        ("\ud800", "\ufffd" * 3),
        ("a\udc80b", "a" + "\ufffd" * 3 + "b"),
        ("\ud83d\ude00", "\ufffd" * 6),  # two lone surrogates stay two, never one character
    ],
    ids=["high", "low-inside", "pair-of-lone-surrogates"],
)
def test_lone_surrogates_become_replacement_characters(pf, kit, text, expected):
    assert pf(kit.Repr(text)) == expected
    assert pf([kit.Repr(text)]) == lines("[", "    " + expected + ",", "]")


def test_field_name_with_lone_surrogate(pf, kit):
    assert pf(kit.InstanceFields({"\udc80": None}, **{"\udc80": 1})) == lines(
        "InstanceFields(", "    " + "\ufffd" * 3 + "=1,", ")"
    )


def test_unprintable_repr_result(pf, kit, unraisable):
    bad = kit.StrRaises("x")
    assert pf([kit.Repr(bad), 2]) == lines(
        "[", "    <unprintable StrRaises object>,", "    2,", "]"
    )
    assert len(unraisable) == 1
    report = unraisable[0]
    assert report.exc_type is ValueError
    assert str(report.exc_value) == "str() refused"
    assert report.object is bad


# Indentation ----------------------------------------------------------------------------------


@pytest.mark.parametrize("indent", [1, 3, 4095, 4096, 4097, 6000])
def test_indentation_runs(pf, indent):
    pad = " " * indent
    expected = lines("[", pad + "{", pad * 2 + "'k': 1,", pad + "},", "]")
    assert pf([{"k": 1}], indent) == expected


@pytest.mark.parametrize("indent", [2**63, 2**64 - 1])
@pytest.mark.parametrize(
    "value, expected",
    [(7, "7"), ([], "[]"), ({}, "{}"), ((), "()"), (Empty(), "Empty()")],
    ids=["leaf", "list", "dict", "tuple", "dataclass"],
)
def test_huge_indent_without_items(pf, value, expected, indent):
    assert pf(value, indent) == expected


@pytest.mark.parametrize("indent", [2**63, 2**64 - 1], ids=["2**63", "2**64-1"])
@pytest.mark.parametrize(
    "value", [[1], {"k": 1}, (1,), Point(1, [])], ids=["list", "dict", "tuple", "dataclass"]
)
def test_capacity_overflow(pf, panic_type, value, indent):
    with pytest.raises(panic_type) as info:
        pf(value, indent)
    assert info.value.args == ("capacity overflow",)
    assert pf([1]) == lines("[", "    1,", "]")


# Containers that change while rendered --------------------------------------------------------


def test_list_that_shrinks_ends_early(pf, kit):
    items = [1]
    items += [kit.Repr("s", before=items.clear), 3, 4]
    assert pf(items) == lines("[", "    1,", "    s,", "]")


def test_list_item_removed_before_the_cursor_shifts_the_rest(pf, kit):
    items = []
    items += [kit.Repr("a", before=lambda: items.pop(0)), "b", "c"]
    assert pf(items) == lines("[", "    a,", "    'c',", "]")


def test_list_that_grows_keeps_its_starting_length(pf, kit):
    items = [1]
    items.append(kit.Repr("g", before=lambda: items.extend([8, 9])))
    assert pf(items) == lines("[", "    1,", "    g,", "]")
    assert len(items) == 4


def test_list_item_replaced_ahead_is_read_fresh(pf, kit):
    items = []
    items += [kit.Repr("a", before=lambda: items.__setitem__(1, "new")), "old"]
    assert pf(items) == lines("[", "    a,", "    'new',", "]")


def test_dict_value_replaced_ahead_is_read_fresh(pf, kit):
    d = {}
    d["a"] = kit.Repr("a", before=lambda: d.__setitem__("b", "new"))
    d["b"] = "old"
    assert pf(d) == lines("{", "    'a': a,", "    'b': 'new',", "}")


def grow_in_middle(k):
    d = {"a": 1}
    d["b"] = k.Repr("b", before=lambda: d.__setitem__("z", 0))
    d["c"] = 3
    return d


def shrink_at_last_entry(k):
    d = {"a": 1}
    d["b"] = k.Repr("b", before=lambda: d.pop("a"))
    return d


def grow_from_key(k):
    d = {}
    d[k.Repr("k", before=lambda: d.__setitem__("z", 0))] = 1
    return d


def grow_field_table(k):
    fields = {"a": None}
    grow = k.Repr("a", before=lambda: fields.__setitem__("b", None))
    return k.InstanceFields(fields, a=grow)


CHANGED_WHILE_RENDERED = {
    "grows-in-middle": (grow_in_middle, "dictionary changed size during iteration"),
    "grows-at-last-entry": (lambda k: growing_dict(), "dictionary changed size during iteration"),
    "shrinks-at-last-entry": (shrink_at_last_entry, "dictionary changed size during iteration"),
    "grows-from-key": (grow_from_key, "dictionary changed size during iteration"),
    "field-table-grows": (grow_field_table, "dictionary changed size during iteration"),
    "key-swapped": (lambda k: swapping_dict(), "dictionary keys changed during iteration"),
}


@pytest.mark.parametrize(
    "make, message", CHANGED_WHILE_RENDERED.values(), ids=CHANGED_WHILE_RENDERED.keys()
)
def test_dict_changed_while_rendered(pf, kit, panic_type, make, message):
    with pytest.raises(panic_type) as info:
        pf([make(kit)])
    assert type(info.value) is panic_type  # one class, created once
    assert info.value.args == (message,)
    assert str(info.value) == message
    assert pf({"a": [1]}) == lines("{", "    'a': [", "        1,", "    ],", "}")


def test_panic_exception_type(pf, kit, panic_type):
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__module__ == "mervik_runtime"
    assert panic_type.__name__ == panic_type.__qualname__ == "PanicException"
    assert panic_type.__doc__ == (
        "\nThe exception raised when native code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    with pytest.raises(panic_type):
        try:
            pf(grow_in_middle(kit))
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("except Exception caught a PanicException")


# Re-entry -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argument, message",
    [
        ("from Python", "from Python"),
        (shaped("Unprintable", __str__=raising(Boom)), "Unwrapped panic from Python code"),
    ],
    ids=["message", "unprintable-message"],
)
def test_panic_raised_by_python_code_is_resumed(pf, kit, panic_type, capfd, argument, message):
    raised = panic_type(argument)
    with pytest.raises(panic_type) as info:
        pf([kit.ReprRaises(raised)])
    assert info.value is not raised
    assert info.value.args == (message,)
    err = capfd.readouterr().err
    assert (
        "--- mervik is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
    ) in err
    assert pf([1]) == lines("[", "    1,", "]")


def test_nested_call_from_repr(pf, kit):
    # The inner call starts at depth 0 with its own indentation.
    assert pf({"k": kit.ReprOf(lambda: pf([1]))}) == lines("{", "    'k': [", "    1,", "],", "}")


def test_panic_from_nested_call_is_resumed(run_python):
    run = run_python(
        """
        import mervik

        class Grow:
            def __init__(self, d):
                self.d = d
            def __repr__(self):
                self.d["z"] = 0
                return "g"

        inner = []
        class Outer:
            def __repr__(self):
                d = {"a": 1}
                d["b"] = Grow(d)
                try:
                    return mervik.pretty_format(d)
                except BaseException as e:
                    inner.append(e)
                    raise

        try:
            mervik.pretty_format([Outer()])
        except BaseException as e:
            outer = e
        print(type(outer) is type(inner[0]), outer is not inner[0], outer.args)
        print(mervik.pretty_format([1]) == "[\\n    1,\\n]")
        """
    )
    resume = (
        b"--- mervik is resuming a panic after fetching a PanicException from Python. ---\n"
        b"Python stack trace below:\n"
        b"Traceback (most recent call last):\n"
    )
    tail = b"\nmervik_runtime.PanicException: dictionary changed size during iteration\n"
    ok = (
        run.returncode == 0
        and run.stdout == b"True True ('dictionary changed size during iteration',)\nTrue\n"
        and run.stderr.count(resume) == 1
        and tail in run.stderr[run.stderr.index(resume) :]
    )
    if not ok:
        run.fail("a PanicException from a nested call did not come back as a new PanicException")


# Reference hygiene on failure paths -----------------------------------------------------------


# Failing pretty_format calls as (args, kwargs) around the object `o`, made afresh for each call.
FAILING_CALLS = {
    "missing": lambda k, o: ((), {"indent": o}),
    "too-many": lambda k, o: ((o, 1, 2), {}),
    "unexpected": lambda k, o: ((o,), {"foo": o}),
    "multiple": lambda k, o: ((o,), {"obj": o}),
    "surrogate-name": lambda k, o: ((o,), {"\ud800": o}),
    "labelled": lambda k, o: ((o,), {"indent": None}),
    "labelled-with-cause": lambda k, o: ((o,), {"indent": k.ChainedIndex()}),
    "overflow": lambda k, o: ((o,), {"indent": -1}),
    "index-raises": lambda k, o: ((o,), {"indent": k.Index(ValueError)}),
    "leaf-repr-raises": lambda k, o: (([o, {"k": k.ReprRaises(ValueError)}],), {}),
    "missing-field": lambda k, o: (([k.InstanceFields({"gone": None}), o],), {}),
    "fields-not-dict": lambda k, o: ((k.InstanceFields([o]),), {}),
    "field-key-str": lambda k, o: ((k.InstanceFields({KeyStrRaises(): o}),), {}),
    "dict-changed-size": lambda k, o: (([o, grow_in_middle(k)],), {}),
    "capacity-overflow": lambda k, o: (([o], 2**63), {}),
}


@pytest.mark.parametrize("make", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_no_leaks_on_failure_paths(pf, kit, leak_check, make):
    obj = [1, "two"]

    def call():
        args, kwargs = make(kit, obj)
        try:
            pf(*args, **kwargs)
        except BaseException:  # noqa: BLE001 - every failure kind is exercised here
            return
        raise AssertionError("expected a failure")

    leak_check(call, objects=[obj])


def test_no_leaks_on_success_paths(pf, kit, leak_check, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    obj = [1, "two"]
    bad = kit.StrRaises("x")

    def call():
        pf([obj, {"k": (obj,)}, Point(1, [obj]), kit.Repr(bad)])
        pf(kit.FieldsLookupRaises([obj], ValueError))

    leak_check(call, objects=[obj, bad])


def test_objects_of_a_failed_call_are_released(pf):
    refs = []

    class Fails:
        def __repr__(self):
            e = Boom("boom")
            refs.append(weakref.ref(e))
            raise e

    value = [1, {"k": Fails()}]
    keep = weakref.ref(value[1]["k"])
    with pytest.raises(Boom):
        pf(value)
    del value
    gc.collect()
    assert keep() is None
    assert refs[0]() is None
