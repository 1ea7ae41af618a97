"""Reference-leak hunt over mervik's public operations, for the debug interpreter (python3.14d).

Every case below runs one operation on one path, success or failure, many times per round.
After a few warm-up rounds the interpreter's total reference count and its count of allocated
memory blocks are compared round by round; a case leaks when either count grows in every
measured round. Prints one line per case and exits 1 when any case leaks.

To cover a new operation, add its cases to CASES: each one names the operation, the path it
takes, the call, and the exception that call must end with (None for success).
"""

import dataclasses
import gc
import os
import sys
import tempfile
import threading
import time
import types
from typing import Callable

import mervik
from hostile import (SAMPLE, Boom, BytesSubclass, ChainedIndex, FieldsLookupRaises, Index,
                     InstanceFields, KeyStrRaises, Repr, ReprOf, ReprRaises, SecondLookupRaises,
                     StrGives, StrRaises, claims_class, dropped_while_walked, growing_dict, raising,
                     shaped, swapping_dict)

BROKEN_PIPE = "a pipe without reader"
FULL_PIPE = "a full non-blocking pipe"
WARMUP_ROUNDS = 3
MEASURED_ROUNDS = 4
CALLS_PER_ROUND = 25


@dataclasses.dataclass(frozen=True)
class Case:
    operation: str
    path: str
    call: Callable[[], object]
    raises: type | str | None = None  # an exception type, "PanicException", or success
    calls_per_round: int = CALLS_PER_ROUND
    small_stack: bool = False  # run on a thread with a small stack, for calls that exhaust it
    stdout: str = os.devnull  # where fd 1 points while the case runs, BROKEN_PIPE or FULL_PIPE


# --- Cases -----------------------------------------------------------------------------------


def self_containing_list():
    items = []
    items.append(items)
    return items


def too_deep():
    value = []
    for _ in range(100_000):
        value = [value]
    return value


def set_indent(value):
    def call():
        SHARED_PRETTY.indent = value

    return call


def delete_indent():
    del SHARED_PRETTY.indent


def assigning_own_indent(method):
    """Pretty.format or Pretty.print of a leaf that assigns the rendering instance's indent."""

    def call():
        pretty = mervik.Pretty(2)
        return getattr(pretty, method)([Repr("w", before=lambda: setattr(pretty, "indent", 8))])

    return call


def format_losing_its_instance():
    holder = [mervik.Pretty(2)]
    return holder[0].format([Repr("d", before=holder.clear)])


NESTED_PANIC = ReprOf(lambda: F([1], indent=2**63))  # the PanicException escapes through Python
UNPRINTABLE_NAME = types.SimpleNamespace(__name__=StrGives(StrRaises("name")))
SHARED_PRETTY = mervik.Pretty(2)
F = mervik.pretty_format
CASES = [
    # Success paths.
    Case("pretty_format", "nested value", lambda: F(SAMPLE)),
    Case("pretty_format", "keywords and __index__ indent", lambda: F(obj=SAMPLE, indent=Index(2))),
    Case("pretty_format", "bool indent", lambda: F([1], True)),
    Case("pretty_format", "nested call from __repr__",
         lambda: F([ReprOf(lambda: F([1, (2,)], indent=1))])),
    Case("pretty_format", "unprintable str from __repr__", lambda: F([Repr(StrRaises("x"))])),
    # Argument binding.
    Case("pretty_format", "missing obj", lambda: F(), TypeError),
    Case("pretty_format", "missing obj with indent", lambda: F(indent=2), TypeError),
    Case("pretty_format", "too many positional", lambda: F(1, 2, 3, foo=4), TypeError),
    Case("pretty_format", "unexpected keyword", lambda: F(1, foo=2), TypeError),
    Case("pretty_format", "multiple values", lambda: F(1, obj=2), TypeError),
    Case("pretty_format", "lone-surrogate keyword", lambda: F(1, **{"\ud800": 1}), TypeError),
    # Conversion of indent.
    Case("pretty_format", "indent None", lambda: F(1, indent=None), TypeError),
    Case("pretty_format", "indent str", lambda: F(1, indent="4"), TypeError),
    Case("pretty_format", "indent float", lambda: F(1, 1.5), TypeError),
    Case("pretty_format", "indent negative", lambda: F(1, -1), OverflowError),
    Case("pretty_format", "indent 2**64", lambda: F(1, 2**64), OverflowError),
    Case("pretty_format", "__index__ raises", lambda: F(1, Index(ValueError)), ValueError),
    Case("pretty_format", "__index__ TypeError with cause", lambda: F(1, ChainedIndex()),
         TypeError),
    # Rendering failures.
    Case("pretty_format", "repr raises at depth", lambda: F([1, {"k": (ReprRaises(ValueError),)}]),
         ValueError),
    Case("pretty_format", "dict grows while rendered", lambda: F(growing_dict()), "PanicException"),
    Case("pretty_format", "dict keys swapped while rendered", lambda: F(swapping_dict()),
         "PanicException"),
    Case("pretty_format", "panic through __repr__", lambda: F([NESTED_PANIC]), "PanicException"),
    Case("pretty_format", "capacity overflow", lambda: F({"k": [1]}, 2**63), "PanicException"),
    Case("pretty_format", "indent too large for memory", lambda: F([1], 2**40), MemoryError),
    Case("pretty_format", "__class__ raises", lambda: F([claims_class(raising(Boom))]), Boom),
    Case("pretty_format", "__name__ raises",
         lambda: F([claims_class(shaped("C", __name__=raising(Boom)))]), Boom),
    Case("pretty_format", "field table not a dict", lambda: F(InstanceFields(["x"])), TypeError),
    Case("pretty_format", "field never set", lambda: F(InstanceFields({"never_set": None})),
         AttributeError),
    Case("pretty_format", "field name str raises",
         lambda: F(InstanceFields({KeyStrRaises(): None})), Boom),
    Case("pretty_format", "second field table lookup raises", lambda: F(SecondLookupRaises()),
         Boom),
    Case("pretty_format", "walked list loses its last outside reference",
         lambda: F(dropped_while_walked("list"))),
    Case("pretty_format", "unprintable class name",
         lambda: F([claims_class(UNPRINTABLE_NAME, x=1)])),
    Case("pretty_format", "fields lookup raises KeyboardInterrupt", lambda: F(
        FieldsLookupRaises([1], KeyboardInterrupt))),
    # Each call recurses until the C stack runs out: a small stack keeps that cheap.
    Case("pretty_format", "self-containing list", lambda: F(self_containing_list())),
    Case("pretty_format", "nested too deeply", lambda: F(too_deep()), RecursionError,
         small_stack=True),
    # The printing calls, with fd 1 on /dev/null unless the case says otherwise.
    Case("pretty_print", "nested value", lambda: mervik.pretty_print(SAMPLE, 2)),
    Case("pretty_print", "missing obj", lambda: mervik.pretty_print(), TypeError),
    Case("pretty_print", "indent str", lambda: mervik.pretty_print(1, "4"), TypeError),
    Case("pretty_print", "repr raises after some lines", lambda: mervik.pretty_print(
        [1, ReprRaises(ValueError)]), ValueError),
    Case("pretty_print", "storage full", lambda: mervik.pretty_print([1]), OSError,
         stdout="/dev/full"),
    Case("pretty_print", "broken pipe", lambda: mervik.pretty_print([1]), BrokenPipeError,
         stdout=BROKEN_PIPE),
    Case("pretty_print", "__index__ raises", lambda: mervik.pretty_print(1, Index(ValueError)),
         ValueError),
    Case("pretty_print", "unprintable str from __repr__", lambda: mervik.pretty_print(
        [Repr(StrRaises("x"))])),
    Case("pretty_print", "dict grows while printed", lambda: mervik.pretty_print(
        growing_dict()), "PanicException"),
    Case("pretty_print", "capacity overflow", lambda: mervik.pretty_print([1], 2**63),
         "PanicException"),
    Case("pretty_print", "indent too large for memory", lambda: mervik.pretty_print([1], 2**40),
         MemoryError),
    Case("pretty_print", "field table not a dict",
         lambda: mervik.pretty_print(InstanceFields(["x"])), TypeError),
    Case("pretty_print", "self-containing list", lambda: mervik.pretty_print(
        self_containing_list(), 0)),
    Case("pretty_print", "nested too deeply", lambda: mervik.pretty_print(too_deep(), 0),
         RecursionError, small_stack=True),
    Case("pretty_print", "full non-blocking pipe", lambda: mervik.pretty_print(SAMPLE),
         BlockingIOError, stdout=FULL_PIPE),
    Case("format_escaped_bytes", "bytes", lambda: mervik.format_escaped_bytes(b"\x00\xffab" * 9)),
    Case("format_escaped_bytes", "str", lambda: mervik.format_escaped_bytes("ab"), TypeError),
    Case("format_escaped_bytes", "bytearray", lambda: mervik.format_escaped_bytes(bytearray(1)),
         TypeError),
    Case("format_escaped_bytes", "unexpected keyword", lambda: mervik.format_escaped_bytes(
        b"", data=1), TypeError),
    Case("format_escaped_bytes", "bytes subclass", lambda: mervik.format_escaped_bytes(
        BytesSubclass(b"\x07" * 9))),
    Case("format_escaped_bytes", "missing obj", lambda: mervik.format_escaped_bytes(), TypeError),
    Case("print_escaped_bytes", "bytes", lambda: mervik.print_escaped_bytes(b"\x01" * 40)),
    Case("print_escaped_bytes", "str", lambda: mervik.print_escaped_bytes("ab"), TypeError),
    Case("print_escaped_bytes", "broken pipe", lambda: mervik.print_escaped_bytes(b"\x01"),
         BrokenPipeError, stdout=BROKEN_PIPE),
    Case("print_escaped_bytes", "missing obj", lambda: mervik.print_escaped_bytes(), TypeError),
    Case("print_escaped_bytes", "storage full", lambda: mervik.print_escaped_bytes(b"\x01"),
         OSError, stdout="/dev/full"),
    Case("print_escaped_bytes", "full non-blocking pipe", lambda: mervik.print_escaped_bytes(
        b"\x01" * 300), BlockingIOError, stdout=FULL_PIPE),
    Case("Pretty", "create and drop", lambda: mervik.Pretty(indent=Index(3))),
    Case("Pretty", "indent str", lambda: mervik.Pretty("4"), TypeError),
    Case("Pretty", "too many positional", lambda: mervik.Pretty(1, 2), TypeError),
    Case("Pretty", "lone-surrogate keyword", lambda: mervik.Pretty(**{"\ud800": 1}), TypeError),
    Case("Pretty", "indent negative", lambda: mervik.Pretty(-1), OverflowError),
    Case("Pretty", "__index__ raises", lambda: mervik.Pretty(Index(ValueError)), ValueError),
    Case("Pretty.indent", "get", lambda: SHARED_PRETTY.indent),
    Case("Pretty.indent", "set", set_indent(2**64 - 1)),
    Case("Pretty.indent", "set float", set_indent(1.5), TypeError),
    Case("Pretty.indent", "set negative", set_indent(-1), OverflowError),
    Case("Pretty.indent", "delete", delete_indent, AttributeError),
    Case("Pretty.indent", "set through __index__", set_indent(Index(5))),
    Case("Pretty.indent", "set __index__ raises", set_indent(Index(ValueError)), ValueError),
    Case("Pretty.format", "nested value", lambda: mervik.Pretty(2).format(SAMPLE)),
    Case("Pretty.format", "assigns indent while borrowed", assigning_own_indent("format"),
         RuntimeError),
    Case("Pretty.format", "missing obj", lambda: SHARED_PRETTY.format(), TypeError),
    Case("Pretty.format", "repr raises", lambda: mervik.Pretty(2).format([ReprRaises(ValueError)]),
         ValueError),
    Case("Pretty.format", "dict grows while rendered", lambda: mervik.Pretty(2).format(
        growing_dict()), "PanicException"),
    Case("Pretty.format", "capacity overflow", lambda: mervik.Pretty(2**63).format([1]),
         "PanicException"),
    Case("Pretty.format", "instance loses its last outside reference",
         format_losing_its_instance),
    Case("Pretty.print", "nested value", lambda: mervik.Pretty(2).print(SAMPLE)),
    Case("Pretty.print", "broken pipe", lambda: mervik.Pretty(2).print([1]), BrokenPipeError,
         stdout=BROKEN_PIPE),
    Case("Pretty.print", "assigns indent while borrowed", assigning_own_indent("print"),
         RuntimeError),
    Case("Pretty.print", "repr raises", lambda: mervik.Pretty(2).print([ReprRaises(ValueError)]),
         ValueError),
    Case("Pretty.print", "too many positional", lambda: SHARED_PRETTY.print(1, 2), TypeError),
    Case("Pretty.print", "capacity overflow", lambda: mervik.Pretty(2**64 - 1).print({"k": 1}),
         "PanicException"),
    Case("Pretty.print", "full non-blocking pipe", lambda: mervik.Pretty(2).print(SAMPLE),
         BlockingIOError, stdout=FULL_PIPE),
    # Last, so that what the failed prints left in the writer goes to /dev/null.
    Case("pretty_print", "after failed prints", lambda: mervik.pretty_print([])),
]


# --- Measuring -----------------------------------------------------------------------------------

_int_pool = {}


def pooled(value):
    # Deltas are stored as shared int objects so that storing them allocates nothing new.
    return _int_pool.setdefault(value, value)


def counts():
    gc.collect()
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear()
    gc.collect()
    return sys.getallocatedblocks(), sys.gettotalrefcount()


def check_outcome(case):
    """Makes the case's call once; fails unless it ends as the case says."""
    try:
        case.call()
        got = None
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        got = type(error).__name__
    expected = case.raises.__name__ if isinstance(case.raises, type) else case.raises
    if got != expected:
        raise SystemExit(f"{case.operation} / {case.path}: ended with {got}, expected {expected}")


def run_rounds(case):
    check_outcome(case)

    catch = BaseException if case.raises is not None else ()
    call = case.call
    calls = range(case.calls_per_round)
    ref_deltas = [0] * MEASURED_ROUNDS
    block_deltas = [0] * MEASURED_ROUNDS
    blocks_before = refs_before = 0
    for round_index in range(WARMUP_ROUNDS + MEASURED_ROUNDS):
        for _ in calls:
            try:
                call()
            except catch:
                pass
        blocks_after, refs_after = counts()
        if round_index >= WARMUP_ROUNDS:
            ref_deltas[round_index - WARMUP_ROUNDS] = pooled(refs_after - refs_before)
            block_deltas[round_index - WARMUP_ROUNDS] = pooled(blocks_after - blocks_before)
        blocks_before, refs_before = blocks_after, refs_after
    return ref_deltas, block_deltas


def on_small_stack(function, *args):
    """Runs function(*args) on a thread with a 512 KiB stack and returns its result."""
    outcome = []

    def body():
        try:
            outcome.append((True, function(*args)))
        except BaseException as error:  # noqa: B036 - handed back to the calling thread
            outcome.append((False, error))

    previous = threading.stack_size(512 * 1024)
    try:
        worker = threading.Thread(target=body)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    ok, value = outcome[0]
    if not ok:
        raise value
    return value


def leaks(deltas):
    return all(delta >= 1 for delta in deltas)


class CaseOutput:
    """Points fd 1 where the case wants it and fd 2 at a scratch file while the case runs: its
    failure paths report on standard error (internal failures, resumed panics), as expected."""

    def __init__(self, stdout):
        self.stdout = stdout

    def __enter__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self.saved = (os.dup(1), os.dup(2))
        self.scratch = tempfile.TemporaryFile()
        os.dup2(self.scratch.fileno(), 2)
        self.read_end = None
        if self.stdout == BROKEN_PIPE:
            read_end, write_end = os.pipe()
            os.close(read_end)
        elif self.stdout == FULL_PIPE:
            self.read_end, write_end = os.pipe()
            os.set_blocking(write_end, False)
            try:
                while True:
                    os.write(write_end, bytes(65536))
            except BlockingIOError:
                pass
        else:
            write_end = os.open(self.stdout, os.O_WRONLY)
        os.dup2(write_end, 1)
        os.close(write_end)
        return self

    def __exit__(self, *exc):
        sys.stderr.flush()
        for fd, saved in zip((1, 2), self.saved):
            os.dup2(saved, fd)
            os.close(saved)
        if self.read_end is not None:
            os.close(self.read_end)
        self.scratch.close()


def main():
    if not hasattr(sys, "gettotalrefcount"):
        raise SystemExit("refleak.py needs a debug interpreter (python3.14d)")
    started = time.monotonic()
    sys.unraisablehook = lambda report: None
    leaked = 0
    for case in CASES:
        # The line is started first, so that a crash shows which case it happened in.
        print(f"{case.operation}: {case.path} ... ", end="", flush=True)
        with CaseOutput(case.stdout):
            if case.small_stack:
                ref_deltas, block_deltas = on_small_stack(run_rounds, case)
            else:
                ref_deltas, block_deltas = run_rounds(case)
        bad = leaks(ref_deltas) or leaks(block_deltas)
        leaked += bad
        print(f"{'LEAK' if bad else 'ok'} (reference deltas {ref_deltas}, "
              f"block deltas {block_deltas})", flush=True)
    print(f"reference leaks: {len(CASES) - leaked} cases clean, {leaked} leaking "
          f"({time.monotonic() - started:.1f} s)")
    return 1 if leaked else 0


if __name__ == "__main__":
    sys.exit(main())
