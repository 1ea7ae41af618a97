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
import importlib.metadata
import json
import os
import pathlib
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
# Times any depth a value can have, this stays far below the 2**63 bytes a line can hold, so a
# large indentation ends in "out of memory", never in an internal failure.
MAX_INDENT = 2**32 - 1
LEADING_BLANKS = re.compile(r"(?:[ \t\f]*(?:#[^\n]*)?\n)*[ \t\f]*")
# How a JSON document starts (after white space); such an input gets the JSON parser's error.
JSON_START = re.compile(r'[ \t\n\r]*(?:[-{\["0-9]|true|false|null)')
# What counts for the nesting depth: brackets, and the strings and comments that hide some.
NESTING_TOKENS = re.compile(
    r"[\[({\])}]|#[^\n]*"
    r"|'''(?:\\.|[^\\])*?'''|\"\"\"(?:\\.|[^\\])*?\"\"\""
    r"|'(?:\\.|[^'\\\n])*'|\"(?:\\.|[^\"\\\n])*\"",
    re.DOTALL,
)


class BadInput(Exception):
    """An input that cannot be printed: what is wrong and, when known, where (1-based)."""

    def __init__(self, message, line=None, column=None):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column

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


def position_of(text, offset):
    """The 1-based line and character column of a character offset in the text."""
    line_start = text.rfind("\n", 0, offset) + 1
    return text.count("\n", 0, offset) + 1, offset - line_start + 1


def too_deep(text):
    """The error for text nested beyond what a parser takes: how many levels it has, at the
    first bracket that opens the deepest one. Strings and comments are skipped."""
    depth = deepest = deepest_at = 0
    for token in NESTING_TOKENS.finditer(text):
        bracket = token.group()
        if bracket in "[({":
            depth += 1
            if depth > deepest:
                deepest, deepest_at = depth, token.start()
        elif bracket in "])}":
            depth -= 1
    if deepest == 0:
        return BadInput("nested too deeply", 1, 1)
    line, column = position_of(text, deepest_at)
    return BadInput(f"nested too deeply ({deepest} levels)", line, column)


def parse_json(text):
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise BadInput(f"invalid JSON: {e.msg}", e.lineno, e.colno) from None
    except RecursionError:
        raise too_deep(text) from None


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

    def bad(message, line, column, prefix="invalid Python literal: "):
        if line == 1:
            column += column_shift
        return BadInput(prefix + message, line + line_shift, column)

    def nested():
        error = too_deep(body)
        return bad(error.message, error.line, error.column, prefix="")

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
        if e.msg == "too many nested parentheses":
            raise nested() from None
        raise bad(e.msg, max(e.lineno or 1, 1), max(e.offset or 1, 1)) from None
    except (MemoryError, RecursionError):
        raise nested() from None
    try:
        return ast.literal_eval(tree)
    except (ValueError, TypeError) as e:
        line, offset, message = refusal(tree.body, body) or (1, 0, str(e))
        raise bad(message, line, node_column(body, line, offset)) from None
    except (MemoryError, RecursionError):
        raise nested() from None


def node_column(source, line, byte_offset):
    """The 1-based character column of a node's UTF-8 byte offset on a line of the source."""
    text = source.split("\n")[line - 1]
    return len(text.encode("utf-8")[:byte_offset].decode("utf-8", "replace")) + 1


# What an expression that is not a literal is called in an error, by its node type.
CONSTRUCTS = {
    "BinOp": "a binary operation",
    "UnaryOp": "a unary operation",
    "BoolOp": "a boolean operation",
    "Compare": "a comparison",
    "Call": "a function call",
    "Attribute": "an attribute",
    "Subscript": "a subscript",
    "Lambda": "a lambda",
    "IfExp": "a conditional expression",
    "ListComp": "a comprehension",
    "SetComp": "a comprehension",
    "DictComp": "a comprehension",
    "GeneratorExp": "a generator expression",
    "JoinedStr": "an f-string",
    "TemplateStr": "a t-string",
    "Starred": "an unpacking",
    "NamedExpr": "an assignment expression",
    "Await": "an await expression",
    "Yield": "a yield expression",
    "YieldFrom": "a yield expression",
}


def operator_place(source, node):
    """The line and UTF-8 byte offset of a binary operation's operator: the first character
    after its left operand (and the parentheses that close around it) that is not blank."""
    lines = source.encode("utf-8").split(b"\n")
    line, offset = node.left.end_lineno, node.left.end_col_offset
    while line <= len(lines):
        text = lines[line - 1]
        while offset < len(text) and text[offset] in b" \t\f)\\":
            offset += 1
        if offset < len(text) and text[offset] != ord("#"):
            return line, offset
        line, offset = line + 1, 0
    return node.lineno, node.col_offset


def refusal(node, source):
    """The first node in `node` that a literal may not contain, as (line, UTF-8 byte offset,
    why); None if there is none.

    Follows the order in which ast.literal_eval evaluates, so that the node it refused is the
    one found here.
    """

    def not_literal(n):
        construct = CONSTRUCTS.get(type(n).__name__)
        if construct is not None:
            line, offset = operator_place(source, n) if isinstance(n, ast.BinOp) else (
                n.lineno,
                n.col_offset,
            )
            return line, offset, f"{construct} is not a literal"
        segment = ast.get_source_segment(source, n) or type(n).__name__
        first_line = segment.split("\n")[0]
        if len(first_line) > 40 or first_line != segment:
            first_line = first_line[:40] + "..."
        return n.lineno, n.col_offset, f"{first_line} is not a literal"

    def unhashable(n):
        try:
            hash(ast.literal_eval(n))
        except TypeError as e:
            return n.lineno, n.col_offset, str(e)
        return None

    def number_type(n):
        """The type of a number, signed or not; None for anything else."""
        if isinstance(n, ast.UnaryOp) and isinstance(n.op, (ast.UAdd, ast.USub)):
            n = n.operand
        if isinstance(n, ast.Constant) and type(n.value) in (int, float, complex):
            return type(n.value)
        return None

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
                    return value.lineno, value.col_offset, "** unpacking is not a literal"
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
        if isinstance(n, ast.BinOp):
            # Only a real number plus or minus an imaginary one, such as 1+2j.
            operands = (number_type(n.left), n.right)
            if not (
                isinstance(n.op, (ast.Add, ast.Sub))
                and operands[0] in (int, float)
                and isinstance(n.right, ast.Constant)
                and type(n.right.value) is complex
            ):
                return not_literal(n)
            return None
        if number_type(n) is not None:
            return None
        if isinstance(n, ast.UnaryOp) and isinstance(n.op, (ast.UAdd, ast.USub)):
            return not_literal(n.operand)  # a sign in front of something other than a number
        return not_literal(n)

    return walk(node)


def parse_auto(text):
    """JSON when the text is JSON, else a Python literal. When it is neither, the JSON parser's
    error if the text starts as a JSON document does, else the Python one."""
    try:
        return parse_json(text)
    except BadInput as json_error:
        try:
            return parse_python(text)
        except BadInput as python_error:
            raise (json_error if JSON_START.match(text) else python_error) from None


PARSERS = {"json": parse_json, "python": parse_python, "auto": parse_auto}


# Printing -----------------------------------------------------------------------------------


def print_value(value, indent, text):
    """Pretty-prints one value, parsed from `text`, to standard output. BrokenPipeError passes
    through."""
    try:
        mervik.pretty_print(value, indent)
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputFailed(f"{STDOUT_NAME}: {e}") from None
    except RecursionError:
        error = too_deep(text)
        message = error.message.replace("deeply", "deeply to print")
        raise BadInput(message, error.line, error.column) from None
    except MemoryError:
        raise BadInput("out of memory while printing") from None


def report(message):
    if sys.stderr is not None:
        print(f"mervik: {message}", file=sys.stderr, flush=True)


def shown_name(name):
    """A file name as it is shown in one line of text: bytes that are not UTF-8 and control
    characters appear as escapes (bad\xff.json)."""
    text = os.fsencode(name).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def indent_count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= MAX_INDENT:
        raise argparse.ArgumentTypeError(f"must be from 0 to {MAX_INDENT}: {text}")
    return value


def version():
    """The version of the installed package; in a source checkout, that of its project file."""
    try:
        return importlib.metadata.version("mervik")
    except importlib.metadata.PackageNotFoundError:
        pass
    project = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    try:
        import tomllib

        with open(project, "rb") as f:
            return tomllib.load(f)["project"]["version"] + " (source tree)"
    except (OSError, ValueError, KeyError):
        return "unknown"


class VersionAction(argparse.Action):
    """--version: looks the version up only when asked."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"mervik {version()}")
        parser.exit()


class ArgumentParser(argparse.ArgumentParser):
    """Reports a usage error in one line, like every other error of the command."""

    def error(self, message):
        self.exit(2, f"mervik: {message} (see mervik --help)\n")


def argument_parser():
    parser = ArgumentParser(
        prog="mervik",
        description=(
            "Pretty-print JSON documents or Python literals, one value per input, with "
            "mervik.pretty_print."
        ),
        epilog=(
            "Exit status: 0 when every input was printed, 1 when an input could not be read "
            "or parsed or standard output failed, 2 for a usage error, 130 when interrupted "
            "(Ctrl-C), 141 when the reader of standard output went away."
        ),
    )
    parser.add_argument(
        "--indent",
        type=indent_count,
        default=4,
        metavar="N",
        help=f"spaces per nesting level, from 0 to {MAX_INDENT} (default: 4)",
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
    parser.add_argument("--version", action=VersionAction)
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
        shown = STDIN_NAME if name == "-" else shown_name(name)
        try:
            data = read_input(name)
        except MemoryError:
            report(f"{shown}: too large to read into memory")
            status = EXIT_BAD_INPUT
            continue
        except OSError as e:
            report(f"{shown}: {e.strerror or e}")
            status = EXIT_BAD_INPUT
            continue
        try:
            text = decode(data)
            if not text.strip():
                raise BadInput("the input is empty")
            print_value(parse(text), args.indent, text)
        except BadInput as e:
            report(e.describe(shown))
            status = EXIT_BAD_INPUT
        except MemoryError:
            report(f"{shown}: out of memory")
            status = EXIT_BAD_INPUT
        except OutputFailed as e:
            report(str(e))
            return EXIT_BAD_INPUT
    return status


def stdout_is_open():
    try:
        os.fstat(1)
    except OSError:
        return False
    return True


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
        # Checked first: with descriptor 1 closed, the next file opened would take its place.
        if not stdout_is_open():
            report(f"{STDOUT_NAME}: not open")
            return EXIT_BAD_INPUT
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
