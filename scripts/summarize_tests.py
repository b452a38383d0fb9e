"""Adds up the JUnit XML reports of the C++ and Python tests into one closing line.

Exits non-zero when a report is missing, when anything failed, or when nothing ran.
"""

import sys
import xml.etree.ElementTree as ET


def counts(path):
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    total = failed = skipped = 0
    for suite in suites:
        total += int(suite.get("tests", 0))
        failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped += int(suite.get("skipped", 0)) + int(suite.get("disabled", 0))
    return total - failed - skipped, failed, skipped


def main(paths):
    passed = failed = skipped = 0
    missing = []
    for path in paths:
        try:
            p, f, s = counts(path)
        except (OSError, ET.ParseError):
            missing.append(path)
            continue
        passed, failed, skipped = passed + p, failed + f, skipped + s
    for path in missing:
        print(f"missing test report: {path}")
    failed += len(missing)
    print(f"tests: {passed} passed, {failed} failed, {skipped} skipped")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
