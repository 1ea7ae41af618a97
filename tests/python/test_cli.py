"""The mervik command, run as a user runs it: a child process with real files, pipes and exit
codes, checked byte for byte."""

import ast
import errno
import json
import os
import pathlib
import signal
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CLI = ROOT / "src" / "cli" / "mervik_cli.py"
SAMPLE = ROOT / "examples" / "sample.json"
USAGE = "usage: mervik [-h] [--indent N] [--format {auto,json,python}] [--version]\n"


def mervik(*args, stdin=b"", stdout=subprocess.PIPE, cwd=None):
    """Runs the command; returns (exit code, stdout bytes, stderr text)."""
    env = {"PYTHONPATH": os.pathsep.join(sys.path), "LC_ALL": "C.UTF-8"}
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", str(CLI), *args],
        input=stdin,
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=env,
        cwd=cwd,
        timeout=120,
    )
    return proc.returncode, proc.stdout, proc.stderr.decode()


def json_error(text):
    """The json module's own message for text it refuses (it has changed between versions)."""
    with pytest.raises(json.JSONDecodeError) as info:
        json.loads(text)
    return info.value.msg


def syntax_error(text):
    """The interpreter's own message for an expression it cannot parse."""
    with pytest.raises(SyntaxError) as info:
        ast.parse(text.lstrip() + "\n", mode="eval")
    return info.value.msg


# Printing -------------------------------------------------------------------------------------


def test_sample_file():
    code, out, err = mervik(str(SAMPLE))
    assert (code, err) == (0, "")
    assert out.decode().startswith("{\n    'name': 'mervik',\n    'version': [\n        0,\n")
    assert out.decode().endswith("    'unicode': 'naïve café ✓',\n}\n")


PRINTED = {
    "json-constants": (
        [],
        b'{"t": true, "n": null, "f": 1.5e3}',
        b"{\n    't': True,\n    'n': None,\n    'f': 1500.0,\n}\n",
    ),
    "python-shapes": (
        ["--indent", "2"],
        b"{(1, 'k'): {b'\\x00'}, 'c': -1+2j, 'e': set()}",
        b"{\n  (\n    1,\n    'k',\n  ): {b'\\x00'},\n  'c': (-1+2j),\n  'e': set(),\n}\n",
    ),
    "indent-zero": (["--indent", "0"], b"[[1]]", b"[\n[\n1,\n],\n]\n"),
    "json-only": (["--format", "json"], b'[1, "x"]', b"[\n    1,\n    'x',\n]\n"),
    "python-only": (["--format", "python"], b"(None,)", b"(\n    None,\n)\n"),
    "bom-and-crlf": ([], b'\xef\xbb\xbf[\r\n  1\r\n]\r\n', b"[\n    1,\n]\n"),
    "indented-literal-with-comment": ([], b"\n   # note\n   (1,)  # one\n", b"(\n    1,\n)\n"),
    "scalar": ([], b'"caf\\u00e9"', "'café'\n".encode()),
    "integer-past-the-str-limit": ([], b"9" * 5000, b"9" * 5000 + b"\n"),
}


@pytest.mark.parametrize("args, stdin, expected", PRINTED.values(), ids=PRINTED.keys())
def test_prints_standard_input(args, stdin, expected):
    assert mervik(*args, stdin=stdin) == (0, expected, "")


def test_files_and_dash_are_printed_in_order(tmp_path):
    (tmp_path / "a.json").write_text("[1]")
    (tmp_path / "b.py").write_text("(2,)")
    code, out, err = mervik("--indent", "1", "a.json", "-", "b.py", stdin=b"{}", cwd=tmp_path)
    assert (code, out, err) == (0, b"[\n 1,\n]\n{}\n(\n 2,\n)\n", "")


# Bad input ------------------------------------------------------------------------------------

# (arguments, input, the error line after "mervik: <stdin>"). In the line, {json} stands for
# the json module's message for the input and {syntax} for the interpreter's.
BAD_INPUT = {
    "json-trailing-comma": (["--format", "json"], '{"a": 1,}', ":1:8: invalid JSON: {json}"),
    "json-refuses-python": (["--format", "json"], "(1,)", ":1:1: invalid JSON: {json}"),
    "python-refuses-json-constant": (
        ["--format", "python"],
        "[true]",
        ":1:2: invalid Python literal: true is not a literal",
    ),
    "python-syntax": (
        ["--format", "python"],
        "{'a': [1, 2}",
        ":1:12: invalid Python literal: {syntax}",
    ),
    "syntax-error-after-leading-blank-lines": (
        ["--format", "python"],
        "\n\n  [1,\n   2 3]",
        ":4:4: invalid Python literal: {syntax}",
    ),
    "not-a-literal-column-in-characters": (
        ["--format", "python"],
        '["é",\n  tru]',
        ":2:3: invalid Python literal: tru is not a literal",
    ),
    "call-on-indented-first-line": (
        [],
        "  (1, f(x))",
        ":1:7: invalid Python literal: a function call is not a literal",
    ),
    "operator-in-a-list": (
        ["--format", "python"],
        "[1 + 2]",
        ":1:4: invalid Python literal: a binary operation is not a literal",
    ),
    "operator-after-parenthesized-operand": (
        [],
        "(1, 2) + (3,)",
        ":1:8: invalid Python literal: a binary operation is not a literal",
    ),
    "sign-of-a-string": (
        ["--format", "python"],
        '[-"a"]',
        ':1:3: invalid Python literal: "a" is not a literal',
    ),
    "unhashable-key": (
        ["--format", "python"],
        "{(1, [2]): 3}",
        ":1:2: invalid Python literal: unhashable type: 'list'",
    ),
    "unhashable-set-element": (
        ["--format", "python"],
        "{1, {}}",
        ":1:5: invalid Python literal: unhashable type: 'dict'",
    ),
    "dict-unpacking": (
        ["--format", "python"],
        "{'a': 1, **b}",
        ":1:12: invalid Python literal: ** unpacking is not a literal",
    ),
    "json-typo": ([], '{"ok": nul}', ":1:8: invalid JSON: {json}"),
    "json-like-python-that-is-not-a-literal": ([], "[1, f(x)]", ":1:5: invalid JSON: {json}"),
    "json-like-python-syntax-error": ([], "{'a': [1}", ":1:2: invalid JSON: {json}"),
    "python-syntax-error": ([], "('a', [1)", ":1:9: invalid Python literal: {syntax}"),
    "json-deep": (
        ["--format", "json"],
        "[" * 100_000 + "]" * 100_000,
        ":1:100000: nested too deeply (100000 levels)",
    ),
    "json-like-deep-unclosed": ([], "[" * 100_000, ":1:100000: nested too deeply (100000 levels)"),
    "python-deep-brackets-in-strings-not-counted": (
        ["--format", "python"],
        "('((', " + "(" * 300 + ")" * 301,
        ":1:307: nested too deeply (301 levels)",
    ),
    "not-utf8": ([], b"[\n 'caf\xc3\xa9\xff']", ":2:7: not UTF-8 text: invalid start byte 0xff"),
    "null-character": (
        ["--format", "python"],
        "[1,\n 2\0]",
        ":2:3: invalid Python literal: null character",
    ),
    "empty": ([], "", ": the input is empty"),
    "blank": (["--format", "json"], " \n\t\n", ": the input is empty"),
}


@pytest.mark.parametrize("args, stdin, error", BAD_INPUT.values(), ids=BAD_INPUT.keys())
def test_bad_input_is_one_line_naming_the_place(args, stdin, error):
    data = stdin if isinstance(stdin, bytes) else stdin.encode()
    if "{json}" in error:
        error = error.replace("{json}", json_error(stdin))
    if "{syntax}" in error:
        error = error.replace("{syntax}", syntax_error(stdin))
    assert mervik(*args, stdin=data) == (1, b"", f"mervik: <stdin>{error}\n")


def test_unreadable_inputs_show_the_system_text_and_the_rest_still_print(tmp_path):
    (tmp_path / "good.json").write_text("[]")
    (tmp_path / "bad.json").write_text("[")
    missing = os.fsdecode(b"missing\xff\n.json")
    code, out, err = mervik(missing, ".", "bad.json", "good.json", cwd=tmp_path)
    assert (code, out) == (1, b"[]\n")
    assert err == (
        f"mervik: missing\\xff\\n.json: {os.strerror(errno.ENOENT)}\n"
        f"mervik: .: {os.strerror(errno.EISDIR)}\n"
        f"mervik: bad.json:1:2: invalid JSON: {json_error('[')}\n"
    )


@pytest.mark.parametrize(
    "redirection, error",
    [("<&-", f"<stdin>: {os.strerror(errno.EBADF)}"), (">&-", "<stdout>: not open")],
    ids=["stdin", "stdout"],
)
def test_closed_standard_stream(tmp_path, redirection, error):
    (tmp_path / "a.json").write_text("[1]")
    proc = subprocess.run(
        ["sh", "-c", f'exec "$0" "$1" "$2" {redirection}', sys.executable, str(CLI), "-"],
        capture_output=True,
        env={"PYTHONPATH": os.pathsep.join(sys.path)},
        cwd=tmp_path,
        timeout=60,
    )
    assert (proc.returncode, proc.stdout) == (1, b"")
    assert proc.stderr.decode() == f"mervik: {error}\n"


# Usage ----------------------------------------------------------------------------------------


def test_help_and_version():
    code, out, err = mervik("--help")
    assert (code, err) == (0, "")
    assert out.decode().startswith(USAGE)
    assert "130 when interrupted" in " ".join(out.decode().split())
    code, out, err = mervik("--version")
    assert (code, err) == (0, "")
    assert out.decode().startswith("mervik 0.") and out.count(b"\n") == 1, out


@pytest.mark.parametrize(
    "args, complaint",
    [
        (["--indent", "-1"], "argument --indent: must be from 0 to 4294967295: -1"),
        (["--indent", str(2**63)], f"argument --indent: must be from 0 to 4294967295: {2**63}"),
        (["--indent", "two"], "argument --indent: not a whole number: 'two'"),
        (["--format", "xml"], "argument --format: invalid choice: 'xml'"),
        (["--width=3"], "unrecognized arguments: --width=3"),
    ],
    ids=["negative-indent", "indent-too-large", "indent-not-a-number", "format", "unknown-option"],
)
def test_usage_errors_exit_2(args, complaint):
    code, out, err = mervik(*args, stdin=b"[]")
    assert (code, out) == (2, b"")
    assert err.startswith(f"mervik: {complaint}") and err.endswith(" (see mervik --help)\n"), err
    assert err.count("\n") == 1, err


# Standard output ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, stdin",
    [([], b"[" + b"1," * 200_000 + b"]"), (["--help"], b"")],
    ids=["pretty-print", "help-through-sys-stdout"],
)
def test_closed_pipe_ends_quietly(args, stdin):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        code, out, err = mervik(*args, stdin=stdin, stdout=write_end)
    finally:
        os.close(write_end)
    assert (code, err) == (141, "")


@pytest.mark.parametrize("interrupt", [False, True], ids=["reader-stops", "ctrl-c"])
def test_reader_that_stops_early_or_ctrl_c_ends_the_command_quietly(interrupt):
    env = {"PYTHONPATH": os.pathsep.join(sys.path)}
    proc = subprocess.Popen(
        [sys.executable, str(CLI)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )
    proc.stdin.write(b"[" + b"1," * 500_000 + b"]")
    proc.stdin.close()
    assert proc.stdout.readline() == b"[\n"
    if interrupt:
        proc.send_signal(signal.SIGINT)  # while the value is being printed
        proc.stdout.read()
    proc.stdout.close()
    assert proc.wait(timeout=60) == (130 if interrupt else 141)
    assert proc.stderr.read() == b""
    proc.stderr.close()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_device_is_reported():
    with open("/dev/full", "wb") as full:
        code, out, err = mervik(stdin=b"[1]", stdout=full)
    assert (code, err) == (1, f"mervik: <stdout>: {os.strerror(errno.ENOSPC)} (os error 28)\n")
