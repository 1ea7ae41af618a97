"""The module object and the descriptors of its functions, across imports, threads and
interpreters."""

import inspect
import types

import mervik

# Every name the module exports, in the order __all__ lists them.
EXPORTS = ["Pretty", "format_escaped_bytes", "pretty_format", "pretty_print", "print_escaped_bytes"]

PRETTY_FORMAT_DOC = (
    "Pretty-format the given object and return it as a string.\n\nArgs:\n"
    "    obj: The object to pretty-format.\n"
    "    indent: The number of spaces to use for indentation. Default is 4.\n\nReturns:\n"
    "    A string containing the pretty-formatted representation of the object."
)


def test_name_and_doc():
    assert mervik.__name__ == "mervik"
    assert mervik.__doc__ == "A module for pretty-printing Python objects."
    assert type(mervik) is types.ModuleType


def test_all_lists_exactly_the_public_names_in_registration_order():
    assert type(mervik.__all__) is list
    assert mervik.__all__ == EXPORTS
    public = sorted(name for name in vars(mervik) if not name.startswith("_"))
    assert public == sorted(mervik.__all__)


def test_panic_exception_is_not_exported():
    assert not hasattr(mervik, "PanicException")


def test_pretty_format_descriptor():
    f = mervik.pretty_format
    assert type(f) is types.BuiltinFunctionType
    assert f.__name__ == f.__qualname__ == "pretty_format"
    assert f.__text_signature__ == "(obj, indent=4)"
    assert f.__doc__ == PRETTY_FORMAT_DOC
    assert f.__self__ is mervik
    assert f.__module__ == "mervik"
    params = inspect.signature(f).parameters
    assert [(p.name, p.kind, p.default) for p in params.values()] == [
        ("obj", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("indent", inspect.Parameter.POSITIONAL_OR_KEYWORD, 4),
    ]


def test_reimport_keeps_the_module_as_it_stands(run_python):
    run = run_python(
        """
        import sys
        import mervik
        first = mervik
        names = list(mervik.__all__)
        for _ in range(3):
            del sys.modules["mervik"]
            import mervik
        print(mervik is first, mervik.__all__ == names)
        mervik.extra = 1
        del mervik.__all__
        del sys.modules["mervik"]
        import mervik
        print(mervik is first, mervik.extra, hasattr(mervik, "__all__"))
        """
    )
    if run.returncode != 0 or run.stdout != b"True True\nTrue 1 False\n":
        run.fail("re-importing did not return the cached module unchanged")


def test_second_interpreter_is_refused_and_the_first_keeps_working(run_python):
    out = run_python("""
        import _interpreters, mervik
        interp = _interpreters.create("legacy")
        failure = _interpreters.exec(interp, "import mervik")
        _interpreters.destroy(interp)
        print(failure.type.__name__)
        print(failure.msg)
        print(mervik.pretty_format([1], 1))
    """).check()[0].decode()
    kind, message, *rest = out.splitlines()
    assert kind == "ImportError"
    assert message.startswith("mervik does not yet support subinterpreters, see ")
    assert rest == ["[", " 1,", "]"]


def test_concurrent_first_imports_share_one_module_and_one_type(run_python):
    out = run_python("""
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
    """).check()[0].decode()
    assert out == "1 8\n"


def test_a_million_instances_leave_memory_and_their_type_as_they_were(run_python):
    out = run_python("""
        import sys, mervik
        for _ in range(1000):
            mervik.Pretty(2).format([1])
        before = sys.getallocatedblocks(), sys.getrefcount(mervik.Pretty)
        for i in range(1_000_000):
            p = mervik.Pretty(i)
            p.indent = 3
            p.indent
            p.format([1])
        del p
        print(sys.getallocatedblocks() - before[0], sys.getrefcount(mervik.Pretty) - before[1])
    """).check()[0].decode()
    blocks, type_references = map(int, out.split())
    assert abs(blocks) < 100 and type_references == 0
