"""A typed use of every public name of mervik, checked with mypy --strict against the stubs.

The lines marked "type: ignore[...]" are uses the stubs must reject: under --strict an ignore
that is not needed is itself an error, so each one fails the check if the stubs accept it.
"""

import mervik
from mervik import Pretty


def use_functions() -> None:
    text: str = mervik.pretty_format({"a": [1, (2,)]}, indent=2)
    text = mervik.pretty_format(obj=text)
    mervik.pretty_print([text], 0)
    mervik.pretty_print(obj=None, indent=True)
    escaped: str = mervik.format_escaped_bytes(b"ABC")
    mervik.print_escaped_bytes(obj=escaped.encode())
    names: list[str] = mervik.__all__
    print(names)


def use_class() -> None:
    p = Pretty(indent=2)
    p = Pretty()
    level: int = p.indent
    p.indent = level + 2
    text: str = p.format({"k": (1,)})
    p.print(obj=text)


def misuses() -> None:
    mervik.pretty_format([1], indent="2")  # type: ignore[arg-type]
    mervik.pretty_format([1], width=2)  # type: ignore[call-arg]
    mervik.pretty_print()  # type: ignore[call-arg]
    mervik.format_escaped_bytes("text")  # type: ignore[arg-type]
    mervik.print_escaped_bytes(bytearray(b"x"))  # type: ignore[arg-type]
    length: int = mervik.pretty_format(1)  # type: ignore[assignment]
    result: str = mervik.pretty_print(1)  # type: ignore[func-returns-value, assignment]
    p = Pretty(indent=None)  # type: ignore[arg-type]
    p.indent = "4"  # type: ignore[assignment]
    p.format()  # type: ignore[call-arg]
    print(length, result)


class Subclass(Pretty):  # type: ignore[misc]
    pass
