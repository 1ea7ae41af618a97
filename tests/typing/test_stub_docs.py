"""The stubs document each name with the module's own docstring, so that an editor shows what
help() shows."""

import ast
import inspect
import pathlib

import pytest

import mervik

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "module" / "mervik.pyi"


def stub_docstrings():
    """Docstrings of the stub by dotted name ("" for the module); None where there is none."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    docs = {"": ast.get_docstring(tree)}

    def collect(body, prefix):
        for i, node in enumerate(body):
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                docs[prefix + node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    collect(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                following = body[i + 1] if i + 1 < len(body) else None
                is_doc = isinstance(following, ast.Expr) and isinstance(
                    following.value, ast.Constant
                )
                docs[prefix + node.target.id] = (
                    inspect.cleandoc(following.value.value) if is_doc else None
                )

    collect(tree.body, "")
    return docs


STUB_DOCS = stub_docstrings()
RUNTIME = {
    "": mervik,
    **{name: getattr(mervik, name) for name in mervik.__all__},
    "Pretty.format": mervik.Pretty.format,
    "Pretty.print": mervik.Pretty.print,
    "Pretty.indent": mervik.Pretty.indent,
}


def test_stub_covers_the_documented_names():
    assert set(STUB_DOCS) - {"Pretty.__new__"} == set(RUNTIME)


@pytest.mark.parametrize("name", sorted(RUNTIME), ids=lambda n: n or "module")
def test_stub_docstring_is_the_runtime_one(name):
    runtime = RUNTIME[name].__doc__
    assert STUB_DOCS[name] == (None if runtime is None else inspect.cleandoc(runtime))
