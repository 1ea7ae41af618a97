"""The packages as a user gets them (./dev test):

    package_check.py sdist DIR         builds the sdist of the checkout (the current
                                       directory) into DIR
    package_check.py check VENV WHEEL  checks WHEEL's contents and, from the virtual environment
                                       VENV it was installed in, the module, the mervik command
                                       and pydoc"""

import importlib.metadata
import os
import subprocess
import sys
import zipfile


def sdist(directory: str) -> None:
    import scikit_build_core.build

    scikit_build_core.build.build_sdist(directory)


def run(*args: str, stdin: str = "") -> str:
    done = subprocess.run(args, input=stdin, capture_output=True, text=True)
    assert done.returncode == 0 and not done.stderr, (args, done)
    return done.stdout


def check(venv: str, wheel: str) -> None:
    names = set(zipfile.ZipFile(wheel).namelist())
    for name in ["mervik_cli.py", "mervik-stubs/__init__.pyi", "mervik-stubs/py.typed"]:
        assert name in names, f"{name} is not in the wheel"
    assert any(n.startswith("mervik.") and n.endswith(".so") for n in names), "no extension"
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "mervik = mervik_cli:main" in zipfile.ZipFile(wheel).read(entry_points).decode()

    import mervik

    assert mervik.__file__.startswith(venv), mervik.__file__
    rendered = "{\n  'a': [\n    1,\n    (\n      2,\n    ),\n  ],\n}"
    assert mervik.pretty_format({"a": [1, (2,)]}, indent=2) == rendered

    tool = os.path.join(venv, "bin", "mervik")
    assert run(tool, "--help").startswith("usage: mervik ")
    assert run(tool, "--version") == f"mervik {importlib.metadata.version('mervik')}\n"
    assert run(tool, "--indent", "2", stdin="{'a': [1, (2,)]}") == rendered + "\n"
    doc = run(sys.executable, "-m", "pydoc", "mervik")
    assert "mervik - A module for pretty-printing Python objects." in doc, doc
    assert "pretty_format(obj, indent=4)" in doc and "class Pretty" in doc, doc


if __name__ == "__main__":
    match sys.argv[1:]:
        case ["sdist", directory]:
            sdist(directory)
        case ["check", venv, wheel]:
            check(venv, wheel)
        case _:
            sys.exit(__doc__)
