"""The module object and the descriptors of its functions."""

import inspect
import sys
import types

import mervik

# Every name the module exports once it is complete, in the order __all__ lists them.
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


def test_all_lists_exactly_what_is_registered():
    registered = [name for name in EXPORTS if hasattr(mervik, name)]
    assert type(mervik.__all__) is list
    assert mervik.__all__ == registered
    assert "pretty_format" in mervik.__all__
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


def test_reimport_yields_the_same_module(monkeypatch):
    original = sys.modules["mervik"]
    names = list(mervik.__all__)
    monkeypatch.delitem(sys.modules, "mervik")
    import mervik as again

    assert again is original
    assert again.__all__ == names
    assert again.pretty_format is original.pretty_format
    assert again.pretty_format([1]) == "[\n    1,\n]"


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
