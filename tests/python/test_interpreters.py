"""The module object across imports, threads and interpreters."""

import os
import subprocess
import sys
import textwrap


def run_child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_all_lists_the_surface_in_registration_order():
    import mervik

    assert mervik.__all__ == ["Pretty", "format_escaped_bytes", "pretty_format", "pretty_print",
                              "print_escaped_bytes"]
    assert all(hasattr(mervik, name) for name in mervik.__all__)


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    out = run_child("""
        import _interpreters, mervik
        interp = _interpreters.create("legacy")
        failure = _interpreters.exec(interp, "import mervik")
        _interpreters.destroy(interp)
        print(failure.type.__name__)
        print(failure.msg)
        print(mervik.pretty_format([1], 1))
    """)
    kind, message, *rest = out.splitlines()
    assert kind == "ImportError"
    assert message.startswith("mervik does not yet support subinterpreters, see ")
    assert rest == ["[", " 1,", "]"]


def test_concurrent_first_imports_share_one_module_and_one_type():
    out = run_child("""
        import threading, sys
        barrier = threading.Barrier(8)
        seen = []
        def load():
            barrier.wait()
            import mervik
            seen.append((id(mervik), id(mervik.Pretty)))
        threads = [threading.Thread(target=load) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(set(seen)), len(seen))
    """)
    assert out == "1 8\n"


def test_reimport_after_removal_returns_the_cached_module():
    out = run_child("""
        import sys, mervik
        first = mervik
        del sys.modules["mervik"]
        import mervik
        print(mervik is first, len(mervik.__all__))
    """)
    assert out == "True 5\n"


def test_a_million_instances_leave_memory_flat():
    out = run_child("""
        import sys, mervik
        for _ in range(1000):
            mervik.Pretty(2).format([1])
        before = sys.getallocatedblocks()
        for i in range(1_000_000):
            p = mervik.Pretty(i)
            p.indent = 3
            p.indent
        del p
        print(sys.getallocatedblocks() - before)
    """)
    assert abs(int(out)) < 100
