"""The README's examples print what it shows: its Python sessions run as doctests, with the
output of pretty_print (written to file descriptor 1, not to sys.stdout) taken into account,
and its `mervik` sessions run through the command-line tool."""

import doctest
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap

import mervik

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
CLI = ROOT / "src" / "cli" / "mervik_cli.py"
FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)


def blocks(language):
    """(line number, text) of each fenced block in the given language, unindented."""
    for match in FENCE.finditer(README):
        if match.group(2) == language:
            line = README.count("\n", 0, match.start(3)) + 1
            yield line, textwrap.dedent(match.group(3))


class FdSpoof(doctest._SpoofOut):
    """What an example printed: to sys.stdout, and then what reached file descriptor 1 (which
    points at `capture`) meanwhile."""

    def __init__(self, capture):
        super().__init__()
        self.capture = capture

    def getvalue(self):
        self.write(os.read(self.capture, 1 << 20).decode())
        return super().getvalue()


def test_python_examples():
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    parser = doctest.DocTestParser()
    globs = {}
    saved = os.dup(1)
    with tempfile.TemporaryFile() as capture:
        reader = os.open(f"/proc/self/fd/{capture.fileno()}", os.O_RDONLY)
        try:
            os.dup2(capture.fileno(), 1)
            # What an earlier test may have left unfinished in the writer comes out here.
            mervik.print_escaped_bytes(b"")
            os.read(reader, 1 << 20)
            runner._fakeout = FdSpoof(reader)
            for line, text in blocks("python"):
                test = parser.get_doctest(text, globs, "README.md", "README.md", line)
                runner.run(test, clear_globs=False)
                globs = test.globs  # later blocks see the names of earlier ones
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(reader)
    summary = runner.summarize(verbose=False)
    assert summary.attempted > 0 and summary.failed == 0, "README examples differ (above)"


def test_command_line_examples():
    for line, text in blocks("console"):
        sessions = re.split(r"^\$ ", text, flags=re.MULTILINE)[1:]
        for session in sessions:
            command, _, expected = session.partition("\n")
            done = subprocess.run(
                ["sh", "-c", f'mervik() {{ "{sys.executable}" "{CLI}" "$@"; }}\n{command}'],
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                env={"PYTHONPATH": os.pathsep.join(sys.path), "LC_ALL": "C.UTF-8"},
                timeout=60,
            )
            assert done.stdout.decode() == expected, f"README.md line {line}: {command}"
