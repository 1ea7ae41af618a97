"""A representative mervik workload for memory checkers (valgrind memcheck through ./dev).

Every public operation on its common paths and its failure paths, from several threads, with
standard output on /dev/null and then on a pipe without reader. Small enough to finish in about
a minute under valgrind; prints one summary line on standard error.
"""

import os
import sys
import threading

import mervik
from hostile import SAMPLE, Repr, ReprRaises, StrRaises, growing_dict

def expect(exc, call, *args):
    """Calls call(*args), which must raise `exc` (a type, or "PanicException")."""
    try:
        call(*args)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if exc != type(error).__name__ and not (isinstance(exc, type) and isinstance(error, exc)):
            raise
        return
    raise AssertionError(f"{call!r} did not raise {exc}")


def failures():
    pf = mervik.pretty_format
    expect(TypeError, pf)
    expect(TypeError, pf, 1, "4")
    expect(OverflowError, pf, 1, -1)
    expect(ValueError, pf, [1, {"k": (ReprRaises(ValueError),)}])
    expect("PanicException", pf, growing_dict())
    expect("PanicException", pf, {"k": [1]}, 2**63)
    expect(TypeError, mervik.format_escaped_bytes, "str")
    expect(TypeError, mervik.print_escaped_bytes, bytearray(2))
    expect(AttributeError, delattr, mervik.Pretty(), "indent")
    pretty = mervik.Pretty(2)
    expect(RuntimeError, pretty.format, [Repr("s", before=lambda: setattr(pretty, "indent", 3))])
    looped = []
    looped.append(looped)
    assert pf(looped, 0) == "[\n[...],\n]"
    deep = []
    for _ in range(100_000):
        deep = [deep]
    expect(RecursionError, pf, deep, 0)
    pf([Repr(StrRaises("hidden"))])


def work(rounds):
    pretty = mervik.Pretty(2)
    for i in range(rounds):
        text = mervik.pretty_format(SAMPLE, indent=i % 5)
        assert pretty.format(SAMPLE) == mervik.pretty_format(SAMPLE, pretty.indent)
        assert mervik.format_escaped_bytes(text.encode()[:64]).startswith("\\x")
        mervik.pretty_print(SAMPLE, indent=i % 3)
        pretty.print([i, "x" * (i * 97 % 2000)])
        mervik.print_escaped_bytes(bytes(range(i % 256)))
        pretty.indent = i % 7
        failures()


def main():
    sys.unraisablehook = lambda report: None
    failed = []
    threading.excepthook = failed.append
    # The failure paths report on standard error (internal failures): keep that out of the log.
    saved_stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    try:
        threads = [threading.Thread(target=work, args=(12,)) for _ in range(3)]
        for thread in threads:
            thread.start()
        work(12)
        for thread in threads:
            thread.join()
        if failed:
            raise failed[0].exc_value

        read_end, write_end = os.pipe()
        os.close(read_end)
        os.dup2(write_end, 1)
        for call in (mervik.pretty_print, mervik.Pretty().print):
            expect(BrokenPipeError, call, SAMPLE)
        expect(BrokenPipeError, mervik.print_escaped_bytes, b"\x01" * 3000)
        os.dup2(devnull, 1)
        mervik.pretty_print("done")
    finally:
        os.dup2(saved_stderr, 2)
    print("workload: done", file=sys.stderr)


if __name__ == "__main__":
    main()
