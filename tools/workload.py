"""A representative mervik workload for memory checkers (valgrind memcheck through ./dev).

Every case of the leak hunt's table (tools/refleak.py: each public operation on its success and
failure paths) once per round from several threads with standard output on /dev/null, next to
the shared sample value formatted and printed at several indentations; then, on one thread, the
cases that need another standard output or a small stack. Small enough to finish in well under
a minute under valgrind; prints one summary line on standard error.
"""

import os
import sys
import threading

import mervik
from hostile import SAMPLE
from refleak import CASES, CaseOutput, check_outcome, on_small_stack

# An allocation too large for memory is a MemoryError, but valgrind aborts on a failed new.
SHARED = [c for c in CASES if c.stdout == os.devnull and not c.small_stack
          and c.raises is not MemoryError]
ALONE = [c for c in CASES if c.stdout != os.devnull or c.small_stack]


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
        for case in SHARED:
            check_outcome(case)


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
        for case in ALONE:
            with CaseOutput(case.stdout):
                if case.small_stack:
                    on_small_stack(check_outcome, case)
                else:
                    check_outcome(case)
        mervik.pretty_print("done")
    finally:
        os.dup2(saved_stderr, 2)
    print("workload: done", file=sys.stderr)


if __name__ == "__main__":
    main()
