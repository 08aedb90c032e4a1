#!/usr/bin/python3
"""Reads a JUnit report as CI systems do (with junitparser) and prints, one
per line: the suite's name and counts, then each case as
RESULT<TAB>name<TAB>time<TAB>message<TAB>its system-out, escaped."""
import sys

from junitparser import Error, Failure, JUnitXml

xml = JUnitXml.fromfile(sys.argv[1])
for suite in xml:
    print(f"suite\t{suite.name}\t{suite.tests}\t{suite.failures}\t{suite.errors}")
    for case in suite:
        kind, message = "pass", ""
        for r in case.result:
            if isinstance(r, Failure):
                kind, message = "fail", r.message
            elif isinstance(r, Error):
                kind, message = "error", r.message
        out = (case.system_out or "").replace("\n", "\\n")
        print(f"{kind}\t{case.name}\t{case.time >= 0}\t{message}\t{out}")
