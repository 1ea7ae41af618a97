"""A module for pretty-printing Python objects."""

from typing import final

__all__ = ["Pretty", "format_escaped_bytes", "pretty_format", "pretty_print", "print_escaped_bytes"]

def pretty_print(obj: object, indent: int = 4) -> None:
    """Pretty-print the given object to standard output.

    Args:
        obj: The object to pretty-print.
        indent: The number of spaces to use for indentation. Default is 4.
    """

def pretty_format(obj: object, indent: int = 4) -> str:
    """Pretty-format the given object and return it as a string.

    Args:
        obj: The object to pretty-format.
        indent: The number of spaces to use for indentation. Default is 4.

    Returns:
        A string containing the pretty-formatted representation of the object.
    """

def print_escaped_bytes(obj: bytes) -> None: ...
def format_escaped_bytes(obj: bytes) -> str:
    """Formats a bytes object into a string of escaped hex bytes. For example, b"ABC" becomes "\\\\x41\\\\x42\\\\x43".

    Args:
        obj: The bytes object to format.

    Returns:
        A string containing the escaped representation of the bytes object.
    """

@final
class Pretty:
    """A class for pretty-printing Python objects."""

    indent: int
    """The number of spaces to use for indentation. Default is 4."""

    def __new__(cls, indent: int = 4) -> Pretty: ...
    def format(self, obj: object) -> str:
        """Pretty-format the given object and return it as a string.

        Args:
            obj: The object to pretty-format.

        Returns:
            A string containing the pretty-formatted representation of the object.
        """

    def print(self, obj: object) -> None:
        """Pretty-print the given object to standard output.

        Args:
            obj: The object to pretty-print.
        """
