"""Counts the tests of GoogleTest JSON reports (--gtest_output=json:FILE) and prints
"PASSED FAILED SKIPPED". A report that is missing or unreadable, as after a crash, counts as one
failure."""

import json
import sys

passed = failed = skipped = 0
for path in sys.argv[1:]:
    try:
        with open(path, encoding="utf-8") as file:
            report = json.load(file)
    except (OSError, ValueError):
        failed += 1
        continue
    for suite in report.get("testsuites", []):
        for test in suite.get("testsuite", []):
            if test.get("status") != "RUN":
                continue
            if test.get("failures"):
                failed += 1
            elif test.get("result") == "SKIPPED":
                skipped += 1
            else:
                passed += 1
print(passed, failed, skipped)
