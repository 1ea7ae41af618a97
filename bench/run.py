"""mervik's benchmark: every format and print call against its peers, in one interleaved run.

    ./dev bench            the full suite (a few minutes); its tables replace those between the
                           marker lines of docs/performance.md, and its headline ratios those
                           of README.md
    ./dev bench --quick    a tenth of each dataset, 3 rounds, fewer memory probes (under a
                           minute; its ratios are indicative only)
    ./dev bench --json PATH  also writes every figure of the run to PATH

Times are per call: each round runs every case of a dataset once (a case whose call is short
repeats it enough times for a sample of a few milliseconds), in an order that rotates from round
to round, with the garbage collector off. The table shows medians and minimums over the rounds
and the ratio mervik / peer of each (below 1 means mervik is faster). pretty_format is measured
at its default width and at width 2, the indentation of orjson's OPT_INDENT_2.

Fresh processes: pretty_format(indent=2) and orjson each make one call per new process, in
alternating order, after nothing but their one-time set-up on a small value; these times include
the page faults of memory that a long-running process would have reused.

Standard output: the print calls write to /dev/null, to a file (emptied between samples) and
to a pipe drained by another process, against the format call plus one os.write of its text
and against one write(2) per line.

Memory: tracemalloc sees only the interpreter's allocations, not the module's C++ buffers, so
peak memory is measured from the kernel's view instead. A fresh child process per measurement
builds the dataset, makes one warm-up call, collects garbage, returns free heap pages to the
system (malloc_trim), reads its resident size, resets its peak resident size (writing 5 to
/proc/self/clear_refs), makes one call and reads the new peak (VmHWM). Peak minus resident size
before the call is the call's peak memory; it is shown relative to the size of the result
object (sys.getsizeof), or for print calls to the size of the printed text.
"""

import argparse
import contextlib
import ctypes
import dataclasses
import gc
import json
import resource
import os
import pprint
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import datasets  # noqa: E402
import pure_layout  # noqa: E402

import mervik  # noqa: E402

try:
    import orjson
except ImportError:  # pragma: no cover - reported in the table
    orjson = None
try:
    import rich.pretty
except ImportError:  # pragma: no cover - reported in the table
    rich = None

_PRETTY = mervik.Pretty()

# The subjects of the format rows: the default width, and width 2 (orjson's indentation).
PF2 = "mervik.pretty_format(indent=2)"
FORMAT_SUBJECTS = ("mervik.pretty_format", "Pretty.format", PF2)
ORJSON2 = "orjson.dumps(OPT_INDENT_2)"

# The print calls' baselines: the format call's text and a line break, in one write.
FORMAT_AND_WRITE = "pretty_format + one os.write"
ESCAPED_AND_WRITE = "format_escaped_bytes + one os.write"

# The scale of the run's datasets; memory targets are read at this scale.
_full_scale = 1.0

# Sample length a short call is repeated up to, in seconds.
_MIN_SAMPLE = 0.004


def _json_default(obj):
    return vars(obj)


def format_cases(name, value):
    """(label, callable) pairs for one dataset; the first three are mervik's."""
    cases = [
        ("mervik.pretty_format", lambda: mervik.pretty_format(value)),
        ("Pretty.format", lambda: _PRETTY.format(value)),
        (PF2, lambda: mervik.pretty_format(value, indent=2)),
        ("pprint.pformat", lambda: pprint.pformat(value)),
        ("pprint.pformat(width=1)", lambda: pprint.pformat(value, width=1)),
    ]
    if rich is not None:
        cases.append(("rich pretty_repr(max_width=1)",
                      lambda: rich.pretty.pretty_repr(value, max_width=1)))
    if name == "dataclasses":
        cases.append(("json.dumps(indent=4, default=vars)",
                      lambda: json.dumps(value, indent=4, default=_json_default)))
    else:
        cases.append(("json.dumps(indent=4)", lambda: json.dumps(value, indent=4)))
    if orjson is not None:
        cases.append((ORJSON2,
                      lambda: orjson.dumps(value, option=orjson.OPT_INDENT_2)))
    cases.append(("pure-Python layout", lambda: pure_layout.pretty_format(value)))
    cases.append(("repr(x)", lambda: repr(value)))
    return cases


def escaped_text(b):
    """The best pure-Python form of format_escaped_bytes: hex with a one-character separator,
    then the separator widened to the escape prefix."""
    return "\\x" + b.hex(" ").replace(" ", "\\x") if b else ""


def bytes_cases(blob):
    return [
        ("format_escaped_bytes", lambda: mervik.format_escaped_bytes(blob)),
        ("repr(b)", lambda: repr(blob)),
        ("b.hex()", lambda: blob.hex()),
        ("pure Python (hex + replace)", lambda: escaped_text(blob)),
    ]


def _timed(fn, repeat):
    start = time.perf_counter_ns()
    for _ in range(repeat):
        fn()
    return (time.perf_counter_ns() - start) / repeat / 1e9


def measure(cases, rounds, after_sample=None):
    """Interleaved rounds; returns {label: [seconds per call, one per round]}. `after_sample`,
    if given, runs untimed after every sample."""
    gc.collect()
    repeats = {}
    for label, fn in cases:  # warm-up call, which also calibrates the repeat count
        once = _timed(fn, 1)
        if after_sample is not None:
            after_sample()
        repeats[label] = max(1, min(1000, int(_MIN_SAMPLE / max(once, 1e-9))))
    samples = {label: [] for label, _ in cases}
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            shift = r % len(cases)
            for label, fn in cases[shift:] + cases[:shift]:
                samples[label].append(_timed(fn, repeats[label]))
                if after_sample is not None:
                    after_sample()
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()
    return samples


@dataclasses.dataclass
class Row:
    group: str
    subject: str
    peer: str
    subject_median: float
    peer_median: float
    subject_min: float
    peer_min: float

    @property
    def ratio(self):
        return self.subject_median / self.peer_median

    @property
    def ratio_min(self):
        return self.subject_min / self.peer_min


def rows_for(group, samples, subjects):
    rows = []
    for subject in subjects:
        for peer, times in samples.items():
            if peer in subjects:
                continue
            rows.append(Row(group, subject, peer, statistics.median(samples[subject]),
                            statistics.median(times), min(samples[subject]), min(times)))
    return rows


# ---------------------------------------------------------------------------------------------
# Standard output


PRINT_TARGETS = ("devnull", "file", "pipe")


@contextlib.contextmanager
def fd1_to(target):
    """Points file descriptor 1 at /dev/null, at a temporary file or at a pipe drained by
    another process; yields the untimed step to run after each sample (the file is emptied, so
    that it does not grow over the run)."""
    sys.stdout.flush()
    saved = os.dup(1)
    reader = None
    after_sample = None
    if target == "devnull":
        fd = os.open(os.devnull, os.O_WRONLY)
    elif target == "file":
        fd, path = tempfile.mkstemp(prefix="mervik-bench-")
        os.unlink(path)

        def after_sample():
            os.ftruncate(1, 0)
            os.lseek(1, 0, os.SEEK_SET)
    else:
        read_end, fd = os.pipe()
        reader = subprocess.Popen(
            [sys.executable, "-c", "import os\nwhile os.read(0, 1 << 16): pass"], stdin=read_end)
        os.close(read_end)
    os.dup2(fd, 1)
    os.close(fd)
    try:
        yield after_sample
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        if reader is not None:
            reader.wait()


def write_all(data):
    """One os.write of `data` to fd 1 (a blocking descriptor takes it whole; a short write is
    finished like any writer would)."""
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]


def print_cases(name, value):
    text = mervik.pretty_format(value) + "\n"
    lines = [line.encode() for line in text.splitlines(keepends=True)]
    write = os.write
    stdout = sys.stdout

    def floor():
        for line in lines:
            write(1, line)

    def pprint_write():
        stdout.write(pprint.pformat(value))
        stdout.write("\n")
        stdout.flush()

    default = _json_default if name == "dataclasses" else None

    def json_write():
        stdout.write(json.dumps(value, indent=4, default=default))
        stdout.write("\n")
        stdout.flush()

    return [
        ("mervik.pretty_print", lambda: mervik.pretty_print(value)),
        ("Pretty.print", lambda: _PRETTY.print(value)),
        (FORMAT_AND_WRITE, lambda: write_all((mervik.pretty_format(value) + "\n").encode())),
        ("sys.stdout.write(pprint.pformat(x))", pprint_write),
        ("json.dumps + write", json_write),
        ("one write(2) per line (floor)", floor),
    ]


def print_bytes_cases(blob):
    text = (escaped_text(blob) + "\n").encode()
    chunks = [text[i:i + 1024] for i in range(0, len(text), 1024)]
    write = os.write
    stdout = sys.stdout

    def floor():
        for chunk in chunks:
            write(1, chunk)

    def repr_write():
        stdout.write(repr(blob))
        stdout.write("\n")
        stdout.flush()

    return [
        ("print_escaped_bytes", lambda: mervik.print_escaped_bytes(blob)),
        (ESCAPED_AND_WRITE,
         lambda: write_all((mervik.format_escaped_bytes(blob) + "\n").encode())),
        ("sys.stdout.write(repr(b))", repr_write),
        ("one write(2) per 1024 bytes (floor)", floor),
    ]


# ---------------------------------------------------------------------------------------------
# Memory


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def memory_child(dataset, case, scale):
    """Runs in a fresh process: one call's peak memory, printed as JSON."""
    if dataset == "bytes":
        value = datasets.byte_blob(int((1 << 20) * scale))
    else:
        value = datasets.STRUCTURED[dataset](scale)
    default = _json_default if dataset == "dataclasses" else None
    calls = {
        "pretty_format": lambda: mervik.pretty_format(value),
        "Pretty.format": lambda: _PRETTY.format(value),
        "pretty_print": lambda: mervik.pretty_print(value),
        "json.dumps": lambda: json.dumps(value, indent=4, default=default),
        "orjson.dumps": lambda: orjson.dumps(value, option=orjson.OPT_INDENT_2),
        "pretty_format(indent=2)": lambda: mervik.pretty_format(value, indent=2),
        "pprint.pformat": lambda: pprint.pformat(value),
        "format_escaped_bytes": lambda: mervik.format_escaped_bytes(value),
        "print_escaped_bytes": lambda: mervik.print_escaped_bytes(value),
    }
    fn = calls[case]
    printing = case.startswith("print") or case == "pretty_print"
    if printing:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    fn()  # first-call costs (lazy set-up, stack pages of a deep recursion) are not per call
    gc.collect()
    gc.disable()
    libc = ctypes.CDLL(None)
    libc.malloc_trim(0)
    before = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    result = fn()
    peak = _status_kib("VmHWM")
    if printing:
        size_bytes = len(mervik.format_escaped_bytes(value) if dataset == "bytes"
                         else mervik.pretty_format(value).encode()) + 1
    else:
        size_bytes = sys.getsizeof(result)
    report = {"peak_bytes": (peak - before) * 1024, "size": size_bytes}
    os.write(2, (json.dumps(report) + "\n").encode())


def memory_probe(dataset, case, scale):
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", dataset, case, str(scale)],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    return json.loads(proc.stderr.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------------
# Fresh processes

FRESH = " (fresh process)"
FRESH_CALLS = {
    PF2: lambda value: mervik.pretty_format(value, indent=2),
    ORJSON2: lambda value: orjson.dumps(value, option=orjson.OPT_INDENT_2),
}


def fresh_child(dataset, case, scale):
    """Runs in a fresh process: the time and page faults of one call, printed as JSON. Only the
    libraries' one-time set-up is done beforehand, on a small value; the call's memory is as new
    as a short-lived process gets it."""
    value = datasets.STRUCTURED[dataset](scale)
    small = [1, 2.5, "é", {"k": [None, True]}]
    for fn in FRESH_CALLS.values():
        fn(small)
    fn = FRESH_CALLS[case]
    gc.collect()
    gc.disable()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.perf_counter_ns()
    fn(value)
    seconds = (time.perf_counter_ns() - start) / 1e9
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    os.write(2, (json.dumps({"seconds": seconds, "faults": faults}) + "\n").encode())


def fresh_measure(name, rounds, scale):
    """One call per new process, the cases alternating; returns ({case: [seconds]},
    {case: [page faults]})."""
    samples = {case: [] for case in FRESH_CALLS}
    faults = {case: [] for case in FRESH_CALLS}
    cases = list(FRESH_CALLS)
    for r in range(rounds):
        for case in cases if r % 2 == 0 else cases[::-1]:
            proc = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--fresh-child", name, case,
                 str(scale)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                check=True)
            report = json.loads(proc.stderr.strip().splitlines()[-1])
            samples[case].append(report["seconds"])
            faults[case].append(report["faults"])
    return samples, faults


# ---------------------------------------------------------------------------------------------
# Report


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} µs"


def table(rows):
    out = ["| group | mervik call | peer | mervik median | peer median | ratio (median) "
           "| ratio (min) |",
           "| --- | --- | --- | ---: | ---: | ---: | ---: |"]
    for r in rows:
        out.append(f"| {r.group} | {r.subject} | {r.peer} | {fmt_time(r.subject_median)} | "
                   f"{fmt_time(r.peer_median)} | {r.ratio:.3f} | {r.ratio_min:.3f} |")
    return "\n".join(out)


def summary(rows):
    """The ratios in compact form: one table per subject, peers down, groups across."""
    out = []
    subjects = []
    for r in rows:
        if r.subject not in subjects:
            subjects.append(r.subject)
    for subject in subjects:
        mine = [r for r in rows if r.subject == subject]
        groups = list(dict.fromkeys(r.group for r in mine))
        peers = list(dict.fromkeys(r.peer for r in mine))
        out.append(f"{subject} ÷ peer: ratio of median times (ratio of minimum times); "
                   f"below 1, {subject} is faster")
        out.append("")
        out.append("| peer | " + " | ".join(groups) + " |")
        out.append("| --- |" + " ---: |" * len(groups))
        cells = {(r.group, r.peer): r for r in mine}
        for peer in peers:
            row = [f"{cells[(g, peer)].ratio:.3f} ({cells[(g, peer)].ratio_min:.3f})"
                   if (g, peer) in cells else "" for g in groups]
            out.append(f"| {peer} | " + " | ".join(row) + " |")
        medians = [fmt_time(next(r.subject_median for r in mine if r.group == g))
                   for g in groups]
        out.append(f"| {subject}: median time | " + " | ".join(medians) + " |")
        out.append("")
    return "\n".join(out)


def readme_summary(rows):
    """The headline ratios, one line per dataset, for the README."""
    def cell(group, subject, peer):
        r = find(rows, group, subject, peer)
        if r is None:
            return ""
        return f"{r.ratio:.3f}" if r.ratio < 0.1 else f"{r.ratio:.2f}"

    pf = "mervik.pretty_format"
    out = ["| dataset | ÷ orjson, indent 2 (fresh process) | ÷ `json.dumps(indent=4)` | "
           "÷ `pprint.pformat(width=1)` | print ÷ (format + one write): /dev/null, file, pipe |",
           "| --- | ---: | ---: | ---: | ---: |"]
    # json.dumps is matched by prefix: for dataclasses its peer is json.dumps(indent=4,
    # default=vars).
    for name in datasets.STRUCTURED:
        warm, fresh = cell(name, PF2, ORJSON2), cell(name + FRESH, PF2, ORJSON2)
        prints = ", ".join(cell(f"{name} → {t}", "mervik.pretty_print", FORMAT_AND_WRITE)
                           for t in PRINT_TARGETS)
        out.append(f"| {name} | {warm} ({fresh}) | {cell(name, pf, 'json.dumps(indent=4')} | "
                   f"{cell(name, pf, NARROWEST[0])} | {prints} |")
    prints = ", ".join(cell(f"bytes → {t}", "print_escaped_bytes", ESCAPED_AND_WRITE)
                       for t in PRINT_TARGETS)
    out.append(f"| bytes | {cell('bytes', 'format_escaped_bytes', 'repr(b)')} ÷ `repr(b)` | | | "
               f"{prints} |")
    return "\n".join(out)


def find(rows, group, subject, peer_prefix):
    for r in rows:
        if r.group == group and r.subject == subject and r.peer.startswith(peer_prefix):
            return r
    return None


NARROWEST = ("pprint.pformat(width=1)", "rich pretty_repr(max_width=1)")

# pretty_format(indent=2) ÷ orjson.dumps(OPT_INDENT_2), warm and in a fresh process.
ORJSON_BOUNDS = {"json_doc": 1.25, "ints": 0.6, "dataclasses": 2.0, "strings": 3.0,
                 "nesting": 1.25}


def targets(rows, memory):
    """(description, measured figure, bound, met) for each target."""
    checks = []

    def ratio(group, subject, peer, bound, text):
        r = find(rows, group, subject, peer)
        if r is not None:
            checks.append((text, r.ratio, bound, r.ratio <= bound))

    pf = "mervik.pretty_format"
    ratio("json_doc", pf, "json.dumps", 0.5, "json_doc: pretty_format / json.dumps(indent=4)")
    for group, bound in ORJSON_BOUNDS.items():
        for suffix, where in (("", "warm"), (FRESH, "fresh process")):
            ratio(group + suffix, PF2, ORJSON2, bound,
                  f"{group}: pretty_format(indent=2) / orjson (indent 2), {where}")
    ratio("ints", pf, "json.dumps", 1.0, "ints: pretty_format / json.dumps")
    ratio("dataclasses", pf, "json.dumps", 0.5,
          "dataclasses: pretty_format / json.dumps(default=vars)")
    ratio("strings", pf, "json.dumps", 1.0, "strings: pretty_format / json.dumps")
    # At least 50 times faster than the pretty-printers at their narrowest layout, the one that
    # puts every item on a line of its own as mervik does.
    for group in datasets.STRUCTURED:
        for peer in NARROWEST:
            ratio(group, pf, peer, 0.02, f"{group}: pretty_format / {peer}")
    ratio("bytes", "format_escaped_bytes", "repr(b)", 0.3, "bytes: format_escaped_bytes / repr(b)")
    for r in rows:
        if r.subject == "mervik.pretty_print" and "floor" in r.peer:
            checks.append((f"{r.group}: pretty_print / one write per line", r.ratio, 1.2,
                           r.ratio <= 1.2))
        if (r.subject, r.peer) in (("mervik.pretty_print", FORMAT_AND_WRITE),
                                   ("print_escaped_bytes", ESCAPED_AND_WRITE)):
            checks.append((f"{r.group}: {r.subject} / {r.peer}", r.ratio, 1.1, r.ratio <= 1.1))
    for (dataset, case, scale), m in memory.items():
        if case == "pretty_format" and scale == _full_scale:
            rel = m["peak_bytes"] / m["size"]
            checks.append((f"{dataset}: pretty_format peak memory / result size", rel, 2.5,
                           rel <= 2.5))
    # pretty_print's peak must not grow with the output: compare the smallest and largest scale.
    for dataset in datasets.STRUCTURED:
        peaks = sorted((scale, m) for (d, c, scale), m in memory.items()
                       if d == dataset and c == "pretty_print")
        if len(peaks) >= 2 and peaks[-1][0] >= 10 * peaks[0][0]:
            (small, m_small), (large, m_large) = peaks[0], peaks[-1]
            growth = (m_large["peak_bytes"] - m_small["peak_bytes"]) / 2**20
            checks.append((f"{dataset}: pretty_print peak growth in MiB from output "
                           f"{m_small['size'] / 2**20:.1f} to {m_large['size'] / 2**20:.1f} MiB",
                           growth, 1, growth <= 1))
    return checks


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer rounds and memory probes")
    parser.add_argument("--rounds", type=int, help="rounds per dataset (default 7, quick 3)")
    parser.add_argument("--scale", type=float,
                        help="dataset size relative to full (default 1, quick 0.1)")
    parser.add_argument("--only", help="comma-separated dataset names to run (default all)")
    parser.add_argument("--no-print", action="store_true", help="skip the standard-output cases")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    parser.add_argument("--no-fresh", action="store_true",
                        help="skip the fresh-process cases (one call per new process)")
    parser.add_argument("--full-table", action="store_true",
                        help="also print every row with medians and minimums")
    parser.add_argument("--json", metavar="PATH",
                        help="also write every figure of the run to PATH as JSON")
    parser.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--fresh-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        dataset, case, scale = args.memory_child
        memory_child(dataset, case, float(scale))
        return
    if args.fresh_child:
        dataset, case, scale = args.fresh_child
        fresh_child(dataset, case, float(scale))
        return
    global _full_scale
    rounds = args.rounds or (3 if args.quick else 7)
    scale = _full_scale = args.scale or (0.1 if args.quick else 1.0)
    wanted = set(args.only.split(",")) if args.only else None
    report = os.fdopen(os.dup(1), "w", buffering=1)
    say = lambda *a: print(*a, file=report)  # noqa: E731
    started = time.perf_counter()
    heading = (f"mervik benchmark: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
               f"{rounds} rounds, datasets at scale {scale}{' (quick)' if args.quick else ''}")
    say(heading)
    rows = []
    values = {}
    for name, builder in datasets.STRUCTURED.items():
        if wanted and name not in wanted:
            continue
        value = values[name] = builder(scale)
        expected = mervik.pretty_format(value)
        assert pure_layout.pretty_format(value) == expected, f"pure-Python layout differs on {name}"
        assert _PRETTY.format(value) == expected
        cases = format_cases(name, value)
        samples = measure(cases, rounds)
        rows += rows_for(name, samples, FORMAT_SUBJECTS)
        say(f"  {name}: {datasets.count_leaves(value)} leaves, {len(expected)} characters; "
            f"pretty_format {fmt_time(statistics.median(samples['mervik.pretty_format']))}")
    if not wanted or "bytes" in wanted:
        blob = values["bytes"] = datasets.byte_blob(int((1 << 20) * scale))
        assert mervik.format_escaped_bytes(blob) == escaped_text(blob)
        samples = measure(bytes_cases(blob), rounds)
        rows += rows_for("bytes", samples, ("format_escaped_bytes",))
        say(f"  bytes: {len(blob)} bytes; format_escaped_bytes "
            f"{fmt_time(statistics.median(samples['format_escaped_bytes']))}")
    if not args.no_print:
        print_sets = ["json_doc", "ints", "strings"] if args.quick else list(datasets.STRUCTURED)
        for target in PRINT_TARGETS:
            with fd1_to(target) as after_sample:
                for name in print_sets:
                    if name not in values:
                        continue
                    samples = measure(print_cases(name, values[name]), rounds, after_sample)
                    rows += rows_for(f"{name} → {target}", samples,
                                     ("mervik.pretty_print", "Pretty.print"))
                if "bytes" in values:
                    samples = measure(print_bytes_cases(values["bytes"]), rounds, after_sample)
                    rows += rows_for(f"bytes → {target}", samples, ("print_escaped_bytes",))
            say(f"  standard output to {target}: done")
    memory = {}
    if not args.no_memory:
        if args.quick:
            probes = [(n, c, scale) for n in ("json_doc", "strings")
                      for c in ("pretty_format", "pretty_print")]
            probes += [("ints", "pretty_print", s) for s in (0.1, 1.0)]
        else:
            probes = [(n, c, scale) for n in datasets.STRUCTURED
                      for c in ("pretty_format", "Pretty.format", "pretty_print", "json.dumps",
                                "pprint.pformat")]
            if orjson is not None:
                probes += [(n, "orjson.dumps", scale) for n in datasets.STRUCTURED]
            probes += [("ints", "pretty_print", s) for s in (0.1, 1.0, 10.0)]
            probes += [("json_doc", "pretty_print", s) for s in (0.1, 1.0, 10.0)]
            probes += [("bytes", c, scale) for c in ("format_escaped_bytes", "print_escaped_bytes")]
        for dataset, case, probe_scale in probes:
            if wanted and dataset not in wanted:
                continue
            memory[(dataset, case, probe_scale)] = memory_probe(dataset, case, probe_scale)
        say("  memory: done")
    fresh_faults = {}
    if not args.no_fresh and orjson is not None:
        for name in datasets.STRUCTURED:
            if wanted and name not in wanted:
                continue
            samples, faults = fresh_measure(name, rounds, scale)
            rows += rows_for(name + FRESH, samples, (PF2,))
            fresh_faults[name] = {case: statistics.median(f) for case, f in faults.items()}
        say("  fresh processes: done")
    tables = [summary(rows)]
    if args.full_table:
        tables.append(table(rows))
    if fresh_faults:
        lines = ["Page faults of one call in a fresh process (medians):", "",
                 "| dataset | " + " | ".join(FRESH_CALLS) + " |",
                 "| --- |" + " ---: |" * len(FRESH_CALLS)]
        for name, faults in fresh_faults.items():
            lines.append(f"| {name} | " + " | ".join(f"{faults[c]:.0f}" for c in FRESH_CALLS)
                         + " |")
        tables.append("\n".join(lines) + "\n")
    if memory:
        lines = ["| dataset | call | scale | peak memory | result / printed text | peak / result |",
                 "| --- | --- | ---: | ---: | ---: | ---: |"]
        for (dataset, case, probe_scale), m in memory.items():
            lines.append(f"| {dataset} | {case} | {probe_scale:g} | "
                         f"{m['peak_bytes'] / 2**20:.2f} MiB | {m['size'] / 2**20:.2f} MiB | "
                         f"{m['peak_bytes'] / m['size']:.2f} |")
        tables.append("\n".join(lines) + "\n")
    checks = targets(rows, memory)
    if checks:
        lines = ["| target | measured | bound | met |", "| --- | ---: | ---: | --- |"]
        for text, value, bound, met in checks:
            lines.append(f"| {text} | {value:.3f} | ≤ {bound} | {'yes' if met else 'NO'} |")
        tables.append("\n".join(lines) + "\n")
    say("")
    say("\n".join(tables))
    complete = not (args.quick or args.only or args.scale or args.rounds or args.no_print
                    or args.no_memory or args.no_fresh)
    if complete:
        write_between(DOCS, "\n".join([heading, ""] + tables).rstrip("\n"))
        write_between(README, "\n".join([heading, "", readme_summary(rows)]))
        say(f"tables written to {os.path.relpath(DOCS)} and {os.path.relpath(README)}")
    if args.json:
        write_json(args.json, heading, rows, fresh_faults, memory, checks)
        say(f"figures written to {args.json}")
    say(f"total time: {time.perf_counter() - started:.0f} s")


_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(_ROOT, "docs", "performance.md")
README = os.path.join(_ROOT, "README.md")
BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"


def write_between(path, body):
    """Replaces what lies between the file's two marker lines by `body`."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if BEGIN not in text or END not in text:
        raise SystemExit(f"{path}: the lines {BEGIN} and {END} are missing")
    before, rest = text.split(BEGIN, 1)
    after = rest.split(END, 1)[1]
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{before}{BEGIN}\n{body}\n{END}{after}")


def write_json(path, heading, rows, fresh_faults, memory, checks):
    data = {
        "heading": heading,
        "rows": [dict(dataclasses.asdict(r), ratio=r.ratio, ratio_min=r.ratio_min)
                 for r in rows],
        "fresh_process_page_faults": fresh_faults,
        "memory": [dict(dataset=d, call=c, scale=s, **m) for (d, c, s), m in memory.items()],
        "targets": [dict(target=t, measured=v, bound=b, met=m) for t, v, b, m in checks],
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
