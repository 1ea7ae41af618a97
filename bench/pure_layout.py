"""mervik's layout in plain Python, written for speed: the reference model that the property
tests (tests/python/test_properties.py) hold pretty_format to, and the benchmark's peer that
shows what the native module buys over the same algorithm in the interpreter.

It produces the same text as mervik.pretty_format for values whose Python code (__repr__,
__str__, properties) behaves: leaves of any kind, subclasses of list, tuple and dict, named
tuples and dataclasses. Text that is not exact str() output of a builtin leaf is shown as UTF-8
would carry it, each byte of a lone surrogate as U+FFFD.
"""

_DATACLASS_FIELDS = "__dataclass_fields__"
_LEAF_TYPES = frozenset({int, float, str, bool, type(None), bytes, complex, set, frozenset})


def pretty_format(obj, indent=4):
    out = []
    _render(obj, indent, 0, out.append)
    return "".join(out)


def _lossy(text):
    """`text` as UTF-8 carries it: each byte of a lone surrogate becomes U+FFFD."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def _render(obj, indent, current, emit):
    t = type(obj)
    if t in _LEAF_TYPES:
        emit(repr(obj))
        return
    if t is not list and t is not dict and t is not tuple:
        try:
            dataclass = hasattr(obj, _DATACLASS_FIELDS)
        except BaseException:  # noqa: B036 - any failing lookup means "no dataclass"
            dataclass = False
        if dataclass:
            _render_dataclass(obj, indent, current, emit)
            return
        if isinstance(obj, list):
            t = list
        elif isinstance(obj, dict):
            t = dict
        elif isinstance(obj, tuple):
            t = tuple
        else:
            text = str(repr(obj))
            emit(text if text.isascii() else _lossy(text))
            return
    child = current + indent
    prefix = " " * child
    if t is dict:
        if not obj:
            emit("{}")
            return
        emit("{\n")
        for key, value in obj.items():
            emit(prefix)
            _render(key, indent, child, emit)
            emit(": ")
            _render(value, indent, child, emit)
            emit(",\n")
        emit(" " * current + "}")
        return
    if not obj:
        emit("[]" if t is list else "()")
        return
    emit("[\n" if t is list else "(\n")
    for item in obj:
        emit(prefix)
        if type(item) in _LEAF_TYPES:
            emit(repr(item))
        else:
            _render(item, indent, child, emit)
        emit(",\n")
    emit(" " * current + ("]" if t is list else ")"))


def _render_dataclass(obj, indent, current, emit):
    name = str(obj.__class__.__name__)
    if not name.isascii():
        name = _lossy(name)
    fields = getattr(obj, _DATACLASS_FIELDS)
    if not fields:
        emit(name + "()")
        return
    emit(name + "(\n")
    child = current + indent
    prefix = " " * child
    for key in fields:
        field = str(key)
        value = getattr(obj, field)
        emit(prefix + (field if field.isascii() else _lossy(field)) + "=")
        _render(value, indent, child, emit)
        emit(",\n")
    emit(" " * current + ")")
