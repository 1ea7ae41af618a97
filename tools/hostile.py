"""Hostile objects: values whose __repr__, __str__, __index__, properties or dataclass field
tables raise, change what is being rendered, call mervik again or misbehave otherwise, and the
dataclass shapes the field walk meets.

The one catalogue for the Python tests (tests/python/conftest.py puts this directory on
sys.path and hands the module out as the `kit` fixture), the reference-leak hunt
(tools/refleak.py) and the valgrind workload (tools/workload.py). An object that only one test
needs lives next to that test.

Where an object raises an exception it was given, a class raises a fresh instance each time:
re-raising one instance over and over lengthens its traceback, which the leak hunt would take
for a leak.
"""

import collections
import dataclasses
import types
from typing import ClassVar

import mervik


class Boom(Exception):
    """An exception type of the catalogue's own (its instances can be weakly referenced)."""


def refuse(*_args, **_kwargs):
    """Stands in for a method that must never be called."""
    raise AssertionError("an override was consulted")


def _is_exception(value):
    return isinstance(value, BaseException) or (
        isinstance(value, type) and issubclass(value, BaseException)
    )


def raising(exc, *args):
    """A property whose lookup raises exc(*args), a fresh instance each time."""

    def get(self):
        raise exc(*args)

    return property(get)


# Leaf text ------------------------------------------------------------------------------------


class Repr:
    """__repr__ runs `before()` (if given) and returns `text` as is, whatever it is."""

    def __init__(self, text, before=None):
        self.text = text
        self.before = before

    def __repr__(self):
        if self.before is not None:
            self.before()
        return self.text


class ReprOf:
    """__repr__ returns what `make()` returns: a nested call, a call that fails, ..."""

    def __init__(self, make):
        self.make = make

    def __repr__(self):
        return self.make()


class ReprRaises:
    """__repr__ raises the exception it was given."""

    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        raise self.exc


class StrOverride(str):
    """A str whose str() is some other text."""

    def __new__(cls, value, shown):
        s = super().__new__(cls, value)
        s.shown = shown
        return s

    def __str__(self):
        return self.shown


class StrRaises(str):
    """A str whose str() raises."""

    def __str__(self):
        raise ValueError("str() refused")


class StrGives:
    """Not a str; str() of it is `text` (which may be hostile itself)."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class KeyStrRaises:
    """A hashable key whose str() raises."""

    __str__ = raising(Boom, "key str")


class BytesSubclass(bytes):
    """A bytes subclass that refuses iteration: its storage must be read directly."""

    __iter__ = refuse


# Conversions ----------------------------------------------------------------------------------


class Index:
    """Converted through __index__: returns `value`, or raises it if it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if _is_exception(self.value):
            raise self.value
        return self.value


class ChainedIndex:
    """__index__ raises a TypeError with a cause (and a context)."""

    def __index__(self):
        try:
            raise KeyError("why")
        except KeyError as inner:
            raise TypeError("no index") from inner


# Dataclass lookups ----------------------------------------------------------------------------


class FieldsLookupRaises(list):
    """A list whose __dataclass_fields__ lookup raises `exc`."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    @property
    def __dataclass_fields__(self):
        raise self.exc


class SecondLookupRaises:
    """A dataclass at the first lookup of its field table that raises at the second."""

    def __init__(self):
        self.lookups = 0

    @property
    def __dataclass_fields__(self):
        self.lookups += 1
        if self.lookups > 1:
            raise Boom("second lookup")
        return {}


class InstanceFields:
    """An object that becomes a dataclass through an instance attribute: `fields` is its field
    table (of any type), `attrs` its attributes."""

    def __init__(self, fields, **attrs):
        self.__dataclass_fields__ = fields
        for name, value in attrs.items():
            setattr(self, name, value)


def shaped(name, **attrs):
    """An instance of a fresh class with the given class attributes."""
    return type(name, (), attrs)()


def claims_class(cls, **fields):
    """A dataclass-like object whose __class__ is `cls` (or what a property gives) and whose
    fields are `fields`."""
    return shaped("A", __dataclass_fields__=dict.fromkeys(fields), __class__=cls, **fields)


def named(name):
    """A field-less dataclass-like object whose class's __name__ is `name`."""
    return claims_class(types.SimpleNamespace(__name__=name))


# Containers changed while rendered ------------------------------------------------------------


def growing_dict():
    """A dict whose last value adds a key when it is shown."""
    d = {"a": 1}
    d["b"] = Repr("b", before=lambda: d.__setitem__("z", 0))
    return d


def swapping_dict():
    """A dict whose first value replaces its own key: same size, other keys."""
    d = {"a": 1, "b": 2}
    d["a"] = Repr("a", before=lambda: (d.pop("a"), d.__setitem__("c", 3)))
    return d


def dropped_while_walked(shape):
    """[value]: the list holds the only reference to a `shape` ("list", "dict", "tuple" or
    "dataclass") whose first item, when shown, clears the list."""
    holder = []
    hook = Repr("h", before=holder.clear)
    holder.append({"list": lambda: [hook, 2, 3], "dict": lambda: {"a": hook, "b": 2},
                   "tuple": lambda: (hook, "t"), "dataclass": lambda: Box(hook)}[shape]())
    return holder


# Dataclasses and a named tuple ----------------------------------------------------------------

Pair = collections.namedtuple("Pair", "left right")



@dataclasses.dataclass
class Point:
    x: int
    tags: list


@dataclasses.dataclass
class Box:
    item: object


@dataclasses.dataclass(frozen=True)
class Empty:
    pass


@dataclasses.dataclass
class WithPseudoFields:
    a: int
    hidden: int = dataclasses.field(default=2, repr=False)
    shared: ClassVar[int] = 7
    init_only: dataclasses.InitVar[int] = 5


@dataclasses.dataclass
class InitVarNoDefault:
    a: int
    setup: dataclasses.InitVar[int]

    def __post_init__(self, setup):
        pass


@dataclasses.dataclass(slots=True, frozen=True)
class Slotted:
    b: int
    a: str


@dataclasses.dataclass
class Base:
    first: int = 1


@dataclasses.dataclass
class Derived(Base):
    second: int = 2


@dataclasses.dataclass
class CustomRepr:
    v: int

    def __repr__(self):
        raise AssertionError("a dataclass's own __repr__ is not used")


class Outer:
    @dataclasses.dataclass
    class Inner:
        v: int = 0


Inner = Outer.Inner


# A value of every shape -----------------------------------------------------------------------

SAMPLE = {
    "text": ["abc", "é✓😀", "a'b\"c\n", "lone \ud800", "x" * 3000],
    "numbers": (0, -1, 2**63, 2**70, 1.5, float("nan"), 1j, True, None),
    "bytes": b"\x00\xff" * 40,
    "sets": [{1, 2}, frozenset("ab")],
    (1, ("key",)): Point(1, [Pair(1, {"k": []}), Repr("\ud800 lone"),
                             ReprOf(lambda: mervik.pretty_format({"in": [1]}, indent=1))]),
    "empties": ([], {}, (), Empty()),
    "deep": [[[[[[[[[[1]]]]]]]]]],
}
