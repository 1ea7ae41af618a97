"""pretty_format's argument binding and the conversion of `indent`."""

import ctypes
import gc
import operator
import weakref

import pytest

MISSING_OBJ = "pretty_format() missing 1 required positional argument: 'obj'"


def too_many(n):
    return f"pretty_format() takes from 1 to 2 positional arguments but {n} were given"


def unexpected(name):
    return f"pretty_format() got an unexpected keyword argument '{name}'"


def multiple(name):
    return f"pretty_format() got multiple values for argument '{name}'"


def interpreter_text(fn, *args):
    """The message of the exception the interpreter itself raises for fn(*args)."""
    try:
        fn(*args)
    except Exception as e:  # noqa: BLE001 - any type; only the text is wanted
        return str(e)
    raise AssertionError(f"{fn} accepted {args}")


def as_unsigned_long_long(value):
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.restype = ctypes.c_ulonglong
    convert.argtypes = [ctypes.py_object]
    return convert(value)


# Binding --------------------------------------------------------------------------------------

BINDING_FAILURES = {
    "no-arguments": (lambda f, k: f(), MISSING_OBJ),
    "indent-only": (lambda f, k: f(indent=2), MISSING_OBJ),
    "missing-before-conversion": (lambda f, k: f(indent=None), MISSING_OBJ),
    "three-positional": (lambda f, k: f(1, 2, 3), too_many(3)),
    "four-positional": (lambda f, k: f(1, 2, 3, 4), too_many(4)),
    "too-many-ignores-keywords": (lambda f, k: f(1, 2, 3, foo=4, obj=5), too_many(3)),
    "too-many-before-conversion": (lambda f, k: f(1, 2, 3, indent=None), too_many(3)),
    "unexpected": (lambda f, k: f(1, foo=2), unexpected("foo")),
    "misspelt": (lambda f, k: f(1, indnet=2), unexpected("indnet")),
    "case-sensitive-indent": (lambda f, k: f(1, Indent=2), unexpected("Indent")),
    "case-sensitive-obj": (lambda f, k: f(OBJ=1), unexpected("OBJ")),
    "empty-name": (lambda f, k: f(1, **{"": 2}), unexpected("")),
    "keyword-checked-before-missing": (lambda f, k: f(indent=1, foo=2), unexpected("foo")),
    "multiple-obj": (lambda f, k: f(1, obj=2), multiple("obj")),
    "multiple-indent": (lambda f, k: f(1, 2, indent=3), multiple("indent")),
    "first-bad-keyword-unexpected": (lambda f, k: f(1, foo=1, obj=2), unexpected("foo")),
    "first-bad-keyword-multiple": (lambda f, k: f(1, obj=2, foo=1), multiple("obj")),
    "lone-surrogate-name": (lambda f, k: f(1, **{"a\ud800": 2}), unexpected("a\ufffd\ufffd\ufffd")),
    "str-subclass-name-shows-str": (
        lambda f, k: f(1, **{k.StrOverride("foo", "shown"): 2}),
        unexpected("shown"),
    ),
}


@pytest.mark.parametrize(
    "call, message", BINDING_FAILURES.values(), ids=BINDING_FAILURES.keys()
)
def test_binding_failures(pf, kit, call, message):
    with pytest.raises(TypeError) as info:
        call(pf, kit)
    e = info.value
    assert type(e) is TypeError
    assert e.args == (message,)
    assert e.__cause__ is None and e.__context__ is None


def test_binding_forms_agree(pf, kit):
    expected = "[\n  1,\n]"
    assert pf([1], 2) == expected
    assert pf([1], indent=2) == expected
    assert pf(obj=[1], indent=2) == expected
    assert pf(indent=2, obj=[1]) == expected
    assert pf(**{"obj": [1], "indent": 2}) == expected
    # Names are matched by their text, not by what str() of the name object says.
    assert pf([1], **{kit.StrOverride("indent", "other"): 2}) == expected


# Conversion of indent ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda k: None,
        lambda k: "4",
        lambda k: 1.5,
        lambda k: [],
        lambda k: object(),
        lambda k: k.Index("3"),
    ],
    ids=["None", "str", "float", "list", "object", "index-returns-str"],
)
def test_type_errors_are_labelled(pf, kit, make):
    value = make(kit)
    with pytest.raises(TypeError) as info:
        pf(kit.ReprRaises(AssertionError), indent=value)
    e = info.value
    assert type(e) is TypeError
    assert e.args == ("argument 'indent': " + interpreter_text(operator.index, value),)
    assert e.__cause__ is None
    assert e.__suppress_context__ is True
    assert e.__context__ is None


def test_labelled_error_keeps_the_original_cause(pf, kit):
    with pytest.raises(TypeError) as info:
        pf(1, indent=kit.ChainedIndex())
    e = info.value
    assert e.args == ("argument 'indent': no index",)
    assert type(e.__cause__) is KeyError and e.__cause__.args == ("why",)
    assert e.__suppress_context__ is True
    assert e.__context__ is None


def test_labelled_error_uses_str_of_the_original(pf, kit, unraisable):
    with pytest.raises(TypeError) as info:
        pf(1, indent=kit.Index(TypeError("a", "b")))
    assert info.value.args == ("argument 'indent': ('a', 'b')",)
    unprintable = TypeError(kit.shaped("Unprintable", __str__=kit.raising(ValueError, "no text")))
    with pytest.raises(TypeError) as info:
        pf(1, indent=kit.Index(unprintable))
    assert info.value.args == ("argument 'indent': <unprintable TypeError object>",)
    assert [(r.object, str(r.exc_value)) for r in unraisable] == [(unprintable, "no text")]


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "exc",
    [TypeErrorSubclass("sub"), ValueError("bad"), ArithmeticError("arith"), OverflowError("own")],
    ids=["TypeError-subclass", "ValueError", "ArithmeticError", "OverflowError"],
)
def test_index_exceptions_pass_through_unchanged(pf, kit, exc):
    with pytest.raises(BaseException) as info:
        pf(1, indent=kit.Index(exc))
    assert info.value is exc


@pytest.mark.parametrize(
    "make, raw",
    [
        (lambda k: -1, -1),
        (lambda k: 2**64, 2**64),
        (lambda k: -(2**70), -(2**70)),
        (lambda k: k.Index(-1), -1),
        (lambda k: k.Index(2**64), 2**64),
    ],
    ids=["-1", "2**64", "-2**70", "index-returns--1", "index-returns-2**64"],
)
def test_overflow_is_not_labelled(pf, kit, make, raw):
    with pytest.raises(OverflowError) as info:
        pf([1], indent=make(kit))
    e = info.value
    assert type(e) is OverflowError
    assert e.args == (interpreter_text(as_unsigned_long_long, raw),)
    assert e.__cause__ is None and e.__context__ is None


class IntWithIndex(int):
    def __index__(self):
        raise AssertionError("__index__ of an int is not consulted")


@pytest.mark.parametrize(
    "make, spaces",
    [
        (lambda k: 0, 0),
        (lambda k: False, 0),
        (lambda k: True, 1),
        (lambda k: 3, 3),
        (lambda k: k.Index(3), 3),
        (lambda k: IntWithIndex(2), 2),
    ],
    ids=["0", "False", "True", "3", "index-3", "int-subclass"],
)
def test_accepted_indents(pf, kit, make, spaces):
    assert pf([1], indent=make(kit)) == "[\n" + " " * spaces + "1,\n]"


@pytest.mark.parametrize(
    "make", [lambda k: 2**64 - 1, lambda k: k.Index(2**64 - 1)], ids=["int", "index"]
)
def test_all_ones_is_a_valid_indent(pf, kit, panic_type, make):
    assert pf([], indent=make(kit)) == "[]"
    with pytest.raises(panic_type, match="^capacity overflow$"):
        pf([1], indent=make(kit))


# Reference hygiene (the leaks of failing calls: test_format.py) --------------------------------


def test_passed_through_exception_is_released(pf, kit):
    exc = kit.Boom("from __index__")
    ref = weakref.ref(exc)
    idx = kit.Index(exc)
    with pytest.raises(kit.Boom):
        pf(1, indent=idx)
    del exc, idx
    gc.collect()
    assert ref() is None
