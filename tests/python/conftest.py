"""Shared fixtures: hostile objects, a subprocess runner and leak checks."""

import dataclasses
import gc
import os
import subprocess
import sys
import textwrap
import types
from typing import ClassVar

import pytest

import mervik


@pytest.fixture
def pf():
    return mervik.pretty_format


@pytest.fixture(scope="session")
def panic_type():
    """The class of the exception raised for an internal failure, caught once."""
    d = {"a": 1}
    d["b"] = Repr("b", before=lambda: d.__setitem__("c", 3))
    try:
        mervik.pretty_format(d)
    except BaseException as e:  # noqa: BLE001 - the class is what this fixture is after
        return type(e)
    pytest.fail("a dict that grows while rendered did not fail")


# Hostile objects ----------------------------------------------------------------------------


class Repr:
    """An object whose __repr__ runs `before()` (if given) and returns `text` as is."""

    def __init__(self, text, before=None):
        self.text = text
        self.before = before

    def __repr__(self):
        if self.before is not None:
            self.before()
        return self.text


class ReprRaises:
    """An object whose __repr__ raises the exception it was given (a class raises a fresh
    instance each time)."""

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


def _is_exception(value):
    return isinstance(value, BaseException) or (
        isinstance(value, type) and issubclass(value, BaseException)
    )


class Index:
    """An object converted through __index__: returns `value`, or raises it if it is an
    exception (a class raises a fresh instance each time)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if _is_exception(self.value):
            raise self.value
        return self.value


class FieldsLookupRaises(list):
    """A list whose __dataclass_fields__ lookup raises `exc` (a class: a fresh instance each
    time)."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    @property
    def __dataclass_fields__(self):
        raise self.exc


class Marker(Exception):
    """An exception type of the tests' own, so that instances can be weakly referenced."""


# Dataclass variants ---------------------------------------------------------------------------


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


class InstanceFields:
    """An object that becomes a dataclass through an instance attribute."""

    def __init__(self, fields, **attrs):
        self.__dataclass_fields__ = fields
        for name, value in attrs.items():
            setattr(self, name, value)


@pytest.fixture
def kit():
    """The hostile objects and dataclass variants, by name."""
    return types.SimpleNamespace(
        Repr=Repr,
        ReprRaises=ReprRaises,
        StrOverride=StrOverride,
        StrRaises=StrRaises,
        Index=Index,
        FieldsLookupRaises=FieldsLookupRaises,
        Marker=Marker,
        WithPseudoFields=WithPseudoFields,
        InitVarNoDefault=InitVarNoDefault,
        Slotted=Slotted,
        Derived=Derived,
        CustomRepr=CustomRepr,
        Inner=Outer.Inner,
        InstanceFields=InstanceFields,
    )


# Unraisable reports ---------------------------------------------------------------------------


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


# Subprocesses ---------------------------------------------------------------------------------


class PythonRun:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    def fail(self, why):
        pytest.fail(
            f"{why}\nreturn code {self.returncode}\n"
            f"--- stdout ---\n{self.stdout.decode(errors='replace')}\n"
            f"--- stderr ---\n{self.stderr.decode(errors='replace')}"
        )


def _child_environment():
    env = {"PYTHONPATH": os.environ.get("PYTHONPATH", ""), "LC_ALL": "C.UTF-8"}
    if "PATH" in os.environ:
        env["PATH"] = os.environ["PATH"]
    return env


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns exact stdout/stderr bytes and the code."""

    def run(code, timeout=120):
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
            env=_child_environment(),
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=timeout,
        )
        return PythonRun(proc.returncode, proc.stdout, proc.stderr)

    return run


# Leak checks ----------------------------------------------------------------------------------


@pytest.fixture
def leak_check():
    """Calls `fn` in rounds and fails when memory blocks grow in every round, or when the
    reference counts of `objects` differ afterwards."""

    def check(fn, objects=(), per_round=200, rounds=3):
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(per_round // 4):
            fn()
        growth = []
        for _ in range(rounds):
            gc.collect()
            start = sys.getallocatedblocks()
            for _ in range(per_round):
                fn()
            gc.collect()
            growth.append(sys.getallocatedblocks() - start)
        assert min(growth) < per_round // 4, f"blocks grew by {growth} in rounds of {per_round}"
        after = [sys.getrefcount(o) for o in objects]
        assert after == before, "reference counts changed"

    return check
