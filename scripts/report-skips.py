"""Prints how many tests a JUnit report (from ctest or pytest) skipped, and why:
    python3 scripts/report-skips.py LABEL REPORT.xml
gives one line, e.g. "C++ tests skipped: 5 (5x allocation hook unavailable)".
A ctest report carries a GoogleTest skip's reason in the test's output, on the
line after "Skipped"; a pytest report carries it in the skip's message.
"""

import collections
import sys
import xml.etree.ElementTree as ET


def reason(case, skipped):
    out = case.findtext("system-out") or ""
    lines = out.splitlines()
    for i, line in enumerate(lines):
        if line.endswith(": Skipped") and i + 1 < len(lines) and lines[i + 1].strip():
            return lines[i + 1].strip()
    message = skipped.get("message", "")
    if message and message != "SKIP_REGULAR_EXPRESSION_MATCHED":
        return message
    return "no reason given"


def main(label, path):
    reasons = collections.Counter()
    for case in ET.parse(path).getroot().iter("testcase"):
        skipped = case.find("skipped")
        if skipped is not None:
            reasons[reason(case, skipped)] += 1
    total = sum(reasons.values())
    detail = "; ".join(f"{n}x {why}" for why, n in sorted(reasons.items()))
    print(f"{label} skipped: {total}" + (f" ({detail})" if total else ""))


if __name__ == "__main__":
    main(*sys.argv[1:])
