"""Shared fixtures: the catalogue of hostile objects, a subprocess runner and leak checks."""

import gc
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

# The catalogue of hostile objects (tools/hostile.py) and the layout model (bench/pure_layout.py)
# are shared with the leak hunt, the valgrind workload and the benchmark.
_TOP = pathlib.Path(__file__).resolve().parents[2]
sys.path[:0] = [str(_TOP / "tools"), str(_TOP / "bench")]

import hostile  # noqa: E402
import mervik  # noqa: E402


@pytest.fixture
def pf():
    return mervik.pretty_format


@pytest.fixture(scope="session")
def panic_type():
    """The class of the exception raised for an internal failure, caught once."""
    try:
        mervik.pretty_format(hostile.growing_dict())
    except BaseException as e:  # noqa: BLE001 - the class is what this fixture is after
        return type(e)
    pytest.fail("a dict that grows while rendered did not fail")


@pytest.fixture
def kit():
    """The catalogue of hostile objects and dataclass shapes."""
    return hostile


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
            f"--- stdout ---\n{self.stdout!r}\n"
            f"--- stderr ---\n{self.stderr.decode(errors='replace')}"
        )

    def check(self):
        """(stdout bytes, stderr text) of a child that exited with status 0."""
        if self.returncode != 0:
            self.fail("the child failed")
        return self.stdout, self.stderr.decode()


def _child_environment():
    """The environment of a child interpreter: this one's module path and a UTF-8 locale."""
    env = {"PYTHONPATH": os.pathsep.join(sys.path), "LC_ALL": "C.UTF-8"}
    if "PATH" in os.environ:
        env["PATH"] = os.environ["PATH"]
    return env


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter with standard output on `stdout` (a pipe unless
    given); returns its exact stdout/stderr bytes and its exit status."""

    def run(code, stdout=subprocess.PIPE, timeout=120):
        proc = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
            env=_child_environment(),
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=subprocess.PIPE,
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
