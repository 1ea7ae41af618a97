"""Concurrency stress in a child interpreter: eight threads print and format through shared Pretty
instances while one of them keeps assigning their indent. Every printed line arrives whole,
every rendering uses one indent throughout, borrow errors happen only where the borrow rules
allow them, and the run ends (a hang is dumped and killed by its timeout)."""

import json
import re

THREADS = 8
OPS_PER_THREAD = 1500
TIMEOUT = 300

CHILD = """
import faulthandler, json, sys, threading, time
import mervik

faulthandler.dump_traceback_later({timeout} - 30, exit=True)
THREADS, OPS = {threads}, {ops}
INDENTS = range(9)
shared = [mervik.Pretty(2), mervik.Pretty(5)]


def payload(t, i):
    return "x" * ((i * 37 + t * 101) % 1500)  # some lines longer than the writer's buffer


class Token:
    # A print of a Token is two write steps, "\\n" + token and "\\n": the token lands in the
    # writer's buffer and goes out with the next line break, yet always as a line of its own.
    # The yield inside __repr__ lets other threads run while the call holds its borrow.
    def __init__(self, t, i):
        self.text = f"\\nT{{t}}:{{i}}:{{payload(t, i)}}"

    def __repr__(self):
        time.sleep(0)
        return self.text


class Yields:
    def __repr__(self):
        time.sleep(0)
        return "y"


VALUE = {{"k": [1, (Yields(), "s")], (2, 3): [Yields(), {{}}]}}
EXPECTED = [mervik.pretty_format(VALUE, n) for n in INDENTS]
GIL = sys._is_gil_enabled()
barrier = threading.Barrier(THREADS)
stats = {{"prints": 0, "formats": 0, "sets": 0, "already_borrowed": 0}}
problems = []


def allowed(error, rule):
    # With the GIL no thread can observe the setter's exclusive borrow, which runs no Python
    # code; a setter fails only while a format or print on the same instance is under way.
    return type(error) is RuntimeError and str(error) == rule


def setter():
    barrier.wait()
    for i in range(OPS * 2):
        try:
            shared[i % 2].indent = INDENTS[i % 9]
            stats["sets"] += 1
        except RuntimeError as error:
            if not allowed(error, "Already borrowed"):
                raise
            stats["already_borrowed"] += 1


def worker(t):
    barrier.wait()
    for i in range(OPS):
        pretty = shared[i % 2]
        try:
            op = i % 5
            if op == 0:
                pretty.print(Token(t, i))
            elif op == 1:
                mervik.pretty_print(Token(t, i))
            elif op == 2:
                if pretty.format(VALUE) not in EXPECTED:
                    problems.append(f"T{{t}}:{{i}}: a rendering mixed indents")
            elif op == 3:
                if pretty.indent not in INDENTS:
                    problems.append(f"T{{t}}:{{i}}: indent {{pretty.indent}}")
                if mervik.Pretty(i % 9).format(VALUE) != EXPECTED[i % 9]:
                    problems.append(f"T{{t}}:{{i}}: a fresh instance rendered wrongly")
            else:
                if mervik.pretty_format(VALUE, i % 9) != EXPECTED[i % 9]:
                    problems.append(f"T{{t}}:{{i}}: pretty_format rendered wrongly")
            stats["prints" if op < 2 else "formats"] += 1
        except RuntimeError as error:
            if GIL or not allowed(error, "Already mutably borrowed"):
                problems.append(f"T{{t}}:{{i}}: {{error!r}}")
        except BaseException as error:
            problems.append(f"T{{t}}:{{i}}: {{error!r}}")


threads = [threading.Thread(target=setter)]
threads += [threading.Thread(target=worker, args=(t,)) for t in range(1, THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({{"stats": stats, "problems": problems[:20]}}), file=sys.stderr)
"""


def test_threads_racing_on_shared_instances(run_python):
    code = CHILD.format(threads=THREADS, ops=OPS_PER_THREAD, timeout=TIMEOUT)
    stdout, err = run_python(code, timeout=TIMEOUT).check()
    report = json.loads(err.splitlines()[-1])
    assert report["problems"] == []

    # Every non-empty line is one whole Token; each thread's lines come in its own order.
    prints_per_thread = len(range(0, OPS_PER_THREAD, 5)) + len(range(1, OPS_PER_THREAD, 5))
    line = re.compile(rb"T(\d+):(\d+):(x*)")
    seen = {t: [] for t in range(1, THREADS)}
    empty = 0
    for text in stdout.split(b"\n")[:-1]:
        if not text:
            empty += 1
            continue
        match = line.fullmatch(text)
        assert match, text[:80]
        t, i = int(match[1]), int(match[2])
        assert len(match[3]) == (i * 37 + t * 101) % 1500, text[:80]
        seen[t].append(i)
    assert stdout.endswith(b"\n")
    for t, indices in seen.items():
        assert indices == [i for i in range(OPS_PER_THREAD) if i % 5 < 2], f"thread {t}"
    assert empty == (THREADS - 1) * prints_per_thread
    assert report["stats"]["prints"] == (THREADS - 1) * prints_per_thread
