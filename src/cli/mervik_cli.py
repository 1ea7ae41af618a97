"""The mervik command: pretty-prints JSON documents or Python literals from files or standard
input.

    mervik [--indent N] [--format json|python|auto] [FILE ...]

Each input holds one value, which is printed with mervik.pretty_print. Input that cannot be
read or parsed gets one line on standard error ("mervik: FILE:LINE:COLUMN: what is wrong") and
the remaining inputs are still printed. Exit status: 0 when every input was printed, 1 when
any could not be, 2 for a usage error, 130 after an interrupt, 141 when standard output was
closed by its reader (as for a process ended by SIGPIPE).
"""

import argparse
import ast
import codecs
import errno
import json
import os
import re
import sys
import warnings

import mervik

EXIT_OK = 0
EXIT_BAD_INPUT = 1
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141

STDIN_NAME = "<stdin>"
STDOUT_NAME = "<stdout>"
MAX_INDENT = 2**64 - 1
LEADING_BLANKS = re.compile(r"(?:[ \t\f]*(?:#[^\n]*)?\n)*[ \t\f]*")


class BadInput(Exception):
    """An input that cannot be printed: what is wrong and, when known, where (1-based)."""

    def __init__(self, message, line=None, column=None, parsed=False):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column
        self.parsed = parsed  # the text parsed, but its value was refused

    def position(self):
        return (self.line or 0, self.column or 0)

    def describe(self, name):
        where = name if self.line is None else f"{name}:{self.line}:{self.column}"
        return f"{where}: {self.message}"


class OutputFailed(Exception):
    """Standard output refused a write (other than a closed pipe): nothing more can be shown."""


# Reading ------------------------------------------------------------------------------------


def read_input(name):
    """The bytes of one input; "-" is standard input. OSError when it cannot be read."""
    if name == "-":
        if sys.stdin is None:
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))  # no standard input at all
        return sys.stdin.buffer.read()
    with open(name, "rb") as f:
        return f.read()


def decode(data):
    """UTF-8 text of the input, without a leading byte order mark."""
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8) :]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        before = data[: e.start]
        line_start = before.rfind(b"\n") + 1
        column = len(before[line_start:].decode("utf-8")) + 1
        raise BadInput(
            f"not UTF-8 text: {e.reason} 0x{data[e.start]:02x}",
            before.count(b"\n") + 1,
            column,
        ) from None


# Parsing ------------------------------------------------------------------------------------


def parse_json(text):
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise BadInput(f"invalid JSON: {e.msg}", e.lineno, e.colno) from None
    except RecursionError:
        raise BadInput("invalid JSON: nested too deeply") from None


def parse_python(text):
    """The value of a Python literal, as ast.literal_eval gives it."""
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    # An expression may not start indented, so the blank and comment lines before it and the
    # white space that starts its first line are left out of the parse; positions are moved
    # back to where they are in the input.
    skipped = LEADING_BLANKS.match(text).group()
    body = text[len(skipped) :]
    line_shift = skipped.count("\n")
    column_shift = len(skipped) - (skipped.rfind("\n") + 1)

    def bad(message, line, column, parsed=False):
        if line == 1:
            column += column_shift
        return BadInput(f"invalid Python literal: {message}", line + line_shift, column, parsed)

    if "\0" in body:
        before = body[: body.index("\0")]
        raise bad("null character", before.count("\n") + 1, len(before) - before.rfind("\n"))
    if not body.endswith("\n"):
        body += "\n"  # lets the parser place an error at the end of the last line
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # style warnings about the source, such as "\d"
            tree = ast.parse(body, mode="eval")
    except SyntaxError as e:
        raise bad(e.msg, max(e.lineno or 1, 1), max(e.offset or 1, 1)) from None
    except (MemoryError, RecursionError):
        raise bad("nested too deeply", 1, 1) from None
    try:
        return ast.literal_eval(tree)
    except (ValueError, TypeError, RecursionError, MemoryError) as e:
        node, message = refusal(tree.body, body) or (tree.body, str(e))
        line = getattr(node, "lineno", 1)
        column = node_column(body, line, getattr(node, "col_offset", 0))
        raise bad(message, line, column, parsed=True) from None


def node_column(source, line, byte_offset):
    """The 1-based character column of a node's UTF-8 byte offset on a line of the source."""
    text = source.split("\n")[line - 1]
    return len(text.encode("utf-8")[:byte_offset].decode("utf-8", "replace")) + 1


def refusal(node, source):
    """The first node in `node` that a literal may not contain, and why; None if there is none.

    Follows the order in which ast.literal_eval evaluates, so that the node it refused is the
    one found here.
    """

    def not_literal(n):
        segment = ast.get_source_segment(source, n) or type(n).__name__
        first_line = segment.split("\n")[0]
        if len(first_line) > 40 or first_line != segment:
            first_line = first_line[:40] + "..."
        return n, f"{first_line} is not a literal"

    def unhashable(n):
        try:
            hash(ast.literal_eval(n))
        except TypeError as e:
            return n, str(e)
        return None

    def number_type(n):
        """The type of a number, signed or not; None for anything else."""
        if isinstance(n, ast.UnaryOp) and isinstance(n.op, (ast.UAdd, ast.USub)):
            n = n.operand
        if isinstance(n, ast.Constant) and type(n.value) in (int, float, complex):
            return type(n.value)
        return None

    def signed_number(n):
        if number_type(n) is not None:
            return None
        if isinstance(n, ast.UnaryOp) and isinstance(n.op, (ast.UAdd, ast.USub)):
            return not_literal(n.operand)
        return not_literal(n)

    def walk(n):
        if isinstance(n, ast.Constant):
            return None
        if isinstance(n, (ast.Tuple, ast.List, ast.Set)):
            for element in n.elts:
                found = walk(element)
                if found is None and isinstance(n, ast.Set):
                    found = unhashable(element)
                if found is not None:
                    return found
            return None
        if isinstance(n, ast.Dict):
            for key, value in zip(n.keys, n.values):
                if key is None:
                    return value, "** unpacking is not a literal"
                found = walk(key) or walk(value) or unhashable(key)
                if found is not None:
                    return found
            return None
        if (
            isinstance(n, ast.Call)
            and isinstance(n.func, ast.Name)
            and n.func.id == "set"
            and not n.args
            and not n.keywords
        ):
            return None
        if isinstance(n, ast.BinOp) and isinstance(n.op, (ast.Add, ast.Sub)):
            # Only a real number plus or minus an imaginary one, such as 1+2j.
            found = signed_number(n.left)
            if found is None and not (isinstance(n.right, ast.Constant) and number_type(n.right)):
                found = not_literal(n.right)
            if found is None and (number_type(n.left), number_type(n.right)) not in (
                (int, complex),
                (float, complex),
            ):
                found = not_literal(n)
            return found
        return signed_number(n)

    return walk(node)


def parse_auto(text):
    """JSON when the text is JSON, else a Python literal. When it is neither, a text that is a
    Python expression gets the reason it is not a literal; otherwise the error of the parser
    that got further into the text is reported (JSON's on a tie)."""
    try:
        return parse_json(text)
    except BadInput as json_error:
        try:
            return parse_python(text)
        except BadInput as python_error:
            if python_error.parsed:
                raise python_error from None
            raise max(json_error, python_error, key=BadInput.position) from None


PARSERS = {"json": parse_json, "python": parse_python, "auto": parse_auto}


# Printing -----------------------------------------------------------------------------------


def print_value(value, indent):
    """Pretty-prints one value to standard output. BrokenPipeError passes through."""
    try:
        mervik.pretty_print(value, indent)
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputFailed(f"{STDOUT_NAME}: {e}") from None
    except RecursionError:
        raise BadInput("nested too deeply to print") from None
    except MemoryError:
        raise BadInput("out of memory while printing") from None


def report(message):
    if sys.stderr is not None:
        print(f"mervik: {message}", file=sys.stderr, flush=True)


def indent_count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= MAX_INDENT:
        raise argparse.ArgumentTypeError(f"must be from 0 to {MAX_INDENT}: {text}")
    return value


def argument_parser():
    parser = argparse.ArgumentParser(
        prog="mervik",
        description=(
            "Pretty-print JSON documents or Python literals, one value per input, with "
            "mervik.pretty_print."
        ),
        epilog=(
            "Exit status: 0 when every input was printed, 1 when an input could not be read "
            "or parsed, 2 for a usage error, 141 when the reader of standard output went away."
        ),
    )
    parser.add_argument(
        "--indent",
        type=indent_count,
        default=4,
        metavar="N",
        help="spaces per nesting level (default: 4)",
    )
    parser.add_argument(
        "--format",
        choices=sorted(PARSERS),
        default="auto",
        help=(
            "how to read the inputs: json, python (literals, as ast.literal_eval reads them) or "
            "auto, which tries JSON and then a Python literal (default: auto)"
        ),
    )
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="UTF-8 files to read, one value each; none, or -, reads standard input",
    )
    return parser


def run(argv):
    args = argument_parser().parse_args(argv)
    # Inputs come from the user's own files, so integers of any length are printed in full.
    sys.set_int_max_str_digits(0)
    parse = PARSERS[args.format]
    status = EXIT_OK
    for name in args.files or ["-"]:
        shown = STDIN_NAME if name == "-" else name
        try:
            data = read_input(name)
        except OSError as e:
            report(f"{shown}: {e.strerror or e}")
            status = EXIT_BAD_INPUT
            continue
        try:
            text = decode(data)
            if not text.strip():
                raise BadInput("the input is empty")
            print_value(parse(text), args.indent)
        except BadInput as e:
            report(e.describe(shown))
            status = EXIT_BAD_INPUT
        except OutputFailed as e:
            report(str(e))
            return EXIT_BAD_INPUT
    return status


def discard_stdout():
    """Points file descriptor 1 at the null device, so that nothing written later, by the
    interpreter's final flush of sys.stdout either, can fail."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
    finally:
        os.close(devnull)


def main(argv=None):
    """Runs the command and returns its exit status."""
    try:
        try:
            return run(argv)
        finally:
            # Help and usage text went through sys.stdout; flushing it here lets a closed pipe
            # be handled like any other.
            if sys.stdout is not None:
                sys.stdout.flush()
    except BrokenPipeError:
        discard_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
