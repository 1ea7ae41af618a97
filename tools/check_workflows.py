"""Checks the release workflows without running them: what a YAML load and a look at their shape
can tell (no schema of the workflow language is available here), and that pyproject.toml's
cibuildwheel settings name the interpreters and platforms the workflow builds for.

Prints one line per check, "ok ..." or "FAILED ...", and exits 1 if any check failed."""

import pathlib
import re
import sys
import tomllib

import yaml

top = pathlib.Path(__file__).resolve().parent.parent
failures = 0


def report(ok: bool, text: str) -> None:
    global failures
    failures += not ok
    print(("ok " if ok else "FAILED ") + text)


def problems_of(path: pathlib.Path) -> list[str]:
    try:
        doc = yaml.safe_load(path.read_text(encoding="utf-8"))
    except yaml.YAMLError as e:
        return [f"not YAML: {e}"]
    problems = []
    if not isinstance(doc, dict):
        return ["not a mapping"]
    # YAML 1.1 reads the key `on` as true.
    triggers = doc.get("on", doc.get(True))
    if not triggers:
        problems.append("no triggers (on:)")
    jobs = doc.get("jobs")
    if not isinstance(jobs, dict) or not jobs:
        return problems + ["no jobs"]
    for name, job in jobs.items():
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_-]*", name):
            problems.append(f"job id {name!r}")
        if "runs-on" not in job or not job.get("steps"):
            problems.append(f"job {name}: runs-on and steps are required")
            continue
        matrix = job.get("strategy", {}).get("matrix", {})
        text = yaml.safe_dump(job)
        for key in sorted(set(re.findall(r"\$\{\{\s*matrix\.([A-Za-z0-9_-]+)", text))):
            if key not in matrix:
                problems.append(f"job {name}: matrix.{key} is not in its matrix")
        needs = job.get("needs", [])
        for need in needs if isinstance(needs, list) else [needs]:
            if need not in jobs:
                problems.append(f"job {name}: needs unknown job {need}")
        for i, step in enumerate(job["steps"]):
            if ("uses" in step) == ("run" in step):
                problems.append(f"job {name}, step {i + 1}: exactly one of uses and run")
            if "with" in step and "uses" not in step:
                problems.append(f"job {name}, step {i + 1}: with without uses")
            uses = step.get("uses", "")
            if uses and not re.fullmatch(r"[\w.-]+/[\w./-]+@[\w.-]+", uses):
                problems.append(f"job {name}, step {i + 1}: uses {uses!r} names no version")
    unclosed = re.findall(r"\$\{\{[^}]*$", path.read_text(encoding="utf-8"), re.M)
    if unclosed:
        problems.append(f"unclosed expression: {unclosed[0]}")
    return problems


workflows = sorted((top / ".github" / "workflows").glob("*.yml"))
report(bool(workflows), f"{len(workflows)} workflow(s) in .github/workflows")
for path in workflows:
    problems = problems_of(path)
    report(not problems, f"{path.name}: " + ("; ".join(problems) or "loads; jobs and steps well formed"))

settings = tomllib.loads((top / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
wanted = {"cp313-*", "cp314-*", "cp315-*"}
report(set(settings["build"]) == wanted and "{project}/tests/python" in settings["test-command"],
       "pyproject.toml [tool.cibuildwheel]: CPython 3.13 to 3.15, the pytest suite as the test")
report({"linux", "macos", "windows"} <= settings.keys(),
       "pyproject.toml [tool.cibuildwheel]: Linux, macOS and Windows settings")
sys.exit(1 if failures else 0)
