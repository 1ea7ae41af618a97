"""pretty_print, print_escaped_bytes and format_escaped_bytes against real standard output.

Everything that touches fd 1 runs in a child interpreter, so the bytes, their order and the
system-call boundaries can be checked exactly.
"""

import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

import mervik


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        ("mervik.pretty_print({})", b"{}\n"),
        ("mervik.pretty_print([1, (2,)], indent=2)", b"[\n  1,\n  (\n    2,\n  ),\n]\n"),
        ("mervik.Pretty(1).print({'a': [None]})", b"{\n 'a': [\n  None,\n ],\n}\n"),
        ("mervik.print_escaped_bytes(b'\\x00\\n\\xffA')", b"\\x00\\x0a\\xff\\x41\n"),
        ("mervik.print_escaped_bytes(b'')", b"\n"),
        ("mervik.pretty_print('\\u00e9\\U0001f600')", "'\u00e9\U0001f600'\n".encode()),
    ],
    ids=["empty-dict", "nested", "pretty-class", "escapes", "empty-bytes", "non-ascii"],
)
def test_exact_bytes_on_a_pipe(run_python, code, expected):
    out, _ = run_python(f"import mervik\n{code}").check()
    assert out == expected


def test_output_to_a_file(run_python, tmp_path):
    path = tmp_path / "out.txt"
    with open(path, "wb") as f:
        code = "import mervik\nmervik.pretty_print([1])\nmervik.print_escaped_bytes(b'ab')"
        run_python(code, stdout=f).check()
    assert path.read_bytes() == b"[\n    1,\n]\n\\x61\\x62\n"


def test_replacing_sys_stdout_does_not_capture(run_python):
    out, _ = run_python("""
        import io, sys, mervik
        sys.stdout = io.StringIO()
        mervik.pretty_print([1])
        captured = sys.stdout.getvalue()
        sys.stdout = sys.__stdout__
        print(repr(captured))
    """).check()
    assert out == b"[\n    1,\n]\n''\n"


def test_failed_print_leaves_its_unfinished_line_for_the_next_print(run_python):
    out, _ = run_python("""
        import mervik
        class Bad:
            def __repr__(self):
                raise ValueError("boom")
        try:
            mervik.pretty_print([1, Bad()])
        except ValueError as e:
            assert str(e) == "boom"
        mervik.pretty_print("next")
    """).check()
    assert out == b"[\n    1,\n    'next'\n"


def test_nothing_is_written_when_arguments_are_wrong(run_python):
    out, _ = run_python("""
        import mervik
        for call in (lambda: mervik.pretty_print(), lambda: mervik.pretty_print([1], indent="x"),
                     lambda: mervik.print_escaped_bytes("abc"), lambda: mervik.Pretty().print()):
            try:
                call()
            except TypeError:
                pass
        mervik.pretty_print(0)
    """).check()
    assert out == b"0\n"


def closed_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    return open(write_end, "wb")


# Standard output that takes nothing: what each print call raises, the process surviving it. A
# closed fd 1 (the child closes it) takes everything silently.
UNWRITABLE = {
    "dev-full": (
        lambda: open("/dev/full", "wb"), "OSError ('No space left on device (os error 28)',) None"
    ),
    "broken-pipe": (closed_pipe, "BrokenPipeError ('Broken pipe (os error 32)',) None"),
    "closed": (lambda: open(os.devnull, "wb"), None),
}


@pytest.mark.parametrize("target, error", UNWRITABLE.values(), ids=UNWRITABLE.keys())
def test_unwritable_stdout(run_python, target, error):
    with target() as stdout:
        _, err = run_python(f"""
            import os, sys, mervik
            if {error is None}:
                os.close(1)
            for call in (lambda: mervik.pretty_print({{"a": [1] * 500}}),
                         lambda: mervik.print_escaped_bytes(bytes(3000))):
                try:
                    call()
                except OSError as e:
                    print(type(e).__name__, e.args, e.errno, file=sys.stderr)
            print("ok", file=sys.stderr)
        """, stdout=stdout).check()
    assert err == ("" if error is None else f"{error}\n" * 2) + "ok\n"


def system_writes(code):
    """The bytes of each write(2) to fd 1 by a child interpreter running `code`."""
    # A SOCK_SEQPACKET socket keeps every write(2) as one message.
    parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    with parent, child:
        proc = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(code)],
            stdout=child, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
        )
        child.close()
        messages = []
        while message := parent.recv(65536):
            messages.append(message)
        assert proc.wait(timeout=60) == 0
    return messages


def test_escapes_reach_the_system_in_pieces_of_at_most_1024_bytes():
    messages = system_writes("import mervik; mervik.print_escaped_bytes(bytes(range(250)) * 4)")
    data = b"".join(messages)
    assert data == b"".join(b"\\x%02x" % b for b in bytes(range(250)) * 4) + b"\n"
    assert all(len(m) <= 1024 for m in messages)
    assert len(messages) >= 4


@pytest.mark.parametrize("value, after", [("D()", b"    b=2,\n)\n"),
                                          ("[D()]", b"        b=2,\n    ),\n]\n")])
def test_a_line_left_unfinished_by_code_run_between_items_goes_out_as_steps_would_send_it(
        value, after):
    # While the field's lookup runs, another thread's print leaves 1022 bytes of a line in the
    # buffer; the indentation of the field's line does not fit after them, so the buffer goes
    # out before it.
    messages = system_writes(f"""
        import threading, mervik
        in_repr, go_on = threading.Event(), threading.Event()
        class R:
            def __repr__(self):
                in_repr.set()
                go_on.wait()
                return "r"
        class D:
            __dataclass_fields__ = dict.fromkeys("ab")
            a = 1
            @property
            def b(self):
                D.other = threading.Thread(target=mervik.pretty_print, args=({{"k" * 1014: R()}},))
                D.other.start()
                in_repr.wait()
                return 2
        mervik.pretty_print({value})
        go_on.set()
        D.other.join()
    """)
    assert messages[2:] == [b"    '" + b"k" * 1014 + b"': ", after, b"r,\n}\n"]


def test_format_escaped_bytes():
    assert mervik.format_escaped_bytes(b"ABC") == "\\x41\\x42\\x43"
    assert mervik.format_escaped_bytes(b"\x00\xff\x0a") == "\\x00\\xff\\x0a"
    assert mervik.format_escaped_bytes(b"") == ""
    assert mervik.format_escaped_bytes(obj=bytes(range(256))) == "".join(f"\\x{b:02x}" for b in range(256))

    class B(bytes):
        def __iter__(self):
            raise AssertionError("storage is read directly")

    assert mervik.format_escaped_bytes(B(b"hi")) == "\\x68\\x69"


@pytest.mark.parametrize("function", [mervik.format_escaped_bytes, mervik.print_escaped_bytes])
@pytest.mark.parametrize(
    ("value", "name"),
    [(bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ("abc", "str"), (None, "NoneType")],
    ids=["bytearray", "memoryview", "str", "none"],
)
def test_escape_functions_reject_non_bytes(function, value, name):
    with pytest.raises(TypeError) as info:
        function(value)
    assert str(info.value) == f"argument 'obj': '{name}' object cannot be cast as 'bytes'"
    assert info.value.__cause__ is None and info.value.__suppress_context__


@pytest.mark.parametrize("name", ["format_escaped_bytes", "print_escaped_bytes"])
def test_escape_functions_binding_errors(name):
    function = getattr(mervik, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'obj'$"):
        function()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes 1 positional arguments but 2 were given$"):
        function(b"a", b"b")
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'data'$"):
        function(data=b"a")


def test_threads_never_split_a_write_step(run_python):
    # Each print is one write step for the leaf text (longer than the writer's buffer) and one
    # for the line break; steps of other threads may fall between them, but never inside.
    out, _ = run_python("""
        import threading, mervik
        barrier = threading.Barrier(6)
        def work(n):
            barrier.wait()
            for _ in range(200):
                mervik.pretty_print(f"t{n}" * 700)
        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for t in threads: t.start()
        for t in threads: t.join()
    """).check()
    text = out.decode()
    assert text.count("\n") == 6 * 200
    tokens = re.findall(r"'[^']*'", text.replace("\n", ""))
    assert "".join(tokens) == text.replace("\n", "")
    assert sorted(set(tokens)) == [f"'{f't{n}' * 700}'" for n in range(6)]
    assert len(tokens) == 6 * 200


def test_blocked_repr_on_one_thread_does_not_block_printing_on_another(run_python):
    out, _ = run_python("""
        import threading, mervik
        entered, release = threading.Event(), threading.Event()
        class Slow:
            def __repr__(self):
                entered.set()
                release.wait(30)
                return "slow"
        t = threading.Thread(target=mervik.pretty_format, args=([Slow()],))
        t.start()
        entered.wait(30)
        mervik.pretty_print("other")
        release.set()
        t.join()
    """).check()
    assert out == b"'other'\n"


def test_same_process_thread_draining_a_pipe_on_fd_1(run_python):
    out, err = run_python("""
        import os, sys, threading, mervik
        r, w = os.pipe()
        saved = os.dup(1)
        os.dup2(w, 1)
        os.close(w)
        chunks = []
        def drain():
            while data := os.read(r, 65536):
                chunks.append(data)
        t = threading.Thread(target=drain)
        t.start()
        value = [list(range(50))] * 16000
        mervik.pretty_print(value, indent=1)
        os.dup2(saved, 1)  # closes the pipe's last writer
        t.join(60)
        data = b"".join(chunks)
        assert data == (mervik.pretty_format(value, 1) + "\\n").encode(), len(data)
        print(len(data), file=sys.stderr)
    """).check()
    assert int(err) > 4_000_000


# Real programs: threads, fork, shutdown and signals ---------------------------------------------


def test_prints_to_a_file_are_never_interleaved_or_disturbed_by_other_threads(run_python, tmp_path):
    # Standard output is a file: the writer keeps the interpreter, so a print that runs no Python
    # code is whole, another thread's change to the printed dict or to the Pretty instance never
    # lands in the middle of it, and the setter never finds the instance borrowed.
    target = tmp_path / "out"
    with open(target, "wb") as out:
        _, err = run_python("""
            import threading, mervik
            value = {"k": [list(range(40)), ("t",) * 3], "s": "x" * 2000}
            pretty, stop, problems = mervik.Pretty(3), threading.Event(), []
            def mutate():
                while not stop.is_set():
                    value["n"] = 1; del value["n"]
            def set_indent():
                while not stop.is_set():
                    try: pretty.indent = 3
                    except RuntimeError as e: problems.append(e)
            def work(n):
                for _ in range(300):
                    try:
                        (lambda v: mervik.pretty_print(v, 3), pretty.print)[n % 2](value)
                        mervik.print_escaped_bytes(bytes(range(256)))
                    except BaseException as e: problems.append(e)
            helpers = [threading.Thread(target=f) for f in (mutate, set_indent)]
            workers = [threading.Thread(target=work, args=(n,)) for n in range(4)]
            for t in helpers + workers: t.start()
            for t in workers: t.join()
            stop.set()
            for t in helpers: t.join()
            assert not problems, problems[:3]
        """, stdout=out).check()
    units = [(mervik.pretty_format(v, 3) + "\n").encode() for v in (
        {"k": [list(range(40)), ("t",) * 3], "s": "x" * 2000},
        {"k": [list(range(40)), ("t",) * 3], "s": "x" * 2000, "n": 1},
    )] + [(mervik.format_escaped_bytes(bytes(range(256))) + "\n").encode()]
    data, count = target.read_bytes(), 0
    while data:
        unit = next((u for u in units if data.startswith(u)), None)
        assert unit is not None, data[:200]
        data, count = data[len(unit):], count + 1
    assert count == 4 * 300 * 2


CHILD_PROGRAMS = {
    # A daemon thread holds the writer's lock while its write waits on a pipe nobody drains; a
    # forked child must still be able to print.
    "fork while another thread prints": ("""
        import os, sys, threading, time, warnings, mervik
        warnings.simplefilter("ignore", DeprecationWarning)
        r, w = os.pipe()
        os.dup2(w, 1)
        threading.Thread(target=lambda: [mervik.pretty_print(["x" * 60] * 300) for _ in iter(int, 1)],
                         daemon=True).start()
        time.sleep(0.3)
        for _ in range(3):
            pid = os.fork()
            if pid == 0:
                os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
                mervik.pretty_print([1, 2])
                os._exit(0)
            assert os.waitpid(pid, 0)[1] == 0
        print("forked", file=sys.stderr)
    """, "forked"),
    # The same daemon thread at exit, and a destructor that prints during finalization: it
    # cannot get the writer, says so, and the process exits.
    "print during shutdown": ("""
        import gc, os, threading, time, mervik
        r, w = os.pipe()
        os.dup2(w, 1)
        threading.Thread(target=lambda: [mervik.pretty_print(["x" * 60] * 300) for _ in iter(int, 1)],
                         daemon=True).start()
        time.sleep(0.3)
        class PrintsAtExit:
            def __del__(self):
                mervik.pretty_print("late")
        gc.disable()  # the cycle is collected at exit
        garbage = PrintsAtExit(); garbage.me = garbage; del garbage
    """, "RuntimeError: could not acquire lock for mervik's standard-output writer at interpreter "
         "shutdown, possibly due to daemon threads"),
    # Argument errors raised by destructors of garbage collected at exit stay argument errors.
    "argument errors during finalization": ("""
        import sys, mervik
        class Cycle:
            def __del__(self):
                for call in (lambda: mervik.pretty_format(1, indent="x"),
                             lambda: mervik.format_escaped_bytes("x")):
                    try: call()
                    except BaseException as e: print(type(e).__name__, e, file=sys.stderr)
        c = Cycle(); c.me = c
    """, "TypeError argument 'indent': 'str' object cannot be interpreted as an integer\n"
         "TypeError argument 'obj': 'str' object cannot be cast as 'bytes'"),
}


@pytest.mark.parametrize("code, expected", CHILD_PROGRAMS.values(), ids=CHILD_PROGRAMS.keys())
def test_real_program_conditions(run_python, code, expected):
    _, err = run_python(code, stdout=subprocess.DEVNULL, timeout=120).check()
    assert expected in err, err


# Ctrl-C: SIGINT arrives 0.3 s into a rendering that would take minutes.
INTERRUPTED = {
    "pretty_format": ("mervik.pretty_format(value)", None),
    "pretty_print to a file": ("mervik.pretty_print(value)", "devnull"),
    "pretty_print blocked on a full pipe": ("mervik.pretty_print(value)", "pipe"),
}


@pytest.mark.parametrize("call, stdout", INTERRUPTED.values(), ids=INTERRUPTED.keys())
def test_ctrl_c_interrupts_a_long_rendering(call, stdout):
    code = f"""
        import os, sys, time, mervik
        if {stdout!r} == "devnull":
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        elif {stdout!r} == "pipe":
            r, w = os.pipe()
            os.dup2(w, 1)
        value = [[list(range(1000))] * 10000] * 1000
        print("start", file=sys.stderr, flush=True)
        start = time.monotonic()
        try:
            {call}
        except KeyboardInterrupt:
            print(f"interrupted after {{time.monotonic() - start:.1f}} s", file=sys.stderr)
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stderr.readline() == "start\n"
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            err = child.communicate(timeout=60)[1]
        finally:
            child.kill()
    assert child.returncode == 0 and re.fullmatch(r"interrupted after \d+\.\d s\n", err), err
    assert float(err.split()[2]) < 30


def test_notebook_kernel_gets_every_line_and_stays_responsive(tmp_path):
    # A kernel captures fd 1 through a pipe that a thread of its own process drains.
    # The system's kernel packages are made for its default interpreter only.
    default = shutil.which("python3")
    if default is None or os.path.realpath(default) != os.path.realpath(sys.executable):
        pytest.skip("the notebook kernel packages serve the default python3 only")
    manager = pytest.importorskip("jupyter_client.manager")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), JUPYTER_RUNTIME_DIR=str(tmp_path))
    env.pop("PYTEST_CURRENT_TEST", None)  # the kernel leaves fd 1 alone when it sees pytest
    kernel, client = manager.start_new_kernel(startup_timeout=120, env=env)
    try:
        def stdout_of(code, size):
            """The text of the stdout stream messages, whichever cell they are reported for
            (the captured descriptor's text may trail the cell's end), up to `size`."""
            client.execute(code)
            text = ""
            while len(text) < size:
                try:
                    msg = client.get_iopub_msg(timeout=60)
                except queue.Empty:
                    return text
                if msg["msg_type"] == "stream" and msg["content"]["name"] == "stdout":
                    text += msg["content"]["text"]
                assert msg["msg_type"] != "error", msg["content"]["traceback"]
            return text

        value = [list(range(50))] * 5200
        expected = mervik.pretty_format(value, 2) + "\n"
        assert len(expected) > 2_000_000
        code = "import mervik; mervik.pretty_print([list(range(50))] * 5200, 2)"
        assert stdout_of(code, len(expected)) == expected
        assert stdout_of("print(6 * 7)", 3) == "42\n"
    finally:
        client.stop_channels()
        kernel.shutdown_kernel(now=True)


def test_python_code_run_by_a_print_sees_every_finished_line(run_python, tmp_path):
    # Finished lines may be gathered and written in bulk, but never past a point where Python
    # code runs: here a leaf's repr() and a field's property count the lines already in the file.
    target = tmp_path / "out"
    with open(target, "wb") as out:
        _, err = run_python(f"""
            import sys, mervik
            def seen():
                print(open({str(target)!r}).read().count("\\n"), file=sys.stderr)
            class Peek:
                def __repr__(self):
                    seen()
                    return "peek"
            class Fields:
                __dataclass_fields__ = dict.fromkeys("ab")
                a = 1
                @property
                def b(self):
                    seen()
                    return [2] * 5000
            mervik.pretty_print([1, Peek(), Fields()] + [0] * 20000)
            # A class changed during a print: its field becomes a property.
            class Later:
                __dataclass_fields__ = dict.fromkeys("ab")
                a = 1
                b = 2
            class Switch:
                def __repr__(self):
                    seen()
                    Later.b = property(lambda self: seen() or 3)
                    return "switch"
            mervik.pretty_print([Later(), Switch(), Later()])
            # The class stays as it is, but its field's attribute becomes a descriptor.
            class Plain:
                def __repr__(self):
                    return "plain"
            class Kept:
                __dataclass_fields__ = dict.fromkeys("ab")
                a = 1
                b = Plain()
            class Flip:
                def __repr__(self):
                    seen()
                    Plain.__get__ = lambda self, obj, cls: seen() or 4
                    return "flip"
            mervik.pretty_print([Kept(), Flip(), Kept()])
        """, stdout=out).check()
    assert err == "2\n5\n25014\n25017\n25025\n25028\n"
    text = target.read_text()
    assert text.count("\n") == 25009 + 11 + 11 and text.endswith("        b=4,\n    ),\n]\n")
