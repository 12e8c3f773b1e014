"""JUnit XML of a test run: one <testsuite> per test file, one <testcase>
per case, a <failure> per failing case holding its failure texts."""

from __future__ import annotations

import xml.etree.ElementTree as ET

from korvanthel_tools.policy_tests.runner import CaseResult


def junit_xml(results: list[CaseResult]) -> bytes:
    """The results as a JUnit XML document (UTF-8, with its declaration), for
    CI systems that show test reports."""
    suites = ET.Element("testsuites", name="korvanthel test")
    by_file: dict[str, list[CaseResult]] = {}
    for r in results:
        by_file.setdefault(r.case.path, []).append(r)
    total = failed = 0
    for path, rs in by_file.items():
        failures = sum(1 for r in rs if not r.passed)
        suite = ET.SubElement(suites, "testsuite", name=path, tests=str(len(rs)), failures=str(failures),
                              errors="0", skipped="0")
        for r in rs:
            case = ET.SubElement(suite, "testcase", name=r.case.name, classname=path, file=path,
                                 line=str(r.case.line))
            if r.failures:
                first = r.failures[0]
                failure = ET.SubElement(case, "failure", message=f"{first.header()}: {first.differences[0]}",
                                        type="PolicyTestFailure")
                failure.text = "".join(f.render() for f in r.failures)
        total += len(rs)
        failed += failures
    suites.set("tests", str(total))
    suites.set("failures", str(failed))
    ET.indent(suites)
    text: bytes = ET.tostring(suites, encoding="utf-8", xml_declaration=True)
    return text + b"\n"
