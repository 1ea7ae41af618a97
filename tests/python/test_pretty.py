"""The Pretty class: construction, the indent attribute, borrows, format and print."""

import gc
import threading
import weakref

import pytest

from mervik import Pretty


@pytest.mark.parametrize(
    ("args", "kwargs", "indent"),
    [
        ((), {}, 4),
        ((0,), {}, 0),
        ((), {"indent": 2**64 - 1}, 2**64 - 1),
        ((True,), {}, 1),
        ((), {"indent": 2}, 2),
    ],
    ids=["default", "zero", "max", "bool", "keyword"],
)
def test_constructor_stores_indent(args, kwargs, indent):
    assert Pretty(*args, **kwargs).indent == indent


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda: Pretty(-1), OverflowError, None),
        (lambda: Pretty(2**64), OverflowError, None),
        (lambda: Pretty("4"), TypeError, "argument 'indent': 'str' object cannot be interpreted as an integer"),
        (lambda: Pretty(None), TypeError, "argument 'indent': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: Pretty(1, 2), TypeError, "Pretty.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: Pretty(width=3), TypeError, "Pretty.__new__() got an unexpected keyword argument 'width'"),
        (lambda: Pretty(1, indent=2), TypeError, "Pretty.__new__() got multiple values for argument 'indent'"),
        (lambda: Pretty().format(), TypeError, "Pretty.format() missing 1 required positional argument: 'obj'"),
        (lambda: Pretty().print(1, 2), TypeError, "Pretty.print() takes 1 positional arguments but 2 were given"),
        (lambda: Pretty().format(1, obj=2), TypeError, "Pretty.format() got multiple values for argument 'obj'"),
    ],
    ids=["negative", "too-large", "str", "none", "too-many", "unknown-kw", "twice", "missing-obj",
         "print-too-many", "format-twice"],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_constructor_keyword_dict_with_non_str_key():
    # Only reachable through the C API: Python-level calls reject such keys themselves.
    import ctypes

    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    with pytest.raises(TypeError) as info:
        call(Pretty, (), {1: 2})
    assert str(info.value) == "Pretty.__new__() got an unexpected keyword argument '1'"


def test_setter_converts_and_keeps_value_on_failure():
    p = Pretty(3)
    p.indent = 7
    assert p.indent == 7
    with pytest.raises(TypeError, match=r"^argument 'indent': 'float' object cannot be interpreted"):
        p.indent = 2.5
    with pytest.raises(OverflowError):
        p.indent = -1
    assert p.indent == 7


def test_deleting_indent_is_refused():
    p = Pretty()
    with pytest.raises(AttributeError, match=r"^can't delete attribute$"):
        del p.indent
    assert p.indent == 4


def test_type_shape():
    assert Pretty.__module__ == "builtins"
    assert Pretty.__qualname__ == "Pretty"
    assert repr(Pretty) == "<class 'builtins.Pretty'>"
    assert Pretty.__text_signature__ == "(indent=4)"
    assert Pretty.__doc__ == "A class for pretty-printing Python objects."
    assert Pretty.format.__text_signature__ == "($self, obj)"
    assert Pretty.print.__text_signature__ == "($self, obj)"
    assert Pretty.indent.__doc__ == "The number of spaces to use for indentation. Default is 4."
    assert repr(Pretty()).startswith("<builtins.Pretty object at ")
    assert not gc.is_tracked(Pretty())
    Pretty.extra = 1  # the type is not immutable
    del Pretty.extra


def test_instances_have_no_dict_no_weakrefs_and_no_subclasses():
    p = Pretty()
    with pytest.raises(AttributeError):
        p.x = 1
    with pytest.raises(TypeError):
        weakref.ref(p)
    with pytest.raises(TypeError):
        type("Sub", (Pretty,), {})


def test_unbound_methods_refuse_other_receivers():
    # The interpreter's descriptors check the receiver before the module is entered.
    with pytest.raises(TypeError, match=r"doesn't apply to a 'int' object"):
        Pretty.format(1, [])
    with pytest.raises(TypeError, match=r"doesn't apply to a 'str' object"):
        Pretty.indent.__get__("x")
    with pytest.raises(TypeError, match=r"doesn't apply to a 'list' object"):
        Pretty.indent.__set__([], 1)


def test_borrow_rules_inside_repr():
    p = Pretty(2)
    seen = []

    class ReadsIndent:
        def __repr__(self):
            seen.append(p.indent)
            return "r"

    class WritesIndent:
        def __repr__(self):
            p.indent = 8
            return "w"

    assert p.format([ReadsIndent()]) == "[\n  r,\n]"
    assert seen == [2]
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        p.format([WritesIndent()])
    p.indent = 3  # free again afterwards
    assert p.format([1]) == "[\n   1,\n]"


def test_shared_borrows_from_several_threads():
    p = Pretty(1)
    barrier = threading.Barrier(4)
    results = []

    def work():
        barrier.wait()
        for _ in range(200):
            results.append(p.format({"a": [1, 2]}))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(results) == {"{\n 'a': [\n  1,\n  2,\n ],\n}"}
